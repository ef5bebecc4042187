// The manifests the packages carry: Firefox's checked against what Firefox 115+ accepts,
// Chromium's without the keys meant for Firefox.
'use strict';

const assert = require('node:assert/strict');
const fs = require('node:fs');
const path = require('node:path');
const { describe, it } = require('node:test');
const { variant } = require('../../scripts/extension-manifest.js');
const { check } = require('./schema_check.js');

const source = JSON.parse(fs.readFileSync(path.resolve(__dirname, '../../extension/manifest.json'), 'utf8'));
const schema = JSON.parse(fs.readFileSync(path.join(__dirname, 'firefox-manifest.schema.json'), 'utf8'));

describe('Firefox manifest', () => {
  const firefox = variant(source, 'firefox');

  it('fits what Firefox 115 accepts', () => {
    assert.deepEqual(check(schema, firefox), []);
    const [major] = firefox.browser_specific_settings.gecko.strict_min_version.split('.');
    assert.ok(Number(major) <= 115, 'installs on Firefox 115 ESR');
    assert.equal(firefox.background.scripts.at(-1), 'background.js');
  });

  it('refuses what Firefox refuses', () => {
    const broken = (change) => {
      const m = JSON.parse(JSON.stringify(firefox));
      change(m);
      return check(schema, m);
    };
    assert.ok(broken((m) => (m.background.service_worker = 'background.js')).length > 0, 'service worker');
    assert.ok(broken((m) => (m.version = '0.2.0-beta')).length > 0, 'version text');
    assert.ok(broken((m) => m.host_permissions.push('http://127.0.0.1:48210/*')).length > 0, 'port in a pattern');
    assert.ok(broken((m) => m.permissions.push('https://music.yandex.ru/*')).length > 0, 'host in permissions');
    assert.ok(broken((m) => (m.browser_specific_settings.gecko.id = 'tunelight')).length > 0, 'id form');
    assert.ok(broken((m) => (m.minimum_chrome_version = '111')).length > 0, 'Chromium key');
  });
});

describe('Chromium manifest', () => {
  it('has the service worker and none of the keys meant for Firefox', () => {
    const chromium = variant(source, 'chromium');
    assert.equal(chromium.background.service_worker, 'background.js');
    assert.deepEqual(Object.keys(chromium.background), ['service_worker']);
    assert.equal('browser_specific_settings' in chromium, false);
    assert.equal(chromium.minimum_chrome_version, '111');
    assert.deepEqual(chromium.content_scripts, source.content_scripts);
  });
});
