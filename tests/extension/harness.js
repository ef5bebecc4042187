// Shared set-up of the extension's browser tests: Debian's Chromium with the unpacked extension
// (playwright-core), a local HTTPS server that stands in for the music sites and image hosts
// (their names mapped to it inside this browser only), and the agent programs.
'use strict';

const { execFileSync, spawn } = require('node:child_process');
const fs = require('node:fs');
const https = require('node:https');
const path = require('node:path');
const { chromium } = require('playwright-core');
const { exitOf, launchChromium, sleep, startAgent: startRealAgent, tempDir, waitUntil } = require('../support/browser');

// TUNELIGHT_EXTENSION_DIR runs the tests on another copy, such as an unpacked package.
const EXTENSION_DIR = path.resolve(process.env.TUNELIGHT_EXTENSION_DIR || path.join(__dirname, '../../extension'));
const TOKEN = 'extension-test-token-0123456789';

// POST /api/control as OBS does; resolves to { status, body, ms }.
async function control(port, action) {
  const t0 = Date.now();
  const res = await fetch(`http://127.0.0.1:${port}/api/control`, {
    method: 'POST',
    headers: { 'X-Tunelight-Token': TOKEN, 'Content-Type': 'application/json' },
    body: JSON.stringify({ action }),
  });
  return { status: res.status, body: await res.json(), ms: Date.now() - t0 };
}
const TRACK_SECONDS = 120;

// Silent 8 kHz 8-bit mono PCM.
function silentWav(seconds) {
  const rate = 8000;
  const n = rate * seconds;
  const b = Buffer.alloc(44 + n, 128);
  b.write('RIFF', 0);
  b.writeUInt32LE(36 + n, 4);
  b.write('WAVEfmt ', 8);
  b.writeUInt32LE(16, 16);
  b.writeUInt16LE(1, 20); // PCM
  b.writeUInt16LE(1, 22); // mono
  b.writeUInt32LE(rate, 24);
  b.writeUInt32LE(rate, 28);
  b.writeUInt16LE(1, 32);
  b.writeUInt16LE(8, 34);
  b.write('data', 36);
  b.writeUInt32LE(n, 40);
  return b;
}

// The player page: a media session with the song from the address and silent audio, in an
// <audio> element of the document or (detached=1) one that never joins it.
// window.player is the element; window.setTrack(...) replaces the metadata.
const PLAYER_JS = `(() => {
  const q = new URLSearchParams(location.search);
  const audio = q.get('detached') ? new Audio() : document.body.appendChild(document.createElement('audio'));
  audio.src = '/silence.wav';
  window.player = audio;
  window.setTrack = (t) => {
    navigator.mediaSession.metadata = new MediaMetadata(t);
  };
  const art = q.get('art');
  setTrack({
    title: q.get('title') || '',
    artist: q.get('artist') || '',
    album: q.get('album') || '',
    artwork: art ? [{ src: art + '-small', sizes: '96x96' }, { src: art, sizes: '512x512' }, { src: art + '-mid', sizes: '256x256' }] : [],
  });
  // handlers=play,nexttrack,...: the page's own media-session action handlers, each noting its
  // calls in window.calls (play and pause also act on the element).
  window.calls = [];
  for (const action of (q.get('handlers') || '').split(',').filter(Boolean)) {
    navigator.mediaSession.setActionHandler(action, () => {
      calls.push({ action, at: Date.now() });
      if (action === 'play') audio.play();
      if (action === 'pause') audio.pause();
    });
  }
  audio.addEventListener('play', () => { navigator.mediaSession.playbackState = 'playing'; });
  audio.addEventListener('pause', () => { navigator.mediaSession.playbackState = 'paused'; });
  audio.play();
})();`;

const PAGE = '<!doctype html><html><head><meta charset="utf-8"><title>player</title></head><body><script src="/player.js"></script></body></html>';

// Stands in for every mapped host over HTTPS with a throw-away certificate: the player page on
// any path, its script and audio, and pictures under /art/ (as image CDNs serve them, to any
// origin).
class MusicServer {
  constructor() {
    this.dir = tempDir('tunelight-ext-server-');
    const key = path.join(this.dir, 'key.pem');
    const cert = path.join(this.dir, 'cert.pem');
    execFileSync(
      'openssl',
      ['req', '-x509', '-newkey', 'ec', '-pkeyopt', 'ec_paramgen_curve:prime256v1', '-nodes', '-days', '2',
        '-subj', '/CN=tunelight-test', '-keyout', key, '-out', cert],
      { stdio: 'ignore' },
    );
    this.wav = silentWav(TRACK_SECONDS);
    this.picture = fs.readFileSync(path.join(EXTENSION_DIR, 'icons/icon-128.png'));
    this.requests = [];
    this.server = https.createServer({ key: fs.readFileSync(key), cert: fs.readFileSync(cert) }, (req, res) =>
      this.handle(req, res),
    );
  }

  async start() {
    await new Promise((resolve) => this.server.listen(0, '127.0.0.1', resolve));
    this.port = this.server.address().port;
    return this;
  }

  async stop() {
    this.server.closeAllConnections();
    await new Promise((resolve) => this.server.close(resolve));
    fs.rmSync(this.dir, { recursive: true, force: true });
  }

  handle(req, res) {
    const url = new URL(req.url, 'https://x');
    this.requests.push({ host: req.headers.host, path: url.pathname, origin: req.headers.origin || '' });
    if (url.pathname === '/player.js') {
      res.writeHead(200, { 'Content-Type': 'text/javascript' });
      res.end(PLAYER_JS);
    } else if (url.pathname === '/silence.wav') {
      this.sendAudio(req, res);
    } else if (url.pathname.startsWith('/art/')) {
      res.writeHead(200, { 'Content-Type': 'image/png', 'Access-Control-Allow-Origin': '*' });
      res.end(this.picture);
    } else if (url.pathname === '/favicon.ico') {
      res.writeHead(404);
      res.end();
    } else {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(PAGE);
    }
  }

  // With byte ranges, so that the browser can seek anywhere.
  sendAudio(req, res) {
    const total = this.wav.length;
    const m = /^bytes=(\d+)-(\d*)$/.exec(req.headers.range || '');
    const head = { 'Content-Type': 'audio/wav', 'Accept-Ranges': 'bytes' };
    if (!m) {
      res.writeHead(200, { ...head, 'Content-Length': total });
      res.end(this.wav);
      return;
    }
    const start = Number(m[1]);
    const end = m[2] ? Math.min(Number(m[2]), total - 1) : total - 1;
    res.writeHead(206, { ...head, 'Content-Length': end - start + 1, 'Content-Range': `bytes ${start}-${end}/${total}` });
    res.end(this.wav.subarray(start, end + 1));
  }
}

// Chromium with the unpacked extension; the given host names lead to the music server.
async function launchExtension(server, hosts) {
  const profile = tempDir('tunelight-ext-profile-');
  // Developer mode, as for anyone who loads the folder: without it the browser disables an
  // unpacked extension when it reloads (as an update does).
  fs.mkdirSync(path.join(profile, 'Default'));
  fs.writeFileSync(
    path.join(profile, 'Default/Preferences'),
    JSON.stringify({ extensions: { ui: { developer_mode: true } } }),
  );
  const rules = hosts.map((h) => `MAP ${h} 127.0.0.1:${server.port}`).join(', ');
  const context = await launchChromium(chromium, {
    profile,
    headless: true,
    ignoreHTTPSErrors: true,
    args: [
      `--disable-extensions-except=${EXTENSION_DIR}`,
      `--load-extension=${EXTENSION_DIR}`,
      `--host-resolver-rules=${rules}`,
      '--ignore-certificate-errors',
      '--autoplay-policy=no-user-gesture-required',
    ],
  });
  const worker = context.serviceWorkers()[0] || (await context.waitForEvent('serviceworker'));
  return {
    context,
    // The extension's background as it runs now (the browser may have stopped and restarted it).
    get worker() {
      return context.serviceWorkers()[0] || worker;
    },
    id: new URL(worker.url()).host,
    // The browser's id of the tab showing this URL.
    async tabId(url) {
      return this.worker.evaluate(async (u) => (await chrome.tabs.query({ url: u }))[0].id, url);
    },
    async close() {
      await context.close();
      fs.rmSync(profile, { recursive: true, force: true });
    },
  };
}

async function getJson(port, route) {
  const res = await fetch(`http://127.0.0.1:${port}${route}`);
  if (!res.ok) throw new Error(`${route}: HTTP ${res.status}`);
  return res.json();
}

// The sources that came from extension reports, as /api/health lists them.
async function extensionSources(port) {
  return (await getJson(port, '/api/health')).sources.filter((s) => s.kind === 'extension');
}

// The real agent, as the plugin starts it.
function startAgent() {
  return startRealAgent({ token: TOKEN, prefix: 'tunelight-ext-agent-' });
}

// The agent's server and intake in the mode that asks extensions to upload covers.
async function startUploadAgent() {
  const binary = process.env.TUNELIGHT_UPLOAD_AGENT;
  if (!binary || !fs.existsSync(binary)) throw new Error(`upload agent binary not found: ${binary}`);
  const proc = spawn(binary, [], { stdio: ['ignore', 'pipe', 'inherit'] });
  let out = '';
  proc.stdout.on('data', (d) => {
    out += d;
  });
  const port = Number(await waitUntil(() => /^(\d+)\n/.exec(out)?.[1], { what: 'the upload agent port' }));
  return {
    port,
    async stop() {
      proc.kill('SIGTERM');
      await exitOf(proc);
    },
  };
}

module.exports = {
  EXTENSION_DIR,
  control,
  TRACK_SECONDS,
  MusicServer,
  exitOf,
  extensionSources,
  getJson,
  launchExtension,
  sleep,
  startAgent,
  startUploadAgent,
  waitUntil,
};
