// When one tab's reports go out: at once on a change, every heartbeat while it plays or is paused
// (the agent forgets a source after 6 s of silence; a paused song stays on the card, dimmed, as a
// paused desktop player's does), never more than maxPerSecond in any second (changes
// in between are coalesced into the newest), one at a time and in order, and a final gone.
// Deliveries are spaced evenly rather than counted per second: the burst a starting song makes
// would otherwise use up the second and hold a pause right after it back for the rest of it;
// spaced, no change waits longer than one gap.
(function (root) {
  'use strict';

  const isChange =
    typeof module === 'object' && module.exports ? require('./report.js').isChange : root.Tunelight.report.isChange;

  // deliver(report) sends one report (null: the gone report) and resolves to true when the
  // agent took it. Times come from now(); timers from setTimer(fn, ms) / clearTimer(handle).
  function createPacer({
    deliver,
    now,
    setTimer,
    clearTimer,
    maxPerSecond = 5,
    heartbeatMs = 2000,
    stopGraceMs = 3000,
  }) {
    let latest = null; // what the agent should hold for this tab; null: nothing
    let sent = null; // the last report the agent took (null after a gone or a failure)
    let sentAt = -Infinity; // start of the last delivery
    let dirty = false; // latest must go out
    let reported = false; // the agent may hold a source of this tab: a gone is owed
    let inFlight = false;
    let flying = null; // the report being delivered
    let timer = null;
    let graceAt = null; // a stop becomes a gone then, unless playback resumes
    const gapMs = 1000 / maxPerSecond;

    function pump() {
      if (timer !== null) {
        clearTimer(timer);
        timer = null;
      }
      if (inFlight) return; // the delivery's end pumps again
      const t = now();
      if (graceAt !== null && t >= graceAt) {
        graceAt = null;
        latest = null;
        dirty = reported;
      }
      let due = Infinity;
      if (dirty) due = t;
      else if (graceAt !== null) due = graceAt; // no heartbeats while it may be over
      else if (latest) due = sentAt + heartbeatMs;
      if (due === Infinity) return;
      due = Math.max(due, sentAt + gapMs);
      if (due > t) {
        timer = setTimer(pump, due - t);
        return;
      }
      send(t);
    }

    function send(t) {
      const body = latest;
      dirty = false;
      inFlight = true;
      flying = body;
      sentAt = t;
      if (body) reported = true;
      Promise.resolve()
        .then(() => deliver(body))
        .then(
          (ok) => ok === true,
          () => false,
        )
        .then((ok) => {
          inFlight = false;
          if (body) sent = ok ? body : null;
          else {
            sent = null;
            if (ok) reported = false;
          }
          pump();
        });
    }

    return {
      // The tab has this to report now.
      offer(report) {
        graceAt = null;
        latest = report;
        if (isChange(inFlight ? flying : sent, report)) dirty = true;
        pump();
      },
      // Nothing plays any more: a gone follows unless something plays again soon (the next
      // song of a playlist often starts a moment after the last one ended, and some players
      // clear their metadata for a second or two in between), so the card does not blink.
      stop() {
        if (latest !== null && graceAt === null) graceAt = now() + stopGraceMs;
        pump();
      },
      // The tab is closed or left the site, or reporting is switched off: gone, at once.
      gone() {
        graceAt = null;
        latest = null;
        dirty = reported;
        pump();
      },
      // The agent was (re)found: it needs the current report again.
      resend() {
        if (latest) dirty = true;
        pump();
      },
      state() {
        return { latest, sent, busy: inFlight || dirty || timer !== null };
      },
    };
  }

  const api = { createPacer };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).pacer = api;
})(globalThis);
