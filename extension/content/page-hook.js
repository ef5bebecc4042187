// Runs in the page's own script world, before the page's scripts. It tells the content script
// what that script cannot see from its isolated world: media elements that never join the
// document (or sit in a shadow root), changes of the media session, and the page's
// setPositionState, and the media-session action handlers the page set. All of it goes out as
// events on the document with plain-text details, which cross between the worlds unchanged;
// "tunelight:poll" asks for a fresh reading, "tunelight:action" runs one of those handlers.
(() => {
  'use strict';
  // Firefox before 128 runs this file in the isolated world, where there is nothing to hook.
  if (typeof window.wrappedJSObject !== 'undefined') return;
  // Once per page: after an update of the extension the hook already in the page keeps working
  // for the fresh content script, and the background's injection must not hook twice.
  const mark = Symbol.for('tunelight.page-hook');
  if (document[mark]) return;
  Object.defineProperty(document, mark, { value: true });

  // The event list and the element reading repeat the content script's: nothing of the
  // extension's can be shared into the page's world without showing it to the page.
  const doc = document;
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

  function emit(type, detail) {
    try {
      doc.dispatchEvent(new CustomEvent(type, { detail }));
    } catch {
      // never disturb the page
    }
  }

  // The last few elements the page played; only those outside the document are reported, as
  // the content script sees the others itself.
  const played = [];
  const outside = (el) => el.getRootNode() !== doc;

  function mediaStates() {
    const now = Date.now();
    return played.filter(outside).map((el) => ({
      paused: el.paused,
      ended: el.ended,
      currentTime: el.currentTime,
      duration: Number.isFinite(el.duration) ? el.duration : null,
      muted: el.muted || el.volume === 0,
      hasSource: !!(el.currentSrc || el.srcObject),
      readAt: now,
    }));
  }

  function watch(el) {
    if (played.includes(el)) return;
    played.push(el);
    if (played.length > 8) played.shift();
    for (const type of MEDIA_EVENTS) {
      el.addEventListener(type, () => {
        if (outside(el)) emit('tunelight:media', JSON.stringify(mediaStates()));
      });
    }
  }

  const play = HTMLMediaElement.prototype.play;
  HTMLMediaElement.prototype.play = function () {
    try {
      watch(this);
    } catch {
      // as above
    }
    return play.apply(this, arguments);
  };

  // Players started by the autoplay attribute never call play(): those in the document are
  // seen playing here (media events do not bubble, so on the way down), those outside it when
  // the page asks for autoplay.
  doc.addEventListener(
    'playing',
    (e) => {
      try {
        if (e.target instanceof HTMLMediaElement) watch(e.target);
      } catch {
        // as above
      }
    },
    true,
  );

  // The page's position state, kept running while the session is not paused.
  let position = null; // { position, duration, rate, at }
  let running = true;
  function positionNow() {
    if (!position) return null;
    const now = Date.now();
    const ran = running ? ((now - position.at) / 1000) * position.rate : 0;
    return { position: position.position + ran, duration: position.duration, at: now };
  }
  function emitPosition() {
    emit('tunelight:position', JSON.stringify(positionNow()));
  }

  // Calls after(object) once the original setter has run.
  function afterSet(proto, name, after) {
    const d = proto && Object.getOwnPropertyDescriptor(proto, name);
    if (!d || !d.set || !d.configurable) return;
    Object.defineProperty(proto, name, {
      configurable: true,
      enumerable: d.enumerable,
      get: d.get,
      set(value) {
        d.set.call(this, value);
        try {
          after(this);
        } catch {
          // as above
        }
      },
    });
  }

  const sessionChanged = () => emit('tunelight:session', '');
  if (window.MediaSession) {
    const proto = MediaSession.prototype;
    afterSet(proto, 'metadata', sessionChanged);
    afterSet(proto, 'playbackState', (session) => {
      const now = positionNow();
      running = session.playbackState !== 'paused';
      if (now) position = { position: now.position, duration: now.duration, rate: position.rate, at: now.at };
      sessionChanged();
      if (position) emitPosition();
    });
    const setPositionState = proto.setPositionState;
    if (typeof setPositionState === 'function') {
      proto.setPositionState = function (state) {
        const result = setPositionState.apply(this, arguments);
        try {
          position =
            state && Number.isFinite(state.duration)
              ? {
                  position: state.position || 0,
                  duration: state.duration,
                  rate: state.playbackRate === undefined ? 1 : state.playbackRate,
                  at: Date.now(),
                }
              : null;
          emitPosition();
        } catch {
          // as above
        }
        return result;
      };
    }
  }
  afterSet(HTMLMediaElement.prototype, 'autoplay', (el) => {
    if (el.autoplay) watch(el);
  });
  if (window.MediaMetadata) {
    for (const name of ['title', 'artist', 'album', 'artwork']) {
      afterSet(MediaMetadata.prototype, name, (m) => {
        if (navigator.mediaSession.metadata === m) sessionChanged();
      });
    }
  }

  // The page's own action handlers: a next or a pause through them does what the page's
  // buttons do (its playlist, its state), which a media element alone cannot.
  const handlers = new Map(); // action -> the page's handler
  const emitActions = () => emit('tunelight:actions', JSON.stringify([...handlers.keys()]));
  if (window.MediaSession && typeof MediaSession.prototype.setActionHandler === 'function') {
    const setActionHandler = MediaSession.prototype.setActionHandler;
    MediaSession.prototype.setActionHandler = function (action, handler) {
      // An action this browser does not know throws here, for the page as before.
      const result = setActionHandler.apply(this, arguments);
      try {
        if (this === navigator.mediaSession) {
          if (typeof handler === 'function') handlers.set(String(action), handler);
          else handlers.delete(String(action));
          emitActions();
        }
      } catch {
        // as above
      }
      return result;
    };
  }

  // Runs an action for the content script and answers at once (the event is dispatched
  // synchronously): through the page's handler, or for play and pause without one, on the
  // element the page played last when that one is outside the document (the content script
  // reaches those in it itself).
  doc.addEventListener('tunelight:action', (e) => {
    const action = String(e.detail);
    let answer = { ran: false };
    try {
      const handler = handlers.get(action);
      const el = played.filter(outside).pop();
      if (handler) {
        answer = { ran: true };
        handler.call(navigator.mediaSession, { action });
      } else if (el && (action === 'play' || action === 'pause')) {
        answer = { ran: true, element: true };
        if (action === 'pause') el.pause();
        else el.play().catch(() => {});
      }
    } catch (err) {
      answer = { ran: true, error: String((err && err.message) || err) };
    }
    emit('tunelight:action-done', JSON.stringify(answer));
  });

  doc.addEventListener('tunelight:poll', () => {
    emit('tunelight:media', JSON.stringify(mediaStates()));
    emitPosition();
    emitActions();
  });
})();
