// A clock and timers that only move when a test says so.
'use strict';

// Lets pending promise chains (a fake delivery or fetch) run to their end.
async function settle() {
  for (let i = 0; i < 5; i++) await new Promise((resolve) => setImmediate(resolve));
}

function fakeTime(start = 0) {
  let t = start;
  const timers = new Set();
  return {
    now: () => t,
    setTimer(fn, ms) {
      const h = { at: t + ms, fn };
      timers.add(h);
      return h;
    },
    clearTimer(h) {
      timers.delete(h);
    },
    // Runs every timer due within ms, in time order, with the clock at each one's time.
    async advance(ms) {
      const end = t + ms;
      for (;;) {
        await settle();
        const next = [...timers].filter((x) => x.at <= end).sort((a, b) => a.at - b.at)[0];
        if (!next) break;
        timers.delete(next);
        t = next.at;
        next.fn();
      }
      t = end;
      await settle();
    },
  };
}

module.exports = { fakeTime, settle };
