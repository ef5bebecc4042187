#!/usr/bin/env node
// Renders the card in every theme, layout and background with a demo track to PNG files, for
// review and for the README. Usage: node scripts/render-cards.js [out-dir] [--transparent]
'use strict';

const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const { CardServer, launchBrowser } = require(path.join(root, 'tests/widget/harness'));

const args = process.argv.slice(2);
const transparent = args.includes('--transparent');
const outDir = path.resolve(args.find((a) => !a.startsWith('--')) || path.join(root, 'out/cards'));

const SCALE = 2;
const SIZES = {
  'compact-horizontal': [500, 140],
  'compact-vertical': [256, 356],
  'vinyl-horizontal': [600, 200],
  'vinyl-vertical': [312, 428],
};

// The demo's first song and its cover.
const COVER =
  "<svg xmlns='http://www.w3.org/2000/svg' width='400' height='400' viewBox='0 0 400 400'>" +
  "<defs><linearGradient id='g' x1='0' y1='0' x2='1' y2='1'><stop offset='0' stop-color='#d7263d'/>" +
  "<stop offset='1' stop-color='#3b1f2b'/></linearGradient></defs>" +
  "<rect width='400' height='400' fill='url(#g)'/><text x='200' y='235' font-family='Segoe UI,Arial' " +
  "font-size='120' font-weight='700' fill='rgba(255,255,255,.85)' text-anchor='middle'>A</text></svg>";

function demoState() {
  return {
    active: true,
    album: 'A Night at the Opera',
    app: 'demo',
    artist: 'Queen',
    coverUrl: '/cover/00000000000000aa',
    durationMs: 354000,
    kind: 'mock',
    player: '',
    positionAt: Date.now(),
    positionMs: 83000,
    service: 'yandex',
    source: 'mock:demo',
    status: 'playing',
    title: 'Bohemian Rhapsody',
    trackId: '0123456789ab',
  };
}

// A stand-in for a stream picture behind the card.
const BACKDROP =
  'html { height: 100%; background: linear-gradient(135deg, #3d5a6c 0%, #6b4f62 55%, #c7a27c 100%) !important; }';

async function main() {
  fs.mkdirSync(outDir, { recursive: true });
  const server = await new CardServer().start();
  server.covers.set('00000000000000aa', { body: COVER, delayMs: 0 });
  const browser = await launchBrowser();
  const files = [];
  try {
    for (const theme of ['compact', 'vinyl']) {
      for (const layout of ['horizontal', 'vertical']) {
        for (const bg of ['dark', 'light', 'cover']) {
          const [w, h] = SIZES[`${theme}-${layout}`];
          const page = await browser.newPage({ viewport: { width: w * SCALE, height: h * SCALE } });
          const query = `theme=${theme}&layout=${layout}&bg=${bg}&font=onest&time=elapsed_total&scale=${SCALE}`;
          await page.goto(`${server.origin}/widget?${query}`);
          if (!transparent) await page.addStyleTag({ content: BACKDROP });
          while (server.streams.size === 0) await new Promise((r) => setTimeout(r, 10));
          server.send(demoState());
          await page.waitForFunction(() => document.querySelector('#disc img.show'));
          await page.evaluate(() => document.fonts.ready);
          // Let the fades and the cover colour blend finish.
          await page.waitForTimeout(1200);
          const file = path.join(outDir, `card-${theme}-${layout}-${bg}.png`);
          await page.screenshot({ path: file, omitBackground: transparent });
          files.push(file);
          await page.close();
        }
      }
    }
  } finally {
    await browser.close();
    await server.stop();
  }
  for (const f of files) console.log(f);
}

main().catch((e) => {
  console.error(e);
  process.exit(1);
});
