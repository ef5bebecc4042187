// Ad breaks. While a site plays an ad, its media session names the ad (or its player runs the
// ad's clock under the song's name), and none of it may reach the card. A site's file tells
// fix() how to see an ad on that site; during one the tab reports the song it played last as
// paused, without a timeline (nothing, when the ad came first), and the next song as usual.
(function (root) {
  'use strict';

  // Any site: an ad whose metadata names itself. Whole words only, so that songs merely
  // containing them stay songs.
  const AD_WORDS = /^(advertisement|advert|реклама|werbung|publicité|publicidad|anuncio|pubblicità|reclame)$/i;

  function text(v) {
    return typeof v === 'string' ? v.trim() : '';
  }

  function namesAd(snap) {
    return AD_WORDS.test(text(snap.title)) || AD_WORDS.test(text(snap.artist));
  }

  // Asks the content script for a fresh reading: an ad that starts or ends without a media
  // event would otherwise wait for the next one.
  function recheck() {
    try {
      document.dispatchEvent(new CustomEvent('tunelight:recheck'));
    } catch {
      // nothing to wake
    }
  }

  let song = null; // the last song of this tab: { title, artist, album, artworkUrl }

  function hold(snap) {
    Object.assign(snap, song || { title: '', artist: '', album: '', artworkUrl: '' });
    snap.media = null;
    snap.position = null;
    snap.playbackState = song ? 'paused' : 'none';
  }

  // isAd(doc) says whether the page shows an ad now. With watch (the attribute names the
  // signal lives in), a change of the page's elements that turns the answer rechecks at once.
  function fix(isAd, watch) {
    const sees = (doc) => {
      try {
        return !!isAd(doc);
      } catch {
        return false;
      }
    };
    if (watch && typeof MutationObserver === 'function') {
      let shown = false;
      new MutationObserver(() => {
        const now = sees(document);
        if (now !== shown) {
          shown = now;
          recheck();
        }
      }).observe(document, { subtree: true, childList: true, attributes: true, attributeFilter: watch });
    }
    return (snap, doc) => {
      if (sees(doc) || namesAd(snap)) {
        hold(snap);
        return;
      }
      const title = text(snap.title);
      if (title) song = { title, artist: snap.artist, album: snap.album, artworkUrl: snap.artworkUrl };
    };
  }

  if (typeof module === 'object' && module.exports) {
    module.exports = { fix, namesAd };
    return;
  }
  const T = (root.Tunelight = root.Tunelight || {});
  T.ads = { fix, recheck };
})(globalThis);
