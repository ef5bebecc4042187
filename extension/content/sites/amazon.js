// Amazon Music: the player bar ("#transport") shows what plays in a music-horizontal-item whose
// primary-href is "#" for a song, while an ad's links to the advertiser (public scrobbler
// connectors tell songs from ads so).
(() => {
  'use strict';
  const T = globalThis.Tunelight;
  function isAd(doc) {
    const item = doc.querySelector('#transport music-horizontal-item');
    const href = item && item.getAttribute('primary-href');
    return !!href && href !== '#';
  }
  (T.siteFixes = T.siteFixes || []).push(T.ads.fix(isAd, ['primary-href']));
})();
