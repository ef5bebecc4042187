// The card page as the real agent serves it, following the agent's demo track.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const { after, before, it } = require('node:test');
const { startAgent } = require('../support/browser');
const { launchBrowser } = require('./harness');

const AGENT = process.env.TUNELIGHT_AGENT;
const TOKEN = 'widget-test-token-0123456789';
let agent;
let origin;
let browser;

before(async () => {
  assert.ok(AGENT && fs.existsSync(AGENT), `agent binary not found: ${AGENT}`);
  agent = await startAgent({ token: TOKEN, args: ['--demo'], prefix: 'tunelight-widget-' });
  origin = agent.origin;
  browser = await launchBrowser();
});

after(async () => {
  if (browser) await browser.close();
  if (agent) await agent.stop();
});

// First, while the demo's first song plays on without a change that would show the card by itself.
it('shows the card again for its show-for seconds on a "show" action, which no page may send', async () => {
  const page = await browser.newPage();
  await page.goto(`${origin}/widget?showFor=2`);
  const hidden = () => page.evaluate(() => document.getElementById('card').classList.contains('hidden'));
  // Shown for the song on the card, then hidden once its window is over.
  await page.waitForFunction(() => document.getElementById('card').classList.contains('hidden'), null, {
    timeout: 10000,
  });

  // Even the card's own page, token in hand, cannot act: a browser always names its origin.
  const fromPage = await page.evaluate(
    (token) =>
      fetch('/api/control', {
        method: 'POST',
        headers: { 'X-Tunelight-Token': token, 'Content-Type': 'application/json' },
        body: '{"action":"show"}',
      }).then((r) => r.status),
    TOKEN,
  );
  assert.equal(fromPage, 403);
  assert.equal(await hidden(), true);

  const res = await fetch(`${origin}/api/control`, {
    method: 'POST',
    headers: { 'X-Tunelight-Token': TOKEN, 'Content-Type': 'application/json' },
    body: '{"action":"show"}',
  });
  const sent = Date.now();
  assert.equal(res.status, 200);
  assert.deepEqual(await res.json(), { ok: true, source: 'mock:demo' });
  await page.waitForFunction(() => !document.getElementById('card').classList.contains('hidden'), null, {
    timeout: 1000,
  });
  await new Promise((r) => setTimeout(r, Math.max(0, sent + 1500 - Date.now())));
  assert.equal(await hidden(), false, 'hidden before its two seconds were over');
  await page.waitForFunction(() => document.getElementById('card').classList.contains('hidden'), null, {
    timeout: 1500,
  });
  await page.close();
});

it('shows the demo track with its fonts and cover, and follows its pause', async () => {
  const page = await browser.newPage();
  const failed = [];
  const loaded = new Set();
  page.on('pageerror', (e) => failed.push(String(e)));
  page.on('response', (r) => {
    if (r.status() !== 200) failed.push(`${r.status()} ${r.url()}`);
    else loaded.add(new URL(r.url()).pathname);
  });
  await page.goto(`${origin}/widget?font=unbounded&time=elapsed_total&scale=2.00`);

  await page.waitForFunction(
    () => !document.getElementById('card').classList.contains('hidden'),
    null,
    { timeout: 5000 },
  );
  assert.equal(await page.textContent('#title'), 'Bohemian Rhapsody');
  assert.equal(await page.textContent('#artist'), 'Queen');
  await page.waitForFunction(() => {
    const img = document.querySelector('#disc img.show');
    return img && /\/cover\/[0-9a-f]{16}$/.test(img.src) && img.naturalWidth === 400;
  });

  // Both families in both scripts come from the agent; so does the placeholder.
  const fonts = await page.evaluate(async () => {
    const faces = [
      ['500 16px Unbounded', 'Latin'],
      ['500 16px Unbounded', 'Кириллица'],
      ['600 16px Onest', 'Latin'],
      ['600 16px Onest', 'Кириллица'],
    ];
    const out = [];
    for (const [font, text] of faces) out.push((await document.fonts.load(font, text)).length);
    return out;
  });
  assert.deepEqual(fonts, [1, 1, 1, 1]);
  for (const f of ['unbounded-latin', 'unbounded-cyrillic', 'onest-latin', 'onest-cyrillic']) {
    assert.ok(loaded.has(`/widget/${f}.woff2`), f);
  }
  const placeholder = await page.evaluate(async () => {
    const img = new Image();
    img.src = '/widget/placeholder.svg';
    await img.decode();
    return [img.naturalWidth, img.naturalHeight];
  });
  assert.deepEqual(placeholder, [400, 400]);

  // The demo pauses its first song after 10 s: the card dims and the time stops.
  await page.waitForFunction(() => document.getElementById('card').classList.contains('paused'), null, {
    timeout: 15000,
  });
  assert.match(await page.textContent('#t-start'), /^1:1\d$/);
  assert.equal(await page.textContent('#t-end'), '5:54');
  assert.deepEqual(failed, []);
  await page.close();
});
