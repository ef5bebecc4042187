// Shared set-up of the browser tests: Debian's Chromium through playwright-core, and a small
// loopback server that serves the card's files from the source tree with an event stream the
// test writes to.
'use strict';

const fs = require('node:fs');
const http = require('node:http');
const path = require('node:path');
const { chromium } = require('playwright-core');
const shared = require('../support/browser');

const WIDGET_DIR = path.resolve(__dirname, '../../agent/widget');

const TYPES = {
  'index.html': 'text/html; charset=utf-8',
  'style.css': 'text/css; charset=utf-8',
  'app.js': 'application/javascript; charset=utf-8',
  'placeholder.svg': 'image/svg+xml',
  'onest-latin.woff2': 'font/woff2',
  'onest-cyrillic.woff2': 'font/woff2',
  'unbounded-latin.woff2': 'font/woff2',
  'unbounded-cyrillic.woff2': 'font/woff2',
};

// playwright gives every launch a fresh profile directory of its own and removes it at close.
function launchBrowser() {
  return shared.launchChromium(chromium);
}

// A solid square SVG of one colour, as a cover.
function solidSvg(colour) {
  return (
    "<svg xmlns='http://www.w3.org/2000/svg' width='40' height='40'>" +
    `<rect width='40' height='40' fill='${colour}'/></svg>`
  );
}

// Serves /widget, /widget/NAME, /cover/ID (registered by the test) and /events.
class CardServer {
  constructor() {
    this.streams = new Set();
    this.covers = new Map();
    this.retryMs = 1000;
    this.refuseEvents = 0; // answer this many /events requests with 503
    this.requests = [];
    this.server = http.createServer((req, res) => this.handle(req, res));
  }

  async start() {
    await new Promise((resolve) => this.server.listen(0, '127.0.0.1', resolve));
    this.origin = `http://127.0.0.1:${this.server.address().port}`;
    return this;
  }

  async stop() {
    this.drop();
    await new Promise((resolve) => this.server.close(resolve));
  }

  cover(id, colour, delayMs = 0) {
    this.covers.set(id, { body: solidSvg(colour), delayMs });
    return `/cover/${id}`;
  }

  handle(req, res) {
    const url = new URL(req.url, 'http://x');
    const p = url.pathname;
    this.requests.push(p);
    if (p === '/events' && this.refuseEvents > 0) {
      this.refuseEvents--;
      res.writeHead(503);
      res.end();
      return;
    }
    if (p === '/events') {
      res.writeHead(200, { 'Content-Type': 'text/event-stream', 'Cache-Control': 'no-store' });
      res.write(`retry: ${this.retryMs}\n\n`);
      this.streams.add(res);
      res.on('close', () => this.streams.delete(res));
      return;
    }
    const m = /^\/widget(?:\/([A-Za-z0-9_.-]+))?$/.exec(p);
    if (m) {
      const name = m[1] || 'index.html';
      if (!TYPES[name]) return this.notFound(res);
      res.writeHead(200, { 'Content-Type': TYPES[name], 'Cache-Control': 'no-cache' });
      res.end(fs.readFileSync(path.join(WIDGET_DIR, name)));
      return;
    }
    const c = /^\/cover\/(\w+)$/.exec(p);
    if (c && this.covers.has(c[1])) {
      const cover = this.covers.get(c[1]);
      setTimeout(() => {
        res.writeHead(200, { 'Content-Type': 'image/svg+xml' });
        res.end(cover.body);
      }, cover.delayMs);
      return;
    }
    this.notFound(res);
  }

  notFound(res) {
    res.writeHead(404);
    res.end();
  }

  // Sends one message event (an object is sent as JSON) to every open stream.
  send(data) {
    const text = typeof data === 'string' ? data : JSON.stringify(data);
    for (const res of this.streams) res.write(`data: ${text}\n\n`);
  }

  // Ends every open stream, as an agent going away does.
  drop() {
    for (const res of this.streams) res.destroy();
    this.streams.clear();
  }
}

// Counts the messages and errors of the page's event sources, ahead of the card's own handlers.
const SPY = `(() => {
  const Native = window.EventSource;
  window.__sse = { messages: 0, errors: 0, opened: 0 };
  function Spied(url, init) {
    const es = new Native(url, init);
    window.__sse.opened++;
    es.addEventListener('message', () => window.__sse.messages++);
    es.addEventListener('error', () => window.__sse.errors++);
    return es;
  }
  Spied.prototype = Native.prototype;
  Spied.CONNECTING = 0; Spied.OPEN = 1; Spied.CLOSED = 2;
  window.EventSource = Spied;
})();`;

const T0 = Date.parse('2026-03-01T12:00:00Z');

// A card page with the browser clock paused at T0; nothing runs on until the test advances it.
class CardPage {
  constructor(browser, server) {
    this.browser = browser;
    this.server = server;
  }

  async open(query = '', { viewport = { width: 700, height: 500 }, clock = true } = {}) {
    this.context = await this.browser.newContext({ viewport });
    this.page = await this.context.newPage();
    this.dialogs = [];
    this.errors = [];
    this.page.on('pageerror', (e) => this.errors.push(String(e)));
    this.page.on('dialog', (d) => {
      this.dialogs.push(d.message());
      d.dismiss().catch(() => {});
    });
    await this.page.addInitScript(SPY);
    if (clock) {
      await this.page.clock.install({ time: T0 });
      await this.page.clock.pauseAt(T0 + 1000);
    }
    this.expected = 0;
    await this.page.goto(`${this.server.origin}/widget${query ? '?' + query : ''}`);
    await this.page.waitForFunction(() => window.__sse && window.__sse.opened > 0);
    // The stream is open once the server holds it.
    await waitUntil(() => this.server.streams.size > 0);
    return this;
  }

  // Closes the page; script errors on it fail the test.
  async close() {
    await this.context.close();
    if (this.errors.length) throw new Error(`script errors: ${this.errors.join('; ')}`);
  }

  // Sends a state and waits until the page has handled it.
  async send(data) {
    this.expected++;
    this.server.send(data);
    await this.page.waitForFunction((n) => window.__sse.messages >= n, this.expected, {
      polling: 5,
    });
  }

  // Advances the clock by ms, firing every timer and frame on the way.
  async run(ms) {
    await this.page.clock.runFor(ms);
  }

  // Jumps the clock by ms, firing what is due once (for long spans).
  async skip(ms) {
    await this.page.clock.fastForward(ms);
  }

  now() {
    return this.page.evaluate(() => Date.now());
  }

  eval(fn, arg) {
    return this.page.evaluate(fn, arg);
  }

  classes(id) {
    return this.page.evaluate((i) => document.getElementById(i).className, id);
  }

  async has(id, cls) {
    return (await this.classes(id)).split(/\s+/).includes(cls);
  }

  // The src of the cover image that is shown, once its decode has finished.
  async shownCover() {
    await this.page.waitForFunction(() => document.querySelector('#disc img.show'), null, {
      polling: 5,
    });
    return this.page.evaluate(() => document.querySelector('#disc img.show').src);
  }

  text(id) {
    return this.page.evaluate((i) => document.getElementById(i).textContent, id);
  }
}

function waitUntil(cond, timeoutMs = 5000) {
  return shared.waitUntil(cond, { timeout: timeoutMs, interval: 10 });
}

// A now-playing state in the agent's format, with the given members changed.
function nowPlaying(over = {}) {
  return Object.assign(
    {
      active: true,
      album: null,
      app: 'demo',
      artist: 'Queen',
      coverUrl: null,
      durationMs: 354000,
      kind: 'mock',
      player: '',
      positionAt: T0,
      positionMs: 60000,
      service: 'yandex',
      source: 'mock:demo',
      status: 'playing',
      title: 'Bohemian Rhapsody',
      trackId: 'aaaaaaaaaaaa',
    },
    over,
  );
}

module.exports = {
  CardPage,
  CardServer,
  T0,
  TYPES,
  WIDGET_DIR,
  launchBrowser,
  nowPlaying,
  solidSvg,
  waitUntil,
};
