// Spotify: its player element stays outside the document. Where the page hook cannot reach it
// (Firefox before 128) and the page gave no position state, the position and length are read
// from the playback bar's two time labels.
//
// Spotify Free plays ads through the same player, and its media session then names the ad.
// The now-playing bar marks an ad with its own test ids ("context-item-info-ad-subtitle", "ad-link",
// "ad-controls", "ad-countdown-timer", as public ad muters rely on); and while a song's or
// episode's artist links to /artist/ or /show/ on Spotify, an ad's leads to the advertiser's
// site (public scrobbler connectors tell songs from ads so).
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

  const AD_MARKS = [
    'context-item-info-ad-subtitle',
    'context-item-info-ad-title',
    'ad-link',
    'ad-controls',
    'ad-countdown-timer',
  ]
    .map((id) => `[data-testid="${id}"]`)
    .join(', ');

  function isAd(doc) {
    if (doc.querySelector(AD_MARKS)) return true;
    const artist = doc.querySelector('[data-testid="now-playing-widget"] [data-testid="context-item-info-artist"]');
    const href = artist && artist.getAttribute('href');
    if (!href || !/^https?:/i.test(href)) return false; // songs link within the site; local files not at all
    return !/(^|\.)spotify\.com$/i.test(new URL(href).hostname);
  }

  if (typeof module === 'object' && module.exports) {
    module.exports = { clockSeconds, fix, isAd };
    return;
  }
  const T = (root.Tunelight = root.Tunelight || {});
  (T.siteFixes = T.siteFixes || []).push(fix, T.ads.fix(isAd, ['data-testid', 'href']));
})(globalThis);
