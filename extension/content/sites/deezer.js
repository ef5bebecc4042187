// Deezer: Deezer Free's ad player announces its ads with events on the window, "sasVideoStart"
// when one starts and "sasVideoEnd" (or "adError") when it is over, which public ad muters rely
// on. The media session may name the ad meanwhile; from the first event to the last the tab
// reports no song. An ad break that never says it ended is taken as over after two minutes,
// so that a lost event cannot silence the tab for good.
(() => {
  'use strict';
  const T = globalThis.Tunelight;
  const LONGEST_AD_MS = 120000;
  let adSince = 0;

  const isAd = () => adSince > 0 && Date.now() - adSince < LONGEST_AD_MS;
  function adChanged(playing) {
    adSince = playing ? Date.now() : 0;
    T.ads.recheck();
  }
  window.addEventListener('sasVideoStart', () => adChanged(true));
  window.addEventListener('sasVideoEnd', () => adChanged(false));
  window.addEventListener('adError', () => adChanged(false));
  (T.siteFixes = T.siteFixes || []).push(T.ads.fix(isAd));
})();
