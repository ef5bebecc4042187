// Each site's page, built as that site builds its player, in Chromium with the unpacked
// extension and the real agent: ads never reach the agent, and the song after them does.
'use strict';

const assert = require('node:assert/strict');
const { after, before, it } = require('node:test');
const { extensionSources, getJson, launchExtension, sleep, startAgent, waitUntil } = require('./harness');
const { AD_SECONDS, PAGES, SiteServer } = require('./sites');

const SERVICES = {
  'open.spotify.com': 'spotify',
  'www.deezer.com': 'deezer',
  'music.yandex.ru': 'yandex',
  'music.amazon.com': 'amazon-music',
  'www.youtube.com': 'youtube',
};
const AD_MS = 3000;
let server;
let agent;
let browser;

before(async () => {
  server = await new SiteServer().start();
  agent = await startAgent();
  browser = await launchExtension(server, Object.keys(PAGES));
});

after(async () => {
  if (browser) await browser.close();
  if (agent) await agent.stop();
  if (server) await server.stop();
});

// The ad's name or its clock (the songs' run longer).
const isAd = (s) => s.title === 'Buy Now' || s.artist === 'Advertiser Inc' || s.durationMs === AD_SECONDS * 1000;
// Reports take well under this to reach the agent.
const SETTLE_MS = 1000;

it('keeps every site its song through an ad, and never shows the ad', async (t) => {
  const hosts = Object.keys(SERVICES);
  const services = hosts.map((h) => SERVICES[h]).sort();
  const pages = await Promise.all(
    hosts.map(async (host) => {
      const page = await browser.context.newPage();
      await page.goto(`https://${host}/listen`);
      return page;
    }),
  );
  await waitUntil(
    async () => {
      const playing = (await extensionSources(agent.port)).filter((s) => s.title === 'First Song' && s.status === 'playing');
      return playing.length === hosts.length;
    },
    { what: 'the first song of every site' },
  );

  // Every ad starts at once; each is followed by the site's second song.
  const t0 = Date.now();
  await Promise.all(pages.map((p) => p.evaluate((ms) => window.startAd(ms), AD_MS)));
  const shown = new Set();
  const back = new Map(); // service -> ms from the ad's end to its second song playing
  while (back.size < hosts.length && Date.now() - t0 < AD_MS + 5000) {
    const [sources, np] = await Promise.all([extensionSources(agent.port), getJson(agent.port, '/api/now-playing')]);
    const ms = Date.now() - t0;
    for (const s of [...sources, np]) {
      if (isAd(s)) shown.add(`${s.service}: ${s.title} / ${s.artist}, ${s.status}, ${s.durationMs} ms`);
    }
    for (const s of sources) {
      // The health list has no timeline: while the ad surely plays, nothing may play.
      if (ms > SETTLE_MS && ms < AD_MS - 100 && s.status === 'playing') {
        shown.add(`${s.service}: playing ${s.title}`);
      }
      if (s.title === 'Second Song' && s.status === 'playing' && !back.has(s.service)) back.set(s.service, ms - AD_MS);
    }
    await sleep(10);
  }
  assert.deepEqual([...shown], [], 'the agent showed an ad');
  assert.deepEqual([...back.keys()].sort(), services, 'the second song of every site');
  t.diagnostic(`second song after the ad: ${[...back].map(([s, ms]) => `${s} ${ms} ms`).join(', ')}`);
  await Promise.all(pages.map((p) => p.close()));
});
