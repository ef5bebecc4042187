// VK Music: its web player plays audio ads between songs, but no public account tells how the
// page marks one; only an ad whose metadata names it as one ("Реклама") is kept off the card.
(() => {
  'use strict';
  const T = globalThis.Tunelight;
  (T.siteFixes = T.siteFixes || []).push(T.ads.fix(() => false));
})();
