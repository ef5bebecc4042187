#!/usr/bin/env node
// Renders the extension's icons from docs/extension-icon.svg into extension/icons/.
// Usage: node scripts/render-extension-art.js
'use strict';

const fs = require('node:fs');
const path = require('node:path');

const root = path.resolve(__dirname, '..');
const { chromium } = require(path.join(root, 'tests/extension/node_modules/playwright-core'));

(async () => {
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
})().catch((e) => {
  console.error(e);
  process.exit(1);
});
