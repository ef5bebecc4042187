// The card page against a scripted event stream, with the browser clock in the test's hands.
'use strict';

const assert = require('node:assert/strict');
const { after, before, describe, it } = require('node:test');
const { CardPage, CardServer, launchBrowser, nowPlaying, T0, waitUntil } = require('./harness');

const MINUS = '\u2212';
let browser;
let server;

before(async () => {
  browser = await launchBrowser();
  server = await new CardServer().start();
});

after(async () => {
  await server.stop();
  await browser.close();
});

// Runs body with a fresh card page opened on query.
async function withCard(query, body, options) {
  const card = await new CardPage(browser, server).open(query, options);
  try {
    await body(card);
  } finally {
    await card.close();
  }
}

const look = (c) =>
  c.eval(() => ({
    body: document.body.className,
    accent: document.body.style.getPropertyValue('--accent'),
    zoom: document.documentElement.style.zoom,
  }));

const visible = async (c) => !(await c.has('card', 'hidden'));

describe('URL parameters', () => {
  it('fall back to the defaults when missing or not in their lists', async () => {
    const defaults = {
      body: 'theme-compact layout-horizontal bg-dark font-system time-off',
      accent: '',
      zoom: '',
    };
    await withCard('', async (c) => assert.deepEqual(await look(c), defaults));
    // Values are case-sensitive; an accent with "#" and unreadable or zero scales are ignored.
    await withCard(
      'theme=VINYL&layout=Vertical&bg=blue&font=arial&time=ON&accent=%23ff0000&scale=abc',
      async (c) => assert.deepEqual(await look(c), defaults),
    );
    await withCard('scale=0&accent=12345', async (c) => assert.deepEqual(await look(c), defaults));
  });

  it('set the look classes, accent and zoom, with clamping', async () => {
    await withCard(
      'theme=vinyl&theme=compact&layout=vertical&bg=cover&font=unbounded&accent=AbC123&scale=3&time=remaining',
      async (c) =>
        assert.deepEqual(await look(c), {
          body: 'theme-vinyl layout-vertical bg-cover font-unbounded time-on',
          accent: '#AbC123',
          zoom: '2',
        }),
    );
    const zooms = { 'scale=0.1': '0.5', 'scale=-1': '0.5', 'scale=1.5x': '1.5', 'scale=1': '' };
    for (const [q, zoom] of Object.entries(zooms)) {
      await withCard(q, async (c) => assert.equal((await look(c)).zoom, zoom, q));
    }
    await withCard('bg=light&font=onest&time=elapsed_remaining', async (c) =>
      assert.equal((await look(c)).body, 'theme-compact layout-horizontal bg-light font-onest time-on'),
    );
  });

  it('clamp showFor to 0..600 seconds', async () => {
    // 900 gives a 600 s window.
    await withCard('showFor=900', async (c) => {
      await c.send(nowPlaying());
      await c.skip(600000 + 19);
      assert.ok(await visible(c));
      await c.run(1);
      assert.ok(!(await visible(c)));
    });
    // Negative and unreadable values mean "always shown".
    for (const q of ['showFor=-5', 'showFor=abc']) {
      await withCard(q, async (c) => {
        await c.send(nowPlaying());
        await c.skip(700000);
        await c.run(20);
        assert.ok(await visible(c), q);
      });
    }
  });
});

describe('card box', () => {
  it('has the fixed size of every theme, layout and time setting', async () => {
    const sizes = [
      ['theme=compact', 476, 116],
      ['theme=compact&time=elapsed', 476, 116],
      ['theme=compact&layout=vertical', 232, 312],
      ['theme=compact&layout=vertical&time=elapsed', 232, 332],
      ['theme=vinyl', 576, 176],
      ['theme=vinyl&time=elapsed', 576, 176],
      ['theme=vinyl&layout=vertical', 288, 384],
      ['theme=vinyl&layout=vertical&time=elapsed', 288, 404],
    ];
    const long = 'Lucy In The Sky With Diamonds - Remastered 2009 (Original Mono Version) '.repeat(3);
    for (const [q, w, h] of sizes) {
      await withCard(q, async (c) => {
        const box = () =>
          c.eval(() => {
            const e = document.getElementById('card');
            return [e.offsetLeft, e.offsetWidth, e.offsetHeight];
          });
        assert.deepEqual(await box(), [12, w, h], q);
        // Neither empty nor very long texts change the box.
        await c.send(nowPlaying({ title: '', artist: '' }));
        await c.run(50);
        assert.deepEqual(await box(), [12, w, h], q);
        await c.send(nowPlaying({ trackId: 'long', title: long, artist: long, album: long }));
        await c.run(300);
        assert.deepEqual(await box(), [12, w, h], q);
        assert.ok(await c.has('title-box', 'scroll'), q);
        // The long artist is clipped with an ellipsis.
        const artist = await c.eval(() => {
          const a = document.getElementById('artist');
          return [getComputedStyle(a).textOverflow, a.scrollWidth > a.clientWidth];
        });
        assert.deepEqual(artist, ['ellipsis', true], q);
      });
    }
  });

  it('is drawn at twice the size with scale 2', async () => {
    await withCard(
      'theme=vinyl&scale=2.00',
      async (c) =>
        assert.deepEqual(await c.page.locator('#card').boundingBox(), {
          x: 24,
          y: 24 + 20, // still moved down while hidden
          width: 1152,
          height: 352,
        }),
      { viewport: { width: 1200, height: 400 } },
    );
  });
});

describe('texts', () => {
  it('show the first state at once with the placeholder cover', async () => {
    await withCard('', async (c) => {
      assert.ok(!(await visible(c)));
      await c.send(nowPlaying({ coverUrl: null }));
      assert.ok(await visible(c));
      assert.equal(await c.text('title'), 'Bohemian Rhapsody');
      assert.equal(await c.text('artist'), 'Queen');
      assert.ok(!(await c.has('meta', 'out')));
      assert.match(await c.shownCover(), /\/widget\/placeholder\.svg$/);
    });
  });

  it('swap over 250 ms, and two changes within 250 ms end with the second', async () => {
    await withCard('', async (c) => {
      await c.send(nowPlaying());
      await c.send(nowPlaying({ trackId: 'b', title: 'Second', artist: 'B' }));
      assert.ok(await c.has('meta', 'out'));
      await c.run(249);
      assert.equal(await c.text('title'), 'Bohemian Rhapsody');
      await c.run(1);
      assert.equal(await c.text('title'), 'Second');
      assert.ok(!(await c.has('meta', 'out')));

      await c.send(nowPlaying({ trackId: 'c', title: 'Third', artist: 'C' }));
      await c.run(100);
      await c.send(nowPlaying({ trackId: 'd', title: 'Fourth', artist: 'D' }));
      await c.run(150);
      assert.equal(await c.text('title'), 'Fourth');
      await c.run(200);
      assert.deepEqual([await c.text('title'), await c.text('artist')], ['Fourth', 'D']);
      assert.ok(!(await c.has('meta', 'out')));

      // After nothing played, the next track shows at once again.
      await c.send({ active: false });
      assert.ok(!(await visible(c)));
      assert.equal(await c.text('title'), 'Fourth');
      await c.send(nowPlaying({ trackId: 'e', title: 'Fifth' }));
      assert.equal(await c.text('title'), 'Fifth');
      assert.ok(await visible(c));
    });
  });

  it('show markup from the agent as text', async () => {
    await withCard('', async (c) => {
      const title = '<img src=x onerror=alert(1)>';
      const artist = '<b>bold</b> & <script>alert(2)</script>';
      await c.send(nowPlaying({ title, artist }));
      await c.run(100);
      assert.equal(await c.text('title'), title);
      assert.equal(await c.text('artist'), artist);
      assert.equal(await c.eval(() => document.querySelectorAll('#meta *').length), 8);
      assert.deepEqual(c.dialogs, []);
      assert.ok(!server.requests.includes('/widget/x'));
    });
  });

  it('skip event data that is not a state object', async () => {
    await withCard('', async (c) => {
      await c.send('not json');
      await c.send('null');
      await c.send('42');
      assert.ok(!(await visible(c)));
      await c.send(nowPlaying());
      assert.ok(await visible(c));
    });
  });

  it('join artist and album in the vinyl theme only', async () => {
    await withCard('theme=vinyl', async (c) => {
      await c.send(nowPlaying({ album: 'A Night at the Opera' }));
      assert.equal(await c.text('artist'), 'Queen \u00b7 A Night at the Opera');
      for (const album of [null, '']) {
        await c.send({ active: false });
        await c.send(nowPlaying({ trackId: `x${album}`, album }));
        assert.equal(await c.text('artist'), 'Queen');
      }
    });
    await withCard('theme=compact', async (c) => {
      await c.send(nowPlaying({ album: 'A Night at the Opera' }));
      assert.equal(await c.text('artist'), 'Queen');
    });
  });

  it('scroll a title that does not fit, and only such a title', async () => {
    await withCard('', async (c) => {
      const title = 'Lucy In The Sky With Diamonds - Remastered 2009 (Original Mono Version)';
      await c.send(nowPlaying({ title }));
      await c.run(20);
      const m = await c.eval(() => {
        const box = document.getElementById('title-box');
        box.classList.remove('scroll');
        const overflow = document.getElementById('title').offsetWidth - box.clientWidth;
        box.classList.add('scroll');
        return {
          overflow,
          shift: box.style.getPropertyValue('--shift'),
          dur: box.style.getPropertyValue('--dur'),
          anim: getComputedStyle(document.getElementById('title')).animationName,
        };
      });
      assert.ok(m.overflow > 100, `overflow ${m.overflow}`);
      assert.equal(m.shift, `${m.overflow}px`);
      assert.equal(m.dur, `${Math.max(6, m.overflow / 25 + 4)}s`);
      assert.equal(m.anim, 'marquee');

      await c.send(nowPlaying({ trackId: 'short', title: 'Short' }));
      await c.run(270);
      assert.equal(await c.text('title'), 'Short');
      assert.ok(!(await c.has('title-box', 'scroll')));
    });
  });
});

describe('visibility', () => {
  it('hides with nothing active and, with hideOnPause, while not playing', async () => {
    await withCard('hideOnPause=1', async (c) => {
      await c.send({ active: false });
      assert.ok(!(await visible(c)));
      await c.send(nowPlaying());
      assert.ok(await visible(c));
      for (const status of ['paused', 'stopped']) {
        await c.send(nowPlaying({ status }));
        assert.ok(!(await visible(c)), status);
      }
      await c.send(nowPlaying());
      assert.ok(await visible(c));
    });
    // Without it a paused card stays, dimmed, and the record stops turning.
    await withCard('theme=vinyl', async (c) => {
      await c.send(nowPlaying({ status: 'paused' }));
      assert.equal(await c.classes('card'), 'card paused');
      const disc = () => c.eval(() => getComputedStyle(document.getElementById('disc')).animationPlayState);
      assert.equal(await disc(), 'paused');
      await c.send(nowPlaying());
      assert.equal(await c.classes('card'), 'card');
      assert.equal(await disc(), 'running');
    });
  });

  it('keeps the pause icon of both themes readable: the vinyl badge sits clear of the spindle', async () => {
    // White pixels of the art box, as offsets from its centre, read from a real screenshot.
    const whiteOffsets = async (c) => {
      await new Promise((r) => setTimeout(r, 500)); // opacity transitions run on real time
      const box = await c.page.locator('#art').boundingBox();
      const png = await c.page.screenshot({ clip: box, omitBackground: true });
      return c.eval(async (b64) => {
        const img = new Image();
        img.src = `data:image/png;base64,${b64}`;
        await img.decode();
        const cv = Object.assign(document.createElement('canvas'), { width: img.width, height: img.height });
        const g = cv.getContext('2d');
        g.drawImage(img, 0, 0);
        const d = g.getImageData(0, 0, img.width, img.height).data;
        const out = [];
        for (let y = 0; y < img.height; y++) {
          for (let x = 0; x < img.width; x++) {
            const i = (y * img.width + x) * 4;
            if (d[i] > 200 && d[i + 1] > 200 && d[i + 2] > 200 && d[i + 3] > 100) {
              out.push(Math.hypot(x + 0.5 - img.width / 2, y + 0.5 - img.height / 2));
            }
          }
        }
        return out;
      }, png.toString('base64'));
    };
    await withCard('theme=vinyl', async (c) => {
      await c.send(nowPlaying({ status: 'paused' }));
      const white = await whiteOffsets(c);
      assert.ok(white.length > 40, `pause icon drawn (${white.length} white pixels)`);
      assert.ok(Math.min(...white) > 16, `icon clear of the spindle (nearest ${Math.min(...white)} px)`);
      await c.send(nowPlaying());
      assert.equal((await whiteOffsets(c)).length, 0);
    });
    await withCard('', async (c) => {
      await c.send(nowPlaying({ status: 'paused' }));
      assert.ok((await whiteOffsets(c)).length > 40);
    });
  });

  it('shows each new track and each return to playing for showFor seconds', async () => {
    await withCard('showFor=5', async (c) => {
      await c.send(nowPlaying());
      await c.run(5019);
      assert.ok(await visible(c));
      await c.run(1); // the timer re-renders 20 ms after the window
      assert.ok(!(await visible(c)));
      // A paused card after its window stays hidden; playing again opens a new window.
      await c.send(nowPlaying({ status: 'paused' }));
      assert.ok(!(await visible(c)));
      await c.send(nowPlaying());
      assert.ok(await visible(c));
      await c.run(3000);
      // A pause within the window shows the card dimmed until the window ends.
      await c.send(nowPlaying({ status: 'paused' }));
      assert.equal(await c.classes('card'), 'card paused');
      await c.run(2020);
      assert.ok(!(await visible(c)));
      await c.send(nowPlaying({ trackId: 'next', title: 'Next', status: 'playing' }));
      assert.ok(await visible(c));
      assert.equal(await c.text('title'), 'Next');
    });
  });

  it('hides 3 s after the connection drops unless a message comes first', async () => {
    server.retryMs = 100;
    try {
      await withCard('', async (c) => {
        await c.send(nowPlaying());
        server.drop();
        await c.page.waitForFunction(() => window.__sse.errors >= 1, null, { polling: 5 });
        await c.run(2000);
        assert.ok(await visible(c));
        // The stream comes back and delivers a message within the 3 s.
        await waitUntil(() => server.streams.size > 0);
        await c.send(nowPlaying());
        await c.run(2000);
        assert.ok(await visible(c));

        server.drop();
        await c.page.waitForFunction(() => window.__sse.errors >= 2, null, { polling: 5 });
        await c.run(2999);
        assert.ok(await visible(c));
        await c.run(1);
        assert.ok(!(await visible(c)));
        // A message after the loss shows the card again.
        await waitUntil(() => server.streams.size > 0);
        await c.send(nowPlaying());
        assert.ok(await visible(c));

        // Further errors do not restart the pending timer; a reconnection without a message
        // does not cancel it.
        server.drop();
        await c.page.waitForFunction(() => window.__sse.errors >= 3, null, { polling: 5 });
        await c.run(1500);
        await waitUntil(() => server.streams.size > 0);
        server.drop();
        await c.page.waitForFunction(() => window.__sse.errors >= 4, null, { polling: 5 });
        await c.run(1500);
        assert.ok(!(await visible(c)));

        // An answer that is not an event stream ends the browser's own retries; the card opens
        // a new stream a second later.
        await waitUntil(() => server.streams.size > 0);
        await c.send(nowPlaying());
        server.refuseEvents = 1;
        server.drop();
        await c.page.waitForFunction(() => window.__sse.errors >= 6, null, { polling: 5 });
        assert.equal(server.refuseEvents, 0);
        await c.run(1000);
        await waitUntil(() => server.streams.size > 0);
        await c.send(nowPlaying());
        assert.ok(await visible(c));
      });
    } finally {
      server.retryMs = 1000;
    }
  });
});

describe('times and bar', () => {
  const times = (c) =>
    c.eval(() => ({
      start: document.getElementById('t-start').textContent,
      end: document.getElementById('t-end').textContent,
      noBar: document.getElementById('timeline').classList.contains('no-bar'),
      bar: document.getElementById('progress').classList.contains('none') ? 'none' : 'shown',
    }));
  const paused = (positionMs, durationMs, over = {}) =>
    nowPlaying(Object.assign({ status: 'paused', positionMs, durationMs }, over));

  it('format elapsed and total time', async () => {
    await withCard('time=elapsed_total', async (c) => {
      const cases = [
        [59999, 354000, '0:59', '5:54'],
        [61000, 354000, '1:01', '5:54'],
        [3725000, 4000000, '1:02:05', '1:06:40'],
        [0, 600000, '0:00', '10:00'],
      ];
      for (const [pos, dur, start, end] of cases) {
        await c.send(paused(pos, dur));
        await c.run(20);
        assert.deepEqual(await times(c), { start, end, noBar: false, bar: 'shown' });
      }
    });
  });

  it('show the remaining time with a leading minus sign at the end', async () => {
    await withCard('time=remaining', async (c) => {
      await c.send(paused(61000, 300000));
      await c.run(20);
      assert.deepEqual(await times(c), {
        start: '',
        end: `${MINUS}3:59`,
        noBar: false,
        bar: 'shown',
      });
    });
  });

  it('show elapsed time alone without a duration, and nothing without a position', async () => {
    for (const mode of ['elapsed', 'remaining', 'elapsed_total', 'elapsed_remaining']) {
      await withCard(`time=${mode}`, async (c) => {
        await c.send(paused(61000, 0));
        await c.run(20);
        assert.deepEqual(await times(c), { start: '1:01', end: '', noBar: true, bar: 'none' }, mode);
        const shown = await c.eval(() =>
          ['progress', 't-end'].map((id) => getComputedStyle(document.getElementById(id)).display),
        );
        assert.deepEqual(shown, ['none', 'none'], mode);
        await c.send(paused(null, null));
        await c.run(20);
        assert.deepEqual(await times(c), { start: '', end: '', noBar: true, bar: 'none' }, mode);
      });
    }
  });

  it('put every mode on one line when the bar is off', async () => {
    const lines = {
      elapsed: '1:01',
      remaining: `${MINUS}3:59`,
      elapsed_total: '1:01 / 5:00',
      elapsed_remaining: `1:01 \u00b7 ${MINUS}3:59`,
    };
    for (const [mode, start] of Object.entries(lines)) {
      await withCard(`time=${mode}&progress=0`, async (c) => {
        await c.send(paused(61000, 300000));
        await c.run(20);
        assert.deepEqual(await times(c), { start, end: '', noBar: true, bar: 'none' }, mode);
      });
    }
  });

  it('run on while playing up to the duration and stand still while paused', async () => {
    await withCard('time=elapsed', async (c) => {
      const bar = () => c.eval(() => document.getElementById('bar').style.width);
      // Frames come every 16 ms: the last one lands up to 16 ms before the clock.
      await c.send(nowPlaying({ positionMs: 60500, positionAt: T0 + 1000 }));
      await c.run(10000);
      assert.equal((await times(c)).start, '1:10');
      const width = parseFloat(await bar());
      assert.match(await bar(), /^\d+\.\d{3}%$/);
      assert.ok(Math.abs(width - (70500 / 354000) * 100) < 0.005, `width ${width}`);
      await c.skip(400000);
      await c.run(20);
      assert.equal((await times(c)).start, '5:54');
      assert.equal(parseFloat(await bar()), 100);

      await c.send(nowPlaying({ status: 'paused', positionMs: 100000, positionAt: T0 }));
      await c.run(5000);
      assert.equal((await times(c)).start, '1:40');
      // A playing state whose moment is unknown does not run on from the epoch.
      await c.send(nowPlaying({ positionMs: 100000, positionAt: 0 }));
      await c.run(20);
      assert.equal((await times(c)).start, '1:40');
    });
    await withCard('time=off', async (c) => {
      await c.send(nowPlaying());
      await c.run(20);
      const t = await c.eval(() =>
        ['t-start', 't-end'].map((id) => {
          const e = document.getElementById(id);
          return [e.textContent, getComputedStyle(e).display];
        }),
      );
      assert.deepEqual(t, [
        ['', 'none'],
        ['', 'none'],
      ]);
      assert.equal(await c.has('progress', 'none'), false);
    });
  });
});

describe('cover', () => {
  const tint = (c) =>
    c.eval(() => {
      const s = document.getElementById('card').style;
      return { bg: s.getPropertyValue('--bg'), accent: s.getPropertyValue('--accent') };
    });

  it('tints the card from a saturated cover and falls back for a grey one', async () => {
    await withCard('bg=cover', async (c) => {
      await c.send(nowPlaying({ coverUrl: server.cover('1111', '#d7263d') }));
      assert.match(await c.shownCover(), /\/cover\/1111$/);
      assert.deepEqual(await tint(c), { bg: 'hsla(352, 60%, 17%, 0.9)', accent: 'hsl(352, 70%, 70%)' });
      await c.send(nowPlaying({ coverUrl: server.cover('2222', '#808080') }));
      await c.page.waitForFunction(() => document.querySelector('#disc img.show').src.endsWith('/2222'));
      assert.deepEqual(await tint(c), { bg: '', accent: '' });
      // The card blends back to the dark default.
      await c.page.waitForFunction(
        () => getComputedStyle(document.getElementById('card')).backgroundColor === 'rgba(16, 16, 20, 0.8)',
      );
    });
    // An accent from the URL wins over the cover's.
    await withCard('bg=cover&accent=00ff00', async (c) => {
      await c.send(nowPlaying({ coverUrl: server.cover('3333', '#1b98e0') }));
      assert.match(await c.shownCover(), /\/cover\/3333$/);
      assert.equal((await tint(c)).accent, '');
      assert.match((await tint(c)).bg, /^hsla\(20\d, 60%, 17%, 0\.9\)$/);
      await c.page.waitForFunction(
        () => getComputedStyle(document.getElementById('bar')).backgroundColor === 'rgb(0, 255, 0)',
      );
    });
    // Other backgrounds never take the cover's colour.
    await withCard('bg=dark', async (c) => {
      await c.send(nowPlaying({ coverUrl: server.cover('4444', '#d7263d') }));
      assert.match(await c.shownCover(), /\/cover\/4444$/);
      assert.deepEqual(await tint(c), { bg: '', accent: '' });
    });
  });

  it('never shows an older cover that finishes loading after a newer one', async () => {
    await withCard('', async (c) => {
      const slow = server.cover('5555', '#ff0000', 700);
      const fast = server.cover('6666', '#0000ff');
      await c.send(nowPlaying({ coverUrl: slow }));
      await c.send(nowPlaying({ trackId: 'b', coverUrl: fast }));
      assert.match(await c.shownCover(), /\/cover\/6666$/);
      await waitUntil(() => server.requests.filter((p) => p === '/cover/5555').length > 0);
      await new Promise((r) => setTimeout(r, 900));
      const imgs = await c.eval(() =>
        [...document.querySelectorAll('#disc img')].map((i) => [i.getAttribute('src'), i.className]),
      );
      assert.deepEqual(imgs.filter(([src]) => src !== null), [['/cover/6666', 'show']]);
    });
  });
});
