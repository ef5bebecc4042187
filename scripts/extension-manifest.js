#!/usr/bin/env node
// The extension's manifest for one browser family, from extension/manifest.json, which carries
// the keys of both (Chromium 121+ and Firefox 121+ load the folder as it is):
//   chromium  without Firefox's background scripts and settings: loads from Chromium 111 on
//   firefox   without the service worker, which Firefox before 121 refuses even next to
//             background scripts; from Firefox 115 on
// Usage: node scripts/extension-manifest.js chromium|firefox [manifest.json]  (writes stdout)
'use strict';

const fs = require('node:fs');
const path = require('node:path');

function variant(manifest, family) {
  const m = JSON.parse(JSON.stringify(manifest));
  if (family === 'chromium') {
    delete m.background.scripts;
    delete m.browser_specific_settings;
    m.minimum_chrome_version = '111'; // content scripts in the page's world
  } else if (family === 'firefox') {
    delete m.background.service_worker;
    delete m.minimum_chrome_version;
  } else {
    throw new Error(`unknown browser family: ${family}`);
  }
  return m;
}

if (require.main === module) {
  const [family, file] = process.argv.slice(2);
  const source = file || path.join(__dirname, '../extension/manifest.json');
  const m = variant(JSON.parse(fs.readFileSync(source, 'utf8')), family);
  process.stdout.write(JSON.stringify(m, null, 2) + '\n');
}

module.exports = { variant };
