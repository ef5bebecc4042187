// Who reports and for which service: report ids, browser names, service names, and the
// manifest's sites matching the service table.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it } = require('node:test');
const { createTabIds, detectBrowser } = require('../../extension/lib/identity.js');
const { matchPatterns, serviceFromHost, serviceFromUrl } = require('../../extension/lib/services.js');

const EXTENSION_DIR = path.resolve(__dirname, '../../extension');

// Session storage as the browser keeps it: across restarts of the background, per browser run.
function sessionStorage() {
  const data = new Map();
  return {
    get: async (key) => (data.has(key) ? { [key]: data.get(key) } : {}),
    set: async (items) => Object.entries(items).forEach(([k, v]) => data.set(k, v)),
  };
}

describe('who reports', () => {
  it('keeps a tab its id across background restarts, and no two tabs or browser runs share one', async () => {
    let n = 0;
    const random = () => `s${++n}`;
    const storage = sessionStorage();
    const first = createTabIds({ storage, random });
    const restarted = createTabIds({ storage, random });
    const [a, b] = await Promise.all([first.idFor(7), first.idFor(8)]);
    assert.equal(await restarted.idFor(7), a);
    assert.notEqual(a, b);
    const otherRun = createTabIds({ storage: sessionStorage(), random });
    assert.notEqual(await otherRun.idFor(7), a);
    const broken = { get: async () => Promise.reject(new Error('no')), set: async () => Promise.reject(new Error('no')) };
    assert.match(await createTabIds({ storage: broken, random }).idFor(3), /^s\d+-3$/);
  });

  it('names the browser by its brand before the engine every Chromium-family browser lists', () => {
    const brands = (...names) => names.map((brand) => ({ brand, version: '130' }));
    assert.equal(detectBrowser({ brands: brands('Not?A_Brand', 'Chromium', 'Microsoft Edge') }), 'edge');
    assert.equal(detectBrowser({ brands: brands('Chromium', 'Google Chrome') }), 'chrome');
    assert.equal(detectBrowser({ brands: brands('Chromium', 'Not A(Brand') }), 'chrome');
    assert.equal(detectBrowser({ brands: brands('Chromium', 'Opera GX') }), 'opera');
    assert.equal(detectBrowser({ firefox: true, userAgent: 'Chrome/1' }), 'firefox');
    assert.equal(detectBrowser({ userAgent: 'Mozilla/5.0 Chrome/120.0 Safari/537.36 OPR/106.0' }), 'opera');
  });

  it('tells the service from the page host', () => {
    assert.equal(serviceFromHost('music.youtube.com'), 'youtube-music');
    assert.equal(serviceFromHost('www.youtube.com'), 'youtube');
    assert.equal(serviceFromHost('Music.Yandex.RU.'), 'yandex');
    assert.equal(serviceFromUrl('https://music.amazon.co.uk/albums/1'), 'amazon-music');
    assert.equal(serviceFromUrl('https://vk.com/audio'), 'vk');
    for (const other of ['https://evilvk.com/', 'https://vk.com.example.net/', 'http://open.spotify.com/', 'not a url']) {
      assert.equal(serviceFromUrl(other), '', other);
    }
  });
});

describe('manifest', () => {
  const manifest = JSON.parse(fs.readFileSync(path.join(EXTENSION_DIR, 'manifest.json'), 'utf8'));

  it('reads exactly the listed music sites and reaches nothing else but the loopback agent', () => {
    const sites = matchPatterns();
    assert.deepEqual(manifest.host_permissions, [...sites, 'http://127.0.0.1/*']);
    assert.deepEqual(manifest.permissions, ['storage', 'scripting']);
    const all = manifest.content_scripts.filter((c) => !c.js.some((f) => f.startsWith('content/sites/')));
    assert.ok(all.some((c) => c.world === 'MAIN'));
    for (const c of all) assert.deepEqual(c.matches, sites, c.js.join());
    for (const c of manifest.content_scripts) for (const m of c.matches) assert.ok(sites.includes(m), m);
  });

  it('names files that exist, and loads the libraries the background needs before it', () => {
    const files = [
      manifest.background.service_worker,
      ...manifest.background.scripts,
      manifest.action.default_popup,
      ...Object.values(manifest.icons),
      ...manifest.content_scripts.flatMap((c) => c.js),
    ];
    for (const f of files) assert.ok(fs.existsSync(path.join(EXTENSION_DIR, f)), f);
    const worker = fs.readFileSync(path.join(EXTENSION_DIR, 'background.js'), 'utf8');
    const imported = [...worker.matchAll(/'(lib\/[\w.]+)'/g)].map((m) => m[1]);
    assert.deepEqual([...imported, 'background.js'], manifest.background.scripts);
  });
});
