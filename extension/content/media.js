// Reads what this tab plays (the media session and the page's audio or video element) and
// hands snapshots to the background: on the media events and media-session changes, and every
// 2 s while it plays, which keeps the agent's source alive and corrects any drift. It runs the
// player actions the background passes on: through the page's own media-session handlers
// where the page set them, else (play and pause) on the media element.
(() => {
  'use strict';
  const ext = globalThis.browser || globalThis.chrome;
  const T = globalThis.Tunelight;
  // The background injects this script into tabs that were open before the extension
  // started; in a page that already runs it (the browser's own injection) it must not run twice.
  if (T.mediaLive) return;
  T.mediaLive = true;
  const HEARTBEAT_MS = 2000;
  const MEDIA_EVENTS = [
    'play',
    'playing',
    'pause',
    'waiting',
    'seeked',
    'durationchange',
    'loadedmetadata',
    'ratechange',
    'ended',
    'emptied',
  ];

  let recentEl = null; // the element whose media event came last
  let outside = []; // elements outside the document, from the page hook
  let position = null; // the page's position state, from the page hook
  let pageActions = []; // the media-session actions the page has handlers for, from the hook
  let musicEl = null; // the element in the document that the last snapshot took for the music
  let hooked = false; // the page hook answers
  let polling = false;
  let port = null;
  let scheduled = false;
  let heartbeat = null;
  let reporting = false; // the last snapshot gave the background a song to report
  let sessionWatch = null;
  let lastSession = '';
  let dead = false;

  function parse(detail) {
    try {
      return typeof detail === 'string' ? JSON.parse(detail) : null;
    } catch {
      return null;
    }
  }

  function readElement(el) {
    return {
      paused: el.paused,
      ended: el.ended,
      currentTime: el.currentTime,
      duration: Number.isFinite(el.duration) ? el.duration : null,
      muted: el.muted || el.volume === 0,
      hasSource: !!(el.currentSrc || el.srcObject),
      recent: el === recentEl,
      readAt: Date.now(),
    };
  }

  function sessionKey() {
    const s = navigator.mediaSession;
    const m = s && s.metadata;
    return s ? [s.playbackState, m && m.title, m && m.artist, m && m.album].join('\n') : '';
  }

  function snapshot() {
    polling = true;
    try {
      document.dispatchEvent(new CustomEvent('tunelight:poll')); // the hook answers at once
    } finally {
      polling = false;
    }
    const candidates = [];
    for (const el of document.querySelectorAll('audio, video')) candidates.push(Object.assign(readElement(el), { el }));
    if (recentEl && recentEl.getRootNode() !== document) candidates.push(Object.assign(readElement(recentEl), { el: recentEl }));
    for (const s of outside) if (s && typeof s === 'object') candidates.push(Object.assign({}, s, { el: null }));
    const media = T.report.pickMedia(candidates);
    musicEl = (media && media.el) || null;

    const session = navigator.mediaSession;
    const md = session && session.metadata;
    const snap = {
      title: md ? String(md.title || '') : '',
      artist: md ? String(md.artist || '') : '',
      album: md ? String(md.album || '') : '',
      artworkUrl: md ? T.report.largestArtwork(Array.from(md.artwork || []), location.href) : '',
      playbackState: session ? String(session.playbackState) : 'none',
      media: media && {
        paused: media.paused,
        ended: media.ended,
        currentTime: media.currentTime,
        duration: media.duration,
        readAt: media.readAt,
      },
      position,
      actions: pageActions.slice(),
    };
    for (const fix of T.siteFixes || []) fix(snap, document);
    lastSession = sessionKey();
    return snap;
  }

  function connect() {
    port = ext.runtime.connect({ name: 'tunelight-media' });
    // The background let go of us (the browser stopped it): while there is a song to report,
    // playing or paused, tell it again at once, or the paused song drops off the card (the
    // background takes it back without a gone); otherwise the next event connects again.
    port.onDisconnect.addListener(() => {
      port = null;
      if (reporting) schedule();
    });
    const own = port;
    port.onMessage.addListener((msg) => {
      if (msg && msg.type === 'refresh') schedule();
      if (msg && msg.type === 'control') {
        perform(String(msg.action)).then(
          (error) => own.postMessage({ type: 'control-done', command: msg.command, ok: !error, error }),
          () => {},
        );
      }
    });
    // Without the page hook (Firefox before 128) nothing tells of media-session changes.
    if (!hooked && !sessionWatch) {
      sessionWatch = setInterval(() => {
        if (!hooked && port && sessionKey() !== lastSession) schedule();
      }, 1000);
    }
  }

  // The extension was updated, reloaded or removed: this script is left over in the page (the
  // background puts a fresh one in). It notices once and stays quiet from then on.
  function stopAll() {
    dead = true;
    T.mediaLive = false;
    clearInterval(heartbeat);
    clearInterval(sessionWatch);
    port = null;
  }

  // Chromium takes the id away from an orphaned script; Firefox removes the script itself.
  const orphaned = () => !ext.runtime || !ext.runtime.id;

  function send() {
    scheduled = false;
    if (dead) return;
    if (orphaned()) {
      stopAll();
      return;
    }
    let snap;
    try {
      snap = snapshot();
    } catch {
      return;
    }
    // A page that never had anything to say does not bother the background.
    if (!snap.title && !port) return;
    try {
      if (!port) connect();
      port.postMessage({ type: 'snapshot', snapshot: snap });
      reporting = T.report.buildReport(snap, {}) !== null;
    } catch {
      stopAll();
      return;
    }
    const playing = isPlaying(snap);
    if (playing && !heartbeat) heartbeat = setInterval(schedule, HEARTBEAT_MS);
    if (!playing && heartbeat) {
      clearInterval(heartbeat);
      heartbeat = null;
    }
  }

  function isPlaying(snap) {
    return snap.media ? !snap.media.paused && !snap.media.ended : snap.playbackState === 'playing';
  }

  // The page hook runs the page's handler for a media-session action (or plays or pauses an
  // element outside the document); null when nothing there could.
  function viaPage(name) {
    let answer = null;
    const listen = (e) => {
      answer = parse(e.detail);
    };
    document.addEventListener('tunelight:action-done', listen);
    try {
      document.dispatchEvent(new CustomEvent('tunelight:action', { detail: name }));
    } finally {
      document.removeEventListener('tunelight:action-done', listen);
    }
    return answer && answer.ran ? String(answer.error || '') : null;
  }

  const PAGE_ACTIONS = { play: 'play', pause: 'pause', next: 'nexttrack', previous: 'previoustrack' };

  // One player action; resolves to '' when done, else why not.
  async function perform(action) {
    const snap = snapshot();
    if (action === 'playPause') action = isPlaying(snap) ? 'pause' : 'play';
    const name = PAGE_ACTIONS[action];
    if (!name) return `unknown action ${action}`;
    if (pageActions.includes(name)) {
      const answer = viaPage(name);
      if (answer !== null) return answer;
    }
    if (action === 'play' || action === 'pause') {
      if (musicEl) {
        if (action === 'pause') {
          musicEl.pause();
          return '';
        }
        // play() settles once playback starts, or fails when the browser refuses it.
        const started = musicEl.play().then(
          () => '',
          (e) => `the browser did not let the page play: ${(e && e.name) || e}`,
        );
        return Promise.race([started, new Promise((resolve) => setTimeout(() => resolve(''), 300))]);
      }
      const answer = viaPage(name);
      if (answer !== null) return answer;
    }
    return `the page has no ${action}`;
  }

  // Events that come together (a pause and the page's playbackState change) give one read.
  function schedule() {
    if (scheduled || dead) return;
    scheduled = true;
    queueMicrotask(send);
  }

  for (const type of MEDIA_EVENTS) {
    document.addEventListener(
      type,
      (e) => {
        if (e.target instanceof HTMLMediaElement) recentEl = e.target;
        schedule();
      },
      true,
    );
  }
  document.addEventListener('tunelight:media', (e) => {
    hooked = true;
    outside = parse(e.detail) || [];
    if (!polling) schedule();
  });
  document.addEventListener('tunelight:position', (e) => {
    hooked = true;
    position = parse(e.detail);
    if (!polling) schedule();
  });
  document.addEventListener('tunelight:actions', (e) => {
    hooked = true;
    const list = parse(e.detail);
    const fresh = Array.isArray(list) ? list.filter((a) => typeof a === 'string') : [];
    const changed = fresh.join() !== pageActions.join();
    pageActions = fresh;
    if (changed && !polling) schedule();
  });
  document.addEventListener('tunelight:session', () => {
    hooked = true;
    schedule();
  });
  // A site's fix saw an ad start or end (content/sites/ads.js).
  document.addEventListener('tunelight:recheck', () => schedule());
  // A page kept for the back button says goodbye, and hello again when it comes back.
  window.addEventListener('pagehide', (e) => {
    if (e.persisted && port) {
      port.disconnect();
      port = null;
    }
  });
  window.addEventListener('pageshow', (e) => {
    if (e.persisted) schedule();
  });
  schedule();
})();
