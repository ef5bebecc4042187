// Spotify: its player element stays outside the document. Where the page hook cannot reach it
// (Firefox before 128) and the page gave no position state, the position and length are read
// from the playback bar's two time labels.
(function (root) {
  'use strict';

  // "3:07", "1:02:03" or "-2:41" (the bar can show the time left) in seconds; NaN otherwise.
  function clockSeconds(text) {
    const m = /^\s*(-?)((?:\d+:)?\d{1,2}:\d{2})\s*$/.exec(String(text || ''));
    if (!m) return NaN;
    const s = m[2].split(':').reduce((acc, part) => acc * 60 + Number(part), 0);
    return m[1] ? -s : s;
  }

  function fix(snap, doc) {
    if (snap.media || snap.position) return;
    const pos = doc.querySelector('[data-testid="playback-position"]');
    const dur = doc.querySelector('[data-testid="playback-duration"]');
    if (!pos || !dur) return;
    const position = clockSeconds(pos.textContent);
    let duration = clockSeconds(dur.textContent);
    if (duration < 0) duration = position - duration; // the time left
    if (!(position >= 0) || !(duration > 0)) return;
    snap.position = { position, duration, at: Date.now() };
  }

  if (typeof module === 'object' && module.exports) {
    module.exports = { clockSeconds, fix };
    return;
  }
  const T = (root.Tunelight = root.Tunelight || {});
  (T.siteFixes = T.siteFixes || []).push(fix);
})(globalThis);
