// When one tab's reports go out, on a fake clock.
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const { createPacer } = require('../../extension/lib/pacer.js');
const { fakeTime, settle } = require('./fake_time.js');

// A pacer whose deliveries are recorded; after hold() they wait for release().
function setUp({ ok = true } = {}) {
  const time = fakeTime(1000);
  const sent = [];
  let held = null;
  const pacer = createPacer({
    now: time.now,
    setTimer: time.setTimer,
    clearTimer: time.clearTimer,
    deliver: (report) => {
      sent.push({ at: time.now(), report });
      if (!held) return Promise.resolve(typeof ok === 'function' ? ok() : ok);
      return new Promise((resolve) => held.push(() => resolve(true)));
    },
  });
  return {
    time,
    sent,
    pacer,
    hold() {
      held = [];
    },
    release() {
      const r = held;
      held = null;
      r.forEach((f) => f());
    },
  };
}

function report(title, status = 'playing', positionMs = 0, positionAt = 1000) {
  return { service: 'yandex', browser: 'chrome', title, artist: 'A', status, durationMs: 200000, positionMs, positionAt };
}

describe('report pacing', () => {
  it('sends changes at once but never more than 5 in a second, coalescing to the newest', async () => {
    const { time, sent, pacer } = setUp();
    for (let i = 0; i < 120; i++) {
      pacer.offer(report(`song ${i}`, 'paused'));
      await settle();
      await time.advance(10);
    }
    await time.advance(2000);
    const times = sent.map((s) => s.at);
    for (const t of times) assert.ok(times.filter((u) => u > t - 1000 && u <= t).length <= 5, `burst at ${t}: ${times}`);
    assert.equal(sent[0].at, 1000, 'the first change goes out at once');
    assert.equal(sent.at(-1).report.title, 'song 119', 'the newest wins');
  });

  it('lets a change right after a burst out within 200 ms', async () => {
    // A song starting gives several reports in a row; the pause that follows must not wait
    // for the rest of the second.
    const { time, sent, pacer } = setUp();
    for (const s of ['a', 'b', 'c', 'd', 'e']) {
      pacer.offer(report(s));
      await time.advance(5);
    }
    await time.advance(100);
    const pausedAt = time.now();
    pacer.offer(report('e', 'paused'));
    await time.advance(200);
    assert.equal(sent.at(-1).report.status, 'paused');
    assert.ok(sent.at(-1).at - pausedAt <= 200, `paused after ${sent.at(-1).at - pausedAt} ms`);
  });

  it('repeats the report every 2 s while playing or paused and skips unchanged reads', async () => {
    const { time, sent, pacer } = setUp();
    pacer.offer(report('a', 'playing', 0, 1000));
    await settle();
    await time.advance(500);
    pacer.offer(report('a', 'playing', 500, 1500)); // the same song, read later
    await time.advance(6000);
    assert.deepEqual(sent.map((s) => s.at), [1000, 3000, 5000, 7000]);
    assert.equal(sent[1].report.positionAt, 1500, 'a heartbeat carries the latest read');
    // Paused: still repeated, so the agent keeps the paused song on the card.
    pacer.offer(report('a', 'paused', 6500, 7500));
    await time.advance(4100);
    assert.deepEqual(sent.map((s) => s.report.status), ['playing', 'playing', 'playing', 'playing', 'paused', 'paused', 'paused']);
    assert.deepEqual(sent.slice(4).map((s) => s.at), [7500, 9500, 11500]);
  });

  it('sends gone after a stop only when playback does not resume within the grace', async () => {
    const { time, sent, pacer } = setUp();
    pacer.stop(); // never reported: nothing to take back
    pacer.offer(report('a'));
    await settle();
    pacer.stop();
    await time.advance(2500); // a player that clears its metadata between songs
    pacer.offer(report('b')); // the next song of the playlist
    await settle();
    pacer.stop();
    await time.advance(2900);
    assert.deepEqual(sent.map((s) => s.report && s.report.title), ['a', 'b']);
    await time.advance(100);
    assert.deepEqual(sent.map((s) => s.report && s.report.title), ['a', 'b', null]);
    pacer.gone(); // already gone
    await time.advance(3000);
    assert.equal(sent.length, 3);
  });

  it('sends one report at a time, in order: a gone follows the report in flight', async () => {
    const t = setUp();
    t.hold();
    t.pacer.offer(report('a'));
    await settle();
    t.pacer.gone();
    await t.time.advance(50);
    assert.equal(t.sent.length, 1);
    t.release();
    await t.time.advance(300);
    assert.deepEqual(t.sent.map((s) => s.report && s.report.title), ['a', null]);
  });

  it('tries a failed report again with the heartbeat and at once when the agent is found', async () => {
    let ok = false;
    const { time, sent, pacer } = setUp({ ok: () => ok });
    pacer.offer(report('a', 'paused'));
    await time.advance(100);
    assert.equal(sent.length, 1);
    pacer.offer(report('a', 'paused')); // not taken last time: still a change
    await time.advance(200);
    assert.equal(sent.length, 2);
    ok = true;
    pacer.resend();
    await time.advance(200);
    assert.equal(sent.length, 3);
    pacer.offer(report('a', 'paused'));
    await time.advance(1000);
    assert.equal(sent.length, 3, 'taken: an unchanged read waits for the heartbeat');
  });
});
