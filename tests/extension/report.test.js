// Reports built from what a tab shows, and what counts as a change worth sending.
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const { buildReport, isChange, largestArtwork, pickMedia } = require('../../extension/lib/report.js');
const { clockSeconds, fix: spotifyFix } = require('../../extension/content/sites/spotify.js');

const CTX = { service: 'spotify', browser: 'chrome' };
const T = 1767268800000;

function snapshot(over = {}) {
  return {
    title: ' Song ',
    artist: 'Band',
    album: 'Record',
    artworkUrl: 'https://i.scdn.co/image/abc',
    playbackState: 'playing',
    media: { paused: false, ended: false, currentTime: 12.3456, duration: 201.5, readAt: T },
    position: null,
    ...over,
  };
}

describe('report from a snapshot', () => {
  it('carries the song, the state and the element timeline read at its moment', () => {
    assert.deepEqual(buildReport(snapshot(), CTX), {
      service: 'spotify',
      browser: 'chrome',
      title: 'Song',
      artist: 'Band',
      album: 'Record',
      status: 'playing',
      artworkUrl: 'https://i.scdn.co/image/abc',
      durationMs: 201500,
      positionMs: 12346,
      positionAt: T,
      actions: ['playPause', 'play', 'pause'],
    });
    const paused = buildReport(snapshot({ media: { paused: true, ended: false, currentTime: 250, duration: 201.5, readAt: T } }), CTX);
    assert.equal(paused.status, 'paused');
    assert.equal(paused.positionMs, 201500, 'a position past the end is cut to the length');
  });

  it('trusts the element over the media session, and the session when there is no element', () => {
    // The page says playing, its element says paused: the element is right.
    assert.equal(buildReport(snapshot({ media: { ...snapshot().media, paused: true } }), CTX).status, 'paused');
    const noElement = buildReport(
      snapshot({ media: null, playbackState: 'paused', position: { position: 30.5, duration: 180, at: T - 5 } }),
      CTX,
    );
    assert.equal(noElement.status, 'paused');
    assert.deepEqual([noElement.durationMs, noElement.positionMs, noElement.positionAt], [180000, 30500, T - 5]);
  });

  it("offers play and pause by an element or the page's handlers, next and previous by its handlers only", () => {
    const actions = (over) => buildReport(snapshot(over), CTX).actions;
    assert.deepEqual(actions({ actions: ['nexttrack', 'previoustrack', 'seekto'] }), ['playPause', 'play', 'pause', 'next', 'previous']);
    assert.deepEqual(actions({ media: null, actions: ['play', 'nexttrack'] }), ['next']);
    assert.deepEqual(actions({ media: null, actions: ['pause', 'play'] }), ['playPause', 'play', 'pause']);
  });

  it("takes the page's position over an element clock that disagrees on the length", () => {
    // A player reusing one element across songs: the element says 812 s of 1500, the page 42 of 201.
    const reused = buildReport(
      snapshot({
        media: { paused: false, ended: false, currentTime: 812, duration: 1500, readAt: T },
        position: { position: 42, duration: 201, at: T - 7 },
      }),
      CTX,
    );
    assert.deepEqual([reused.durationMs, reused.positionMs, reused.positionAt], [201000, 42000, T - 7]);
    // Both agree on the length (within 2 s): the element's finer clock.
    const agree = buildReport(snapshot({ position: { position: 10, duration: 200, at: T - 7 } }), CTX);
    assert.deepEqual([agree.durationMs, agree.positionMs, agree.positionAt], [201500, 12346, T]);
  });

  it('has nothing to report without a title, after the end, or without any sign of playback', () => {
    assert.equal(buildReport(snapshot({ title: '  ' }), CTX), null);
    assert.equal(buildReport(snapshot({ media: { ...snapshot().media, ended: true } }), CTX), null);
    assert.equal(buildReport(snapshot({ media: null, playbackState: 'none' }), CTX), null);
  });

  it('leaves out what the agent cannot use: live-stream timelines, empty albums, non-web pictures', () => {
    const r = buildReport(
      snapshot({ album: '', artworkUrl: 'blob:https://open.spotify.com/1', media: { ...snapshot().media, duration: null } }),
      CTX,
    );
    assert.equal('album' in r, false);
    assert.equal('artworkUrl' in r, false);
    assert.equal('durationMs' in r || 'positionMs' in r || 'positionAt' in r, false);
  });
});

describe('snapshot parts', () => {
  it('takes the largest web picture of the artwork, resolved against the page', () => {
    const art = [
      { src: 'data:image/png;base64,AAAA', sizes: '1024x1024' },
      { src: '/img/s.jpg', sizes: '96x96' },
      { src: '/img/l.jpg', sizes: '128x128 512x512' },
      { src: '/img/m.jpg', sizes: '300x300' },
      { src: '/img/none.jpg' },
    ];
    assert.equal(largestArtwork(art, 'https://music.yandex.ru/album/1'), 'https://music.yandex.ru/img/l.jpg');
    assert.equal(largestArtwork([{ src: '/a.png', sizes: '512x512' }, { src: '/v.svg', sizes: 'any' }], 'https://x.y/'), 'https://x.y/v.svg');
    assert.equal(largestArtwork([], 'https://x.y/'), '');
  });

  it('picks the audible playing element over a muted looping video and a paused one', () => {
    const paused = { paused: true, ended: false, muted: false, hasSource: true, recent: true, id: 'music' };
    const coverVideo = { paused: false, ended: false, muted: true, hasSource: true, id: 'cover' };
    const empty = { paused: false, ended: false, muted: false, hasSource: false, id: 'empty' };
    assert.equal(pickMedia([coverVideo, paused, empty]).id, 'music');
    const playing = { ...paused, paused: false, recent: false, id: 'playing' };
    assert.equal(pickMedia([paused, coverVideo, playing]).id, 'playing');
    assert.equal(pickMedia([empty]), null);
  });

  it('reads the playback bar of a page whose player cannot be reached', () => {
    assert.equal(clockSeconds('3:07'), 187);
    assert.equal(clockSeconds('1:02:03'), 3723);
    assert.equal(clockSeconds('-2:41'), -161);
    assert.ok(Number.isNaN(clockSeconds('live')));
    const labels = { '[data-testid="playback-position"]': '1:00', '[data-testid="playback-duration"]': '-2:30' };
    const doc = { querySelector: (sel) => (labels[sel] ? { textContent: labels[sel] } : null) };
    const snap = { media: null, position: null };
    spotifyFix(snap, doc);
    assert.deepEqual([snap.position.position, snap.position.duration], [60, 210], 'time left counts from the position');
  });
});

describe('change detection', () => {
  const a = buildReport(snapshot(), CTX);
  const later = (ms, over = {}) => ({ ...a, positionAt: a.positionAt + ms, positionMs: a.positionMs + ms, ...over });

  it('ignores a position that ran on with the clock, and sees a seek', () => {
    assert.equal(isChange(a, later(5000)), false);
    assert.equal(isChange(a, later(5000, { positionMs: a.positionMs + 5000 + 900 })), false);
    assert.equal(isChange(a, later(5000, { positionMs: a.positionMs + 60000 })), true);
    assert.equal(isChange(a, later(5000, { positionMs: a.positionMs })), true, 'stuck while said to play');
  });

  it('compares paused positions without running them on', () => {
    const p = { ...a, status: 'paused' };
    assert.equal(isChange(p, { ...p, positionAt: p.positionAt + 10000 }), false);
    assert.equal(isChange(p, { ...p, positionMs: p.positionMs + 5000 }), true);
  });

  it('sees another song, state or cover, and a first report', () => {
    for (const over of [{ title: 'Other' }, { artist: 'Other' }, { status: 'paused' }, { artworkUrl: undefined }, { album: 'B' }, { actions: ['next'] }]) {
      assert.equal(isChange(a, later(100, over)), true, JSON.stringify(over));
    }
    const { durationMs, positionMs, positionAt, ...noTimeline } = a;
    assert.equal(isChange(a, noTimeline), true);
    assert.equal(isChange(null, a), true);
    assert.equal(isChange(null, null), false);
  });
});
