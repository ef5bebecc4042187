// The music server of the browser tests with a page per site: each site's host gets its page
// from fixtures/ (the player built as that site builds it), and /ad.wav is an ad of its own
// length, so that its clock is told from the songs'.
'use strict';

const fs = require('node:fs');
const path = require('node:path');
const { MusicServer } = require('./harness');

const FIXTURES = path.join(__dirname, 'fixtures');
const AD_SECONDS = 15;

// Host -> the fixture page its site gets.
const PAGES = {
  'open.spotify.com': 'spotify.html',
  'www.deezer.com': 'deezer.html',
  'music.yandex.ru': 'yandex.html',
  'music.amazon.com': 'amazon.html',
  'www.youtube.com': 'youtube.html',
};

// Silent 8 kHz 8-bit mono PCM.
function silentWav(seconds) {
  const n = 8000 * seconds;
  const b = Buffer.alloc(44 + n, 128);
  b.write('RIFF', 0);
  b.writeUInt32LE(36 + n, 4);
  b.write('WAVEfmt ', 8);
  b.writeUInt32LE(16, 16);
  b.writeUInt16LE(1, 20);
  b.writeUInt16LE(1, 22);
  b.writeUInt32LE(8000, 24);
  b.writeUInt32LE(8000, 28);
  b.writeUInt16LE(1, 32);
  b.writeUInt16LE(8, 34);
  b.write('data', 36);
  b.writeUInt32LE(n, 40);
  return b;
}

class SiteServer extends MusicServer {
  constructor() {
    super();
    this.ad = silentWav(AD_SECONDS);
  }

  handle(req, res) {
    const url = new URL(req.url, 'https://x');
    const page = PAGES[String(req.headers.host || '').replace(/:\d+$/, '')];
    if (url.pathname === '/ad.wav') {
      res.writeHead(200, { 'Content-Type': 'audio/wav', 'Content-Length': this.ad.length });
      res.end(this.ad);
    } else if (url.pathname === '/fixtures/player.js') {
      res.writeHead(200, { 'Content-Type': 'text/javascript' });
      res.end(fs.readFileSync(path.join(FIXTURES, 'player.js')));
    } else if (page && !/\.\w+$/.test(url.pathname)) {
      res.writeHead(200, { 'Content-Type': 'text/html; charset=utf-8' });
      res.end(fs.readFileSync(path.join(FIXTURES, page)));
    } else {
      super.handle(req, res);
    }
  }
}

module.exports = { AD_SECONDS, PAGES, SiteServer };
