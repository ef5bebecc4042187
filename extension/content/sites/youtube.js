// YouTube and YouTube Music: while an ad plays, the player's video element and its timeline
// are the ad's, while the media session already names the video. Until the ad is over the
// video is reported as waiting (paused), without a timeline.
(() => {
  'use strict';
  const T = (globalThis.Tunelight = globalThis.Tunelight || {});
  (T.siteFixes = T.siteFixes || []).push((snap, doc) => {
    if (!doc.querySelector('.html5-video-player.ad-showing')) return;
    snap.media = null;
    snap.position = null;
    snap.playbackState = 'paused';
  });
})();
