// Card script: reads the look from the URL, follows the agent's event stream and turns every
// now-playing state into the card. Never writes to the agent.
(function () {
  'use strict';

  var PLACEHOLDER = '/widget/placeholder.svg';
  var MINUS = '\u2212';
  var DOT = '\u00b7';
  var SWAP_MS = 250;
  var LOST_MS = 3000;

  // --- parameters -------------------------------------------------------------------------

  function oneOf(query, name, list) {
    var v = query.get(name);
    return list.indexOf(v) >= 0 ? v : list[0];
  }

  function readParams(search) {
    var q = new URLSearchParams(search);
    var accent = q.get('accent');
    var scale = parseFloat(q.get('scale'));
    if (!scale) scale = 1; // missing, unreadable or zero
    scale = Math.min(2, Math.max(0.5, scale));
    var showFor = parseInt(q.get('showFor'), 10);
    if (!(showFor > 0)) showFor = 0;
    showFor = Math.min(600, showFor);
    return {
      theme: oneOf(q, 'theme', ['compact', 'vinyl']),
      layout: oneOf(q, 'layout', ['horizontal', 'vertical']),
      bg: oneOf(q, 'bg', ['dark', 'light', 'cover']),
      font: oneOf(q, 'font', ['system', 'onest', 'unbounded']),
      accent: accent !== null && /^[0-9a-fA-F]{6}$/.test(accent) ? accent : null,
      scale: scale,
      time: oneOf(q, 'time', ['off', 'elapsed', 'remaining', 'elapsed_total', 'elapsed_remaining']),
      hideOnPause: q.get('hideOnPause') === '1',
      showFor: showFor,
      progress: q.get('progress') !== '0'
    };
  }

  var params = readParams(window.location.search);

  var body = document.body;
  body.className = [
    'theme-' + params.theme,
    'layout-' + params.layout,
    'bg-' + params.bg,
    'font-' + params.font,
    params.time === 'off' ? 'time-off' : 'time-on'
  ].join(' ');
  if (params.accent) body.style.setProperty('--accent', '#' + params.accent);
  if (params.scale !== 1) document.documentElement.style.zoom = String(params.scale);

  var card = document.getElementById('card');
  var meta = document.getElementById('meta');
  var titleBox = document.getElementById('title-box');
  var titleEl = document.getElementById('title');
  var artistEl = document.getElementById('artist');
  var timeline = document.getElementById('timeline');
  var progress = document.getElementById('progress');
  var bar = document.getElementById('bar');
  var tStart = document.getElementById('t-start');
  var tEnd = document.getElementById('t-end');
  var covers = [document.getElementById('cover-a'), document.getElementById('cover-b')];

  var canvas = document.createElement('canvas');
  canvas.width = 24;
  canvas.height = 24;
  var ctx = canvas.getContext('2d', { willReadFrequently: true });

  // --- state ------------------------------------------------------------------------------

  var state = null;
  var trackId = null;
  var coverUrl; // unset until the first active state, so that one always loads a cover
  var connected = false;
  var showUntil = 0;
  var showAt = null; // the request to show the card already taken
  var showTimer = null;
  var wasPlaying = false;
  var front = 0;
  var lostTimer = null;
  var shownStart = null;
  var shownEnd = null;
  var shownNoBar = null;

  // --- visibility -------------------------------------------------------------------------

  function render() {
    if (!connected || !state || !state.active) {
      card.classList.add('hidden');
      return;
    }
    var paused = state.status !== 'playing';
    var expired = params.showFor > 0 && Date.now() >= showUntil;
    card.classList.toggle('paused', paused);
    card.classList.toggle('hidden', (paused && params.hideOnPause) || expired);
  }

  // Opens the show-for window from `from` (now when not given, never later than now); the timer
  // re-renders just after it ends.
  function reveal(from) {
    if (params.showFor === 0) return;
    var now = Date.now();
    var until = (from === undefined ? now : Math.min(from, now)) + params.showFor * 1000;
    if (until <= showUntil) return;
    showUntil = until;
    clearTimeout(showTimer);
    showTimer = setTimeout(render, until - now + 20);
  }

  // --- texts ------------------------------------------------------------------------------

  function setText(s) {
    // Texts from sources are shown as text, never parsed as markup.
    titleEl.textContent = s.title || '';
    var artist = s.artist || '';
    artistEl.textContent =
      params.theme === 'vinyl' && s.album ? artist + ' ' + DOT + ' ' + s.album : artist;
    requestAnimationFrame(updateMarquee);
  }

  function updateMarquee() {
    titleBox.classList.remove('scroll');
    var overflow = titleEl.offsetWidth - titleBox.clientWidth;
    if (overflow > 4) {
      titleBox.style.setProperty('--shift', overflow + 'px');
      titleBox.style.setProperty('--dur', Math.max(6, overflow / 25 + 4) + 's');
      titleBox.classList.add('scroll');
    }
  }

  // A web font that arrives after the first measurement changes the title's width.
  if (document.fonts && document.fonts.addEventListener) {
    document.fonts.addEventListener('loadingdone', function () {
      requestAnimationFrame(updateMarquee);
    });
  }

  // --- cover ------------------------------------------------------------------------------

  function setCover(url) {
    if (url === coverUrl) return;
    coverUrl = url;
    var src = url === null ? PLACEHOLDER : url;
    var img = new Image();
    img.src = src;
    img
      .decode()
      .catch(function () {}) // a failed decode is shown anyway
      .then(function () {
        if (coverUrl !== url) return; // a newer cover won
        if (params.bg === 'cover') applyCoverColor(url === null ? null : img);
        var next = covers[1 - front];
        next.src = src;
        next.classList.add('show');
        covers[front].classList.remove('show');
        front = 1 - front;
      });
  }

  // Hue and saturation of the cover, weighting vivid pixels; null when none can be read.
  function dominantHsl(img) {
    var data;
    try {
      ctx.clearRect(0, 0, 24, 24);
      ctx.drawImage(img, 0, 0, 24, 24);
      data = ctx.getImageData(0, 0, 24, 24).data;
    } catch (e) {
      return null;
    }
    var sr = 0;
    var sg = 0;
    var sb = 0;
    var sk = 0;
    for (var i = 0; i < data.length; i += 4) {
      if (data[i + 3] < 128) continue;
      var R = data[i];
      var G = data[i + 1];
      var B = data[i + 2];
      var mx = Math.max(R, G, B);
      var mn = Math.min(R, G, B);
      var sat = mx === 0 ? 0 : (mx - mn) / mx;
      var k = sat * sat * (mx / 255) + 0.03;
      sr += R * k;
      sg += G * k;
      sb += B * k;
      sk += k;
    }
    if (sk === 0) return null;
    var r = sr / (sk * 255);
    var g = sg / (sk * 255);
    var b = sb / (sk * 255);
    var max = Math.max(r, g, b);
    var min = Math.min(r, g, b);
    var l = (max + min) / 2;
    var h = 0;
    var s = 0;
    if (max !== min) {
      var d = max - min;
      s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
      if (max === r) h = (g - b) / d + (g < b ? 6 : 0);
      else if (max === g) h = (b - r) / d + 2;
      else h = (r - g) / d + 4;
      h *= 60;
    }
    return { h: h, s: s };
  }

  function applyCoverColor(img) {
    var c = img ? dominantHsl(img) : null;
    var style = card.style;
    if (!c || c.s < 0.12) {
      style.removeProperty('--bg');
      if (!params.accent) style.removeProperty('--accent');
      return;
    }
    var hue = Math.round(c.h);
    var s1 = Math.round(Math.min(c.s, 0.6) * 100);
    style.setProperty('--bg', 'hsla(' + hue + ', ' + s1 + '%, 17%, 0.9)');
    if (!params.accent) {
      var s2 = Math.round(Math.max(Math.min(c.s, 0.9), 0.55) * 100);
      style.setProperty('--accent', 'hsl(' + hue + ', ' + s2 + '%, 70%)');
    }
  }

  // --- states -----------------------------------------------------------------------------

  function apply(s) {
    state = s;
    if (s.active) {
      var playing = s.status === 'playing';
      if (s.trackId !== trackId || (playing && !wasPlaying)) reveal();
      // Asked to show again (a page that opens meanwhile gets what is left of the window).
      if (typeof s.showAt === 'number' && s.showAt !== showAt) reveal(s.showAt);
      showAt = s.showAt;
      wasPlaying = playing;
      if (s.trackId !== trackId) {
        var instant = trackId === null || card.classList.contains('hidden');
        trackId = s.trackId;
        if (instant) {
          setText(s);
        } else {
          meta.classList.add('out');
          setTimeout(function () {
            setText(state && state.active ? state : s);
            meta.classList.remove('out');
          }, SWAP_MS);
        }
      }
      setCover(s.coverUrl ? s.coverUrl : null);
      var barOn = params.progress && s.durationMs > 0 && s.positionMs != null;
      progress.classList.toggle('none', !barOn);
    } else {
      trackId = null;
      wasPlaying = false;
    }
    render();
  }

  // --- position and times -----------------------------------------------------------------

  function currentPosition() {
    var s = state;
    if (!s || !s.active || s.positionMs == null) return null;
    var p = s.positionMs;
    // positionAt 0 means the moment is unknown: do not run on from the epoch.
    if (s.status === 'playing' && s.positionAt > 0) p += Date.now() - s.positionAt;
    if (s.durationMs > 0) p = Math.min(Math.max(p, 0), s.durationMs);
    else p = Math.max(p, 0);
    return p;
  }

  function two(n) {
    return (n < 10 ? '0' : '') + n;
  }

  function fmt(ms) {
    var t = Math.floor(ms / 1000);
    var h = Math.floor(t / 3600);
    var m = Math.floor(t / 60) % 60;
    var s = t % 60;
    return h > 0 ? h + ':' + two(m) + ':' + two(s) : m + ':' + two(s);
  }

  function setTime(start, end, noBar) {
    if (start !== shownStart) {
      tStart.textContent = start;
      shownStart = start;
    }
    if (end !== shownEnd) {
      tEnd.textContent = end;
      shownEnd = end;
    }
    if (noBar !== shownNoBar) {
      timeline.classList.toggle('no-bar', noBar);
      shownNoBar = noBar;
    }
  }

  function updateTime(pos) {
    var mode = params.time;
    if (mode === 'off') return;
    if (pos === null) {
      setTime('', '', true);
      return;
    }
    var dur = state.durationMs > 0 ? state.durationMs : 0;
    var el = fmt(pos);
    if (dur === 0) {
      setTime(el, '', true);
      return;
    }
    var rem = MINUS + fmt(dur - pos);
    var total = fmt(dur);
    if (progress.classList.contains('none')) {
      if (mode === 'elapsed') setTime(el, '', true);
      else if (mode === 'remaining') setTime(rem, '', true);
      else if (mode === 'elapsed_total') setTime(el + ' / ' + total, '', true);
      else setTime(el + ' ' + DOT + ' ' + rem, '', true);
    } else {
      if (mode === 'elapsed') setTime(el, '', false);
      else if (mode === 'remaining') setTime('', rem, false);
      else if (mode === 'elapsed_total') setTime(el, total, false);
      else setTime(el, rem, false);
    }
  }

  function tick() {
    var pos = currentPosition();
    if (pos !== null && state.durationMs > 0) {
      bar.style.width = ((pos / state.durationMs) * 100).toFixed(3) + '%';
    }
    updateTime(pos);
    requestAnimationFrame(tick);
  }

  // --- connection -------------------------------------------------------------------------

  function onMessage(e) {
    connected = true;
    clearTimeout(lostTimer);
    lostTimer = null;
    var s;
    try {
      s = JSON.parse(e.data);
    } catch (err) {
      return;
    }
    if (s === null || typeof s !== 'object') return;
    apply(s);
  }

  function onError() {
    if (lostTimer === null) {
      lostTimer = setTimeout(function () {
        lostTimer = null;
        connected = false;
        render();
      }, LOST_MS);
    }
    // The browser retries by itself after network errors, but gives up for good after an
    // answer that is not an event stream; open a new one then.
    if (source.readyState === EventSource.CLOSED) {
      source.close();
      setTimeout(connect, 1000);
    }
  }

  var source = null;

  function connect() {
    source = new EventSource('/events');
    source.onmessage = onMessage;
    source.onerror = onError;
  }

  requestAnimationFrame(tick);
  connect();
})();
