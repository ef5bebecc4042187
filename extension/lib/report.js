// What a tab plays, as read by the content script (a snapshot), and the report the agent gets
// for it. Plain data in, plain data out: shared by the content script and the background.
//
// Snapshot:
//   title, artist, album   the media session's metadata ('' when absent)
//   artworkUrl             its largest http(s) artwork ('' when none)
//   playbackState          the media session's 'none' | 'paused' | 'playing'
//   media                  the page's chosen <audio>/<video>: { paused, ended, currentTime,
//                          duration (s, null when unknown), readAt (ms) }, or null
//   position               the page's last setPositionState, kept running by the page hook:
//                          { position, duration (s), at (ms) }, or null; it wins over the
//                          element's timeline (see timelineOf)
//   actions                the media-session actions the page has handlers for ('play',
//                          'nexttrack', ...), from the page hook; [] when none or unknown
(function (root) {
  'use strict';

  // A seek smaller than this is not worth a report of its own; the next one carries it.
  const POSITION_SLACK_MS = 1000;

  function text(v) {
    return typeof v === 'string' ? v.trim() : '';
  }

  // "512x512", "96x96 128x128", "any" (scalable): the largest area one entry offers.
  function artworkArea(sizes) {
    if (typeof sizes !== 'string') return 0;
    if (/(^|\s)any(\s|$)/i.test(sizes)) return Infinity;
    let best = 0;
    for (const m of sizes.matchAll(/(\d+)x(\d+)/gi)) best = Math.max(best, Number(m[1]) * Number(m[2]));
    return best;
  }

  // The absolute http(s) URL of the largest artwork; data: and blob: pictures are of no use to
  // the agent.
  function largestArtwork(artwork, baseUrl) {
    let best = '';
    let bestArea = -1;
    for (const a of artwork || []) {
      let url;
      try {
        url = new URL(String(a && a.src), baseUrl).href;
      } catch {
        continue;
      }
      if (!/^https?:/.test(url)) continue;
      const area = artworkArea(a.sizes);
      if (area > bestArea) {
        best = url;
        bestArea = area;
      }
    }
    return best;
  }

  // Which of the page's media elements is the music: an audible one that plays, then the
  // audible one that changed last, then any audible one with a source. Muted elements (looping
  // cover videos, previews) only count when nothing else is there.
  // Each candidate: { paused, ended, muted, hasSource, recent, ... }; returns one or null.
  function pickMedia(candidates) {
    let best = null;
    let bestScore = -1;
    for (const c of candidates) {
      if (!c || !c.hasSource) continue;
      const playing = !c.paused && !c.ended;
      let score;
      if (!c.muted) score = playing ? 4 : c.recent ? 3 : 2;
      else score = playing ? 1 : 0;
      if (score > bestScore) {
        best = c;
        bestScore = score;
      }
    }
    return best;
  }

  function statusOf(s) {
    if (s.media) {
      if (s.media.ended) return 'stopped';
      return s.media.paused ? 'paused' : 'playing';
    }
    if (s.playbackState === 'playing' || s.playbackState === 'paused') return s.playbackState;
    return 'stopped';
  }

  function valid(duration) {
    return Number.isFinite(duration) && duration > 0;
  }

  // The page's own position state wins over the element's clock: a player that reuses one
  // element across songs, or plays something else in it, leaves that clock on other things
  // (812 s of 1500 while the song is at 42 s of 201). The element, read more finely, is used
  // where the page said nothing, or where both agree on the length.
  const SAME_LENGTH_S = 2;

  function timelineOf(s) {
    const m = s.media;
    const p = s.position;
    const element = m && valid(m.duration) ? { duration: m.duration, position: m.currentTime, at: m.readAt } : null;
    const page = p && valid(p.duration) ? p : null;
    const t = page && !(element && Math.abs(element.duration - page.duration) <= SAME_LENGTH_S) ? page : element;
    if (!t) return {};
    const durationMs = Math.round(t.duration * 1000);
    const positionMs = Math.min(Math.max(Math.round((t.position || 0) * 1000), 0), durationMs);
    return { durationMs, positionMs, positionAt: Math.round(t.at) };
  }

  // The player actions the agent may ask of the tab: play and pause through the page's
  // handlers or its media element, next and previous only through the page's handlers.
  function actionsOf(s) {
    const page = new Set(Array.isArray(s.actions) ? s.actions : []);
    const out = [];
    if (s.media || (page.has('play') && page.has('pause'))) out.push('playPause', 'play', 'pause');
    if (page.has('nexttrack')) out.push('next');
    if (page.has('previoustrack')) out.push('previous');
    return out;
  }

  // The report body without its id, or null when the tab has nothing to report (no title, or
  // nothing plays or waits paused).
  function buildReport(snapshot, { service, browser }) {
    if (!snapshot) return null;
    const title = text(snapshot.title);
    if (!title) return null;
    const status = statusOf(snapshot);
    if (status === 'stopped') return null;
    const report = { service, browser, title, artist: text(snapshot.artist), status };
    const album = text(snapshot.album);
    if (album) report.album = album;
    if (/^https?:\/\//.test(snapshot.artworkUrl || '')) report.artworkUrl = snapshot.artworkUrl;
    report.actions = actionsOf(snapshot);
    return Object.assign(report, timelineOf(snapshot));
  }

  const COMPARED = ['service', 'browser', 'title', 'artist', 'album', 'status', 'artworkUrl'];

  // Whether b tells the agent something that a, sent earlier, did not: another song, state or
  // cover, or a position that is not where a's position would have run to.
  function isChange(a, b) {
    if (!a || !b) return a !== b;
    for (const k of COMPARED) if (a[k] !== b[k]) return true;
    if (String(a.actions) !== String(b.actions)) return true;
    if ((a.durationMs === undefined) !== (b.durationMs === undefined)) return true;
    if (a.durationMs === undefined) return false;
    if (Math.abs(a.durationMs - b.durationMs) > POSITION_SLACK_MS) return true;
    const ran = a.status === 'playing' ? b.positionAt - a.positionAt : 0;
    return Math.abs(b.positionMs - (a.positionMs + ran)) > POSITION_SLACK_MS;
  }

  const api = { largestArtwork, pickMedia, buildReport, isChange };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).report = api;
})(globalThis);
