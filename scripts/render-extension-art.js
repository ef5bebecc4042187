#!/usr/bin/env node
// Renders the extension's pictures:
//   icons  extension/icons/icon-{16,32,48,128}.png from docs/extension-icon.svg
//   popup  docs/extension-popup.png: the popup of a test music tab, with the agent found. Starts
//          the agent (TUNELIGHT_AGENT, default build/tunelight-agent), which takes the first free
//          port of 48210-48214: run it where those are free, e.g. under `unshare --net`.
// Usage: node scripts/render-extension-art.js [icons|popup ...]   (default: both)
'use strict';

const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const harness = require(path.join(root, 'tests/extension/harness'));
const { chromium } = require(path.join(root, 'tests/extension/node_modules/playwright-core'));

async function icons() {
  const svg = fs.readFileSync(path.join(root, 'docs/extension-icon.svg'), 'utf8');
  const browser = await chromium.launch({
    executablePath: process.env.TUNELIGHT_CHROMIUM || '/usr/bin/chromium',
    args: ['--no-sandbox', '--disable-gpu', '--disable-background-networking', '--no-first-run'],
  });
  for (const size of [16, 32, 48, 128]) {
    const page = await browser.newPage({ viewport: { width: size, height: size } });
    const sized = svg.replace('width="128" height="128"', `width="${size}" height="${size}"`);
    await page.setContent(`<html><body style="margin:0;background:transparent">${sized}</body></html>`);
    const out = path.join(root, `extension/icons/icon-${size}.png`);
    await page.screenshot({ path: out, omitBackground: true });
    await page.close();
    console.log(out);
  }
  await browser.close();
}

async function popup() {
  process.env.TUNELIGHT_AGENT = process.env.TUNELIGHT_AGENT || path.join(root, 'build/tunelight-agent');
  const server = await new harness.MusicServer().start();
  const agent = await harness.startAgent();
  const ext = await harness.launchExtension(server, ['open.spotify.com']);
  try {
    const url = 'https://open.spotify.com/track/1?title=Northern%20Lights&artist=The%20Quiet%20Hours&album=Harbour';
    const page = await ext.context.newPage();
    await page.goto(url);
    await harness.waitUntil(async () => (await harness.extensionSources(agent.port)).length === 1);
    await page.evaluate(() => (player.currentTime = 42));
    const view = await ext.context.newPage();
    await view.emulateMedia({ colorScheme: 'dark' });
    await view.setViewportSize({ width: 300, height: 400 });
    await view.goto(`chrome-extension://${ext.id}/popup/popup.html?tab=${await ext.tabId(url + '*')}`);
    await harness.waitUntil(async () => (await view.textContent('#tab-title')) === 'Northern Lights');
    await harness.sleep(1200); // the popup's next refresh shows the position after the seek
    const out = path.join(root, 'docs/extension-popup.png');
    await (await view.$('body')).screenshot({ path: out });
    console.log(out);
  } finally {
    await ext.close();
    await agent.stop();
    await server.stop();
  }
}

(async () => {
  const jobs = process.argv.slice(2);
  for (const job of jobs.length ? jobs : ['icons', 'popup']) {
    if (job === 'icons') await icons();
    else if (job === 'popup') await popup();
    else throw new Error(`unknown picture: ${job}`);
  }
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
