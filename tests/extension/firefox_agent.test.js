// The Firefox package of the extension in Debian's headless Firefox ESR, driven over WebDriver
// BiDi: installed with site access held back, then reporting test music pages to the real agent.
'use strict';

const assert = require('node:assert/strict');
const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const net = require('node:net');
const os = require('node:os');
const path = require('node:path');
const { after, before, describe, it } = require('node:test');
const { ws: WebSocket } = require('playwright-core/lib/utilsBundle');
const { variant } = require('../../scripts/extension-manifest.js');
const { EXTENSION_DIR, MusicServer, control, exitOf, extensionSources, getJson, startAgent, waitUntil } = require('./harness');

const FIREFOX = process.env.TUNELIGHT_FIREFOX || 'firefox-esr';
const manifest = JSON.parse(fs.readFileSync(path.join(EXTENSION_DIR, 'manifest.json'), 'utf8'));
let missing = manifest.background.scripts ? '' : 'a Chromium package has no Firefox background';
try {
  execFileSync(FIREFOX, ['--version'], { stdio: 'ignore' });
} catch {
  missing = `${FIREFOX} is not installed`;
}

async function freePort() {
  const s = net.createServer();
  await new Promise((resolve) => s.listen(0, '127.0.0.1', resolve));
  const { port } = s.address();
  await new Promise((resolve) => s.close(resolve));
  return port;
}

// A WebDriver BiDi session: call(method, params) resolves to the result.
class Bidi {
  static async open(url) {
    const b = new Bidi();
    b.socket = new WebSocket(url);
    b.pending = new Map();
    b.next = 0;
    b.socket.on('message', (data) => {
      const msg = JSON.parse(String(data));
      const waiter = b.pending.get(msg.id);
      if (!waiter) return;
      b.pending.delete(msg.id);
      if (msg.type === 'error') waiter.reject(new Error(`${msg.error}: ${msg.message}`));
      else waiter.resolve(msg.result);
    });
    await new Promise((resolve, reject) => {
      b.socket.once('open', resolve);
      b.socket.once('error', reject);
    });
    return b;
  }

  call(method, params = {}) {
    const id = ++this.next;
    this.socket.send(JSON.stringify({ id, method, params }));
    return new Promise((resolve, reject) => this.pending.set(id, { resolve, reject }));
  }
}

describe('Firefox', { skip: missing || false }, () => {
  let dir;
  let server;
  let agent;
  let firefox;
  let bidi;
  let pkg;

  before(async () => {
    dir = fs.mkdtempSync(path.join(os.tmpdir(), 'tunelight-firefox-'));
    // The package: the extension with its Firefox manifest.
    pkg = path.join(dir, 'extension');
    fs.cpSync(EXTENSION_DIR, pkg, { recursive: true });
    fs.writeFileSync(path.join(pkg, 'manifest.json'), JSON.stringify(variant(manifest, 'firefox')));

    server = await new MusicServer().start();
    agent = await startAgent();
    const profile = path.join(dir, 'profile');
    fs.mkdirSync(profile);
    fs.writeFileSync(
      path.join(profile, 'user.js'),
      [
        ['network.dns.localDomains', 'music.yandex.ru'], // to 127.0.0.1, in this browser only
        ['media.autoplay.default', 0],
        ['media.autoplay.blocking_policy', 0],
        ['browser.shell.checkDefaultBrowser', false],
        ['datareporting.policy.dataSubmissionEnabled', false],
        ['app.update.auto', false],
        // Site access held back at install, as Firefox before 127 does and users may choose;
        // granting it answers without a prompt, which a headless browser cannot show.
        ['extensions.originControls.grantByDefault', false],
        ['extensions.webextOptionalPermissionPrompts', false],
      ]
        .map(([k, v]) => `user_pref(${JSON.stringify(k)}, ${JSON.stringify(v)});\n`)
        .join(''),
    );
    const port = await freePort();
    firefox = spawn(FIREFOX, ['--headless', '--no-remote', '--profile', profile, `--remote-debugging-port=${port}`], {
      stdio: ['ignore', 'ignore', 'pipe'],
    });
    let log = '';
    firefox.stderr.on('data', (d) => {
      log += d;
    });
    await waitUntil(() => log.includes('WebDriver BiDi listening'), { timeout: 60000, what: 'Firefox' });
    bidi = await Bidi.open(`ws://127.0.0.1:${port}/session`);
    await bidi.call('session.new', { capabilities: { alwaysMatch: { acceptInsecureCerts: true } } });
  });

  after(async () => {
    if (firefox) {
      firefox.kill('SIGTERM');
      await exitOf(firefox, 10000);
    }
    if (agent) await agent.stop();
    if (server) await server.stop();
    if (dir) fs.rmSync(dir, { recursive: true, force: true });
  });

  // Runs in the extension's page: its result's value.
  async function inPage(context, expression) {
    const r = await bidi.call('script.evaluate', { expression, target: { context }, awaitPromise: true });
    if (r.type === 'exception') throw new Error(`${expression}: ${r.exceptionDetails.text}`);
    return r.result.value;
  }

  it('asks for site access at install, and a tab open before reports once it is granted', async (t) => {
    const { context: tab } = await bidi.call('browsingContext.create', { type: 'tab' });
    // Match patterns leave the port open, so the test server keeps its own.
    await bidi.call('browsingContext.navigate', {
      context: tab,
      url: `https://music.yandex.ru:${server.port}/album/1?title=Open%20Before&artist=Early`,
      wait: 'complete',
    });
    await bidi.call('webExtension.install', { extensionData: { type: 'path', path: pkg } });
    const page = await waitUntil(async () => {
      const { contexts } = await bidi.call('browsingContext.getTree', {});
      return contexts.find((c) => /^moz-extension:\/\/[^/]+\/popup\/access\.html$/.test(c.url));
    }, { what: 'the page asking for site access' });
    const access = `browser.permissions.contains({ origins: browser.runtime.getManifest().host_permissions })`;
    assert.equal(await inPage(page.context, access), false);
    assert.equal(await inPage(page.context, 'browser.action.getBadgeText({})'), '!');
    assert.equal((await getJson(agent.port, '/api/now-playing')).active, false);

    // The request needs a user's click.
    const box = JSON.parse(await inPage(page.context, 'JSON.stringify(document.getElementById("grant").getBoundingClientRect())'));
    const t0 = Date.now();
    await bidi.call('input.performActions', {
      context: page.context,
      actions: [{
        type: 'pointer',
        id: 'mouse',
        actions: [
          { type: 'pointerMove', x: Math.round(box.x + box.width / 2), y: Math.round(box.y + box.height / 2) },
          { type: 'pointerDown', button: 0 },
          { type: 'pointerUp', button: 0 },
        ],
      }],
    });
    await waitUntil(async () => (await getJson(agent.port, '/api/now-playing')).title === 'Open Before', {
      what: 'the open tab, without a reload',
    });
    t.diagnostic(`Firefox: open tab reported ${Date.now() - t0} ms after site access was granted`);
    assert.equal(await inPage(page.context, access), true);
    assert.equal(await inPage(page.context, 'browser.action.getBadgeText({})'), '');
    await bidi.call('browsingContext.close', { context: page.context });
    await bidi.call('browsingContext.close', { context: tab });
    await waitUntil(async () => (await extensionSources(agent.port)).length === 0, { what: 'no source' });
  });

  it('reports a playing tab, its pause, and its closing', async (t) => {
    const { context } = await bidi.call('browsingContext.create', { type: 'tab' });
    // Match patterns leave the port open, so the test server keeps its own.
    await bidi.call('browsingContext.navigate', {
      context,
      url: `https://music.yandex.ru:${server.port}/album/1?title=Quiet%20Song&artist=Nobody&album=Silence`,
      wait: 'complete',
    });
    const np = await waitUntil(async () => {
      const d = await getJson(agent.port, '/api/now-playing');
      return d.active && d.status === 'playing' && d.durationMs && d;
    }, { what: 'the tab in /api/now-playing' });
    assert.deepEqual(
      [np.service, np.app, np.title, np.artist, np.album, np.durationMs],
      ['yandex', 'firefox', 'Quiet Song', 'Nobody', 'Silence', 120000],
    );

    const t0 = Date.now();
    await bidi.call('script.evaluate', { expression: 'player.pause()', target: { context }, awaitPromise: false });
    await waitUntil(async () => (await getJson(agent.port, '/api/now-playing')).status === 'paused', {
      interval: 10,
      what: 'paused',
    });
    const pausedMs = Date.now() - t0;
    assert.ok(pausedMs < 300, `paused after ${pausedMs} ms`);
    // And back through the agent: Firefox's background passes the action to the tab.
    assert.deepEqual((await getJson(agent.port, '/api/now-playing')).controls, ['playPause', 'play', 'pause']);
    const play = await control(agent.port, 'play');
    assert.equal(play.status, 200, JSON.stringify(play.body));
    await waitUntil(async () => (await getJson(agent.port, '/api/now-playing')).status === 'playing', { what: 'playing' });

    const t1 = Date.now();
    await bidi.call('browsingContext.close', { context });
    await waitUntil(async () => (await extensionSources(agent.port)).length === 0, { interval: 10, what: 'no source' });
    const goneMs = Date.now() - t1;
    assert.ok(goneMs < 1500, `gone after ${goneMs} ms`);
    t.diagnostic(`Firefox: pause ${pausedMs} ms, play through the agent ${play.ms} ms, closed tab gone after ${goneMs} ms`);
  });
});
