// The unpacked extension in Chromium, reporting test music pages to the real agent.
'use strict';

const assert = require('node:assert/strict');
const { after, before, describe, it } = require('node:test');
const {
  MusicServer,
  TRACK_SECONDS,
  control,
  extensionSources,
  getJson,
  launchExtension,
  sleep,
  startAgent,
  waitUntil,
} = require('./harness');

const HOSTS = ['music.yandex.ru', 'open.spotify.com', 'www.youtube.com'];
let server;
let agent;
let browser;

before(async () => {
  server = await new MusicServer().start();
  agent = await startAgent();
  browser = await launchExtension(server, HOSTS);
});

after(async () => {
  if (browser) await browser.close();
  if (agent) await agent.stop();
  if (server) await server.stop();
});

const nowPlaying = () => getJson(agent.port, '/api/now-playing');

// As the browser does with an idle background: its timers and connections go with it.
async function stopBackground() {
  const extensionPage = await browser.context.newPage();
  await extensionPage.goto(`chrome-extension://${browser.id}/popup/popup.html`);
  const cdp = await browser.context.newCDPSession(extensionPage);
  await cdp.send('ServiceWorker.enable');
  await cdp.send('ServiceWorker.stopAllWorkers');
  return extensionPage;
}

// Where the agent says the song is now, in ms.
function agentPosition(np) {
  return np.positionMs + (np.status === 'playing' ? Date.now() - np.positionAt : 0);
}

// The time from an action in the page until the agent shows the wanted state.
async function timeUntil(action, wanted, what) {
  const t0 = Date.now();
  await action();
  const np = await waitUntil(async () => {
    const d = await nowPlaying();
    return wanted(d) && d;
  }, { timeout: 5000, interval: 10, what });
  return { ms: Date.now() - t0, np };
}

describe('one music tab', () => {
  let page;

  it('appears in the agent with its service, browser, song and a running position', async () => {
    page = await browser.context.newPage();
    await page.goto(
      'https://music.yandex.ru/album/1/track/2?title=Quiet%20Song&artist=Nobody&album=Silence' +
        '&art=https://music.yandex.ru/art/cover',
    );
    const first = await waitUntil(async () => {
      const d = await nowPlaying();
      return d.active && d.status === 'playing' && d.durationMs && d;
    }, { what: 'the tab in /api/now-playing' });
    assert.equal(first.kind, 'extension');
    assert.match(first.source, /^ext:.+/);
    assert.deepEqual(
      [first.service, first.app, first.title, first.artist, first.album, first.durationMs],
      ['yandex', 'chrome', 'Quiet Song', 'Nobody', 'Silence', TRACK_SECONDS * 1000],
    );
    // Heartbeats keep the source alive and its position on the page's clock.
    await sleep(2600);
    const later = await nowPlaying();
    const pageMs = await page.evaluate(() => player.currentTime * 1000);
    assert.ok(later.positionAt > first.positionAt, 'refreshed by a heartbeat');
    assert.ok(Math.abs(agentPosition(later) - pageMs) < 400, `agent ${agentPosition(later)} ms, page ${pageMs} ms`);
  });

  it('follows pause, seek and play at once', async (t) => {
    const paused = await timeUntil(() => page.evaluate(() => player.pause()), (d) => d.status === 'paused', 'paused');
    assert.ok(paused.ms < 300, `paused after ${paused.ms} ms`);
    const pageMs = await page.evaluate(() => player.currentTime * 1000);
    assert.ok(Math.abs(paused.np.positionMs - pageMs) < 150, `agent ${paused.np.positionMs} ms, page ${pageMs} ms`);

    const seeked = await timeUntil(
      () => page.evaluate(() => (player.currentTime = 61)),
      (d) => Math.abs(d.positionMs - 61000) < 100,
      'the seek',
    );
    assert.ok(seeked.ms < 1000, `seek after ${seeked.ms} ms`);

    const playing = await timeUntil(() => page.evaluate(() => player.play()), (d) => d.status === 'playing', 'playing');
    assert.ok(playing.ms < 300, `playing after ${playing.ms} ms`);
    t.diagnostic(`pause ${paused.ms} ms, seek ${seeked.ms} ms, play ${playing.ms} ms`);
    assert.ok(Math.abs(agentPosition(playing.np) - 61000) < 500);
  });

  it('reports a new song that only the media session announces', async () => {
    // Paused, so no media event and no heartbeat would carry it.
    await timeUntil(() => page.evaluate(() => player.pause()), (d) => d.status === 'paused', 'paused');
    const next = await timeUntil(
      () => page.evaluate(() => setTrack({ title: 'Second Song', artist: 'Somebody' })),
      (d) => d.title === 'Second Song',
      'the new title',
    );
    assert.ok(next.ms < 1000, `new title after ${next.ms} ms`);
    assert.deepEqual([next.np.artist, next.np.album, next.np.status], ['Somebody', null, 'paused']);
    await timeUntil(() => page.evaluate(() => player.play()), (d) => d.status === 'playing', 'playing');
  });
  it("takes the page's position over its element's clock, and a reused element's next song from 0", async () => {
    // A player that reuses one element across songs: the element runs on (past 60 s of 120),
    // the page's media session says where the song is.
    const at42 = await timeUntil(
      () => page.evaluate(() => navigator.mediaSession.setPositionState({ duration: 201, position: 42, playbackRate: 1 })),
      (d) => d.durationMs === 201000,
      "the page's position",
    );
    assert.ok(Math.abs(agentPosition(at42.np) - 42000) < 1000, `agent at ${agentPosition(at42.np)} ms`);
    const next = await timeUntil(
      () =>
        page.evaluate(() => {
          setTrack({ title: 'Reused Element', artist: 'Somebody' });
          navigator.mediaSession.setPositionState({ duration: 150, position: 0, playbackRate: 1 });
        }),
      (d) => d.title === 'Reused Element' && d.durationMs === 150000,
      'the next song',
    );
    const elementMs = await page.evaluate(() => player.currentTime * 1000);
    assert.ok(agentPosition(next.np) < 1000, `next song at ${agentPosition(next.np)} ms, element at ${elementMs} ms`);
    // The page clears its position state: the element's clock again.
    await timeUntil(
      () => page.evaluate(() => navigator.mediaSession.setPositionState()),
      (d) => d.durationMs === TRACK_SECONDS * 1000,
      "the element's timeline",
    );
  });

  it('keeps the song through a 2 s gap in the metadata', async () => {
    const [source] = await extensionSources(agent.port);
    await page.evaluate(() => {
      navigator.mediaSession.metadata = null;
      setTimeout(() => setTrack({ title: 'After The Gap', artist: 'Somebody' }), 2000);
    });
    for (const end = Date.now() + 2600; Date.now() < end; await sleep(20)) {
      const ids = (await extensionSources(agent.port)).map((s) => s.id);
      assert.deepEqual(ids, [source.id], 'the source stays through the gap');
    }
    await waitUntil(async () => (await nowPlaying()).title === 'After The Gap', { what: 'the song after the gap' });
  });

  it('keeps the tab its source and id when the browser stops the background', async () => {
    const [before] = await extensionSources(agent.port);
    await browser.worker.evaluate(() => {
      globalThis.oldWorker = true;
    });
    const extensionPage = await stopBackground();
    const firstAfter = (await nowPlaying()).positionAt;
    const seen = new Set();
    for (const end = Date.now() + 3000; Date.now() < end; await sleep(20)) {
      seen.add((await extensionSources(agent.port)).map((s) => `${s.id} ${s.status}`).join());
    }
    assert.deepEqual([...seen], [`${before.id} playing`]);
    assert.equal(await browser.worker.evaluate(() => globalThis.oldWorker), undefined, 'a new background');
    assert.ok((await nowPlaying()).positionAt > firstAfter, 'reports go on');
    await extensionPage.close();

    // Paused, nothing in the page sends heartbeats: the tab itself has to wake the next background.
    await timeUntil(() => page.evaluate(() => player.pause()), (d) => d.status === 'paused', 'paused');
    await (await stopBackground()).close();
    await sleep(7000); // past the agent's 6 s expiry
    const sources = await extensionSources(agent.port);
    assert.deepEqual(sources.map((s) => `${s.id} ${s.status}`), [`${before.id} paused`]);
    await timeUntil(() => page.evaluate(() => player.play()), (d) => d.status === 'playing', 'playing');
  });
});

describe('several tabs', () => {
  it('reports two playing tabs as two sources, one of them with a player outside the document', async () => {
    const second = await browser.context.newPage();
    await second.goto('https://open.spotify.com/track/3?detached=1&title=Elsewhere&artist=Band');
    const sources = await waitUntil(async () => {
      const s = await extensionSources(agent.port);
      return s.length === 2 && s.every((x) => x.status === 'playing') && s;
    }, { what: 'two playing sources' });
    assert.deepEqual(sources.map((s) => s.service).sort(), ['spotify', 'yandex']);
    // With the first tab paused the second is shown: its timeline came through the page hook.
    const first = browser.context.pages().find((p) => p.url().startsWith('https://music.yandex.ru/'));
    await first.evaluate(() => player.pause());
    const np = await waitUntil(async () => {
      const d = await nowPlaying();
      return d.service === 'spotify' && d.durationMs && d;
    }, { what: 'the detached player timeline' });
    assert.equal(np.durationMs, TRACK_SECONDS * 1000);
    const pageMs = await second.evaluate(() => player.currentTime * 1000);
    assert.ok(Math.abs(agentPosition(np) - pageMs) < 400, `agent ${agentPosition(np)} ms, page ${pageMs} ms`);
    await first.evaluate(() => player.play());
  });

  it('removes a closed tab at once, not after the agent expiry', async (t) => {
    const spotify = browser.context.pages().find((p) => p.url().startsWith('https://open.spotify.com/'));
    const t0 = Date.now();
    await spotify.close();
    await waitUntil(async () => (await extensionSources(agent.port)).length === 1, { interval: 10, what: 'one source' });
    const ms = Date.now() - t0;
    assert.ok(ms < 300, `gone after ${ms} ms (the agent would expire it after 6 s)`);
    t.diagnostic(`closed tab gone after ${ms} ms`);
  });

  it('removes a tab that leaves the music site, and reports the next site by its host', async () => {
    const page = browser.context.pages().find((p) => p.url().startsWith('https://music.yandex.ru/'));
    const t0 = Date.now();
    await page.goto('about:blank');
    await waitUntil(async () => (await extensionSources(agent.port)).length === 0, { interval: 10, what: 'no source' });
    assert.ok(Date.now() - t0 < 1500, `gone after ${Date.now() - t0} ms`);
    // YouTube is off in the agent's default switches, so it is looked for among the sources.
    await page.goto('https://www.youtube.com/watch?v=1&title=A%20Video&artist=A%20Channel');
    const [video] = await waitUntil(async () => {
      const s = await extensionSources(agent.port);
      return s.length === 1 && s[0].status === 'playing' && s;
    }, { what: 'the video' });
    assert.deepEqual([video.service, video.title], ['youtube', 'A Video']);
  });
});

describe('popup', () => {
  // A failure here must not leave reporting off for the tests after it.
  after(() => browser.worker.evaluate(() => chrome.storage.local.set({ paused: false })));

  it('shows the agent and the tab, and its switch stops and resumes reporting', async () => {
    const url = 'https://www.youtube.com/watch?v=1&title=A%20Video&artist=A%20Channel';
    const tabId = await browser.tabId(url);
    const popup = await browser.context.newPage();
    await popup.goto(`chrome-extension://${browser.id}/popup/popup.html?tab=${tabId}`);
    await waitUntil(async () => (await popup.textContent('#agent-text')).includes(`port ${agent.port}`), {
      what: 'the agent in the popup',
    });
    await waitUntil(async () => (await popup.textContent('#tab-title')) === 'A Video', { what: 'the tab in the popup' });
    assert.match(await popup.textContent('#tab-detail'), /A Channel · YouTube · playing \d+:\d\d \/ 2:00/);

    const t0 = Date.now();
    // Read in the same task as the click: the popup follows its switch at once, not a moment later.
    const shown = await popup.evaluate(() => {
      document.querySelector('.switch').click();
      return document.getElementById('tab-title').textContent;
    });
    assert.equal(shown, 'Reporting is off');
    await waitUntil(async () => (await extensionSources(agent.port)).length === 0, { interval: 10, what: 'no source' });
    assert.ok(Date.now() - t0 < 1000, `switched off after ${Date.now() - t0} ms`);
    await sleep(2500); // heartbeats would have come by now
    assert.equal((await extensionSources(agent.port)).length, 0);

    await popup.click('.switch');
    await waitUntil(async () => (await extensionSources(agent.port)).length === 1, { what: 'the source back' });
    assert.equal(await popup.isVisible('#orphan'), false);

    // A tab whose content script does not run (as if it could not be put in): the popup offers
    // a reload, which brings it back.
    await browser.worker.evaluate(async (id) => {
      await chrome.scripting.executeScript({ target: { tabId: id }, func: () => (Tunelight.mediaLive = false) });
    }, tabId);
    await popup.waitForSelector('#reload', { state: 'visible', timeout: 5000 });
    assert.equal(await popup.textContent('#tab-title'), 'A Video', 'what the background still has');
    await popup.click('#reload');
    await popup.waitForSelector('#orphan', { state: 'hidden', timeout: 5000 });
    await waitUntil(async () => !(await popup.isVisible('#orphan')) && (await extensionSources(agent.port)).length === 1, {
      what: 'the reloaded tab reporting',
    });
    await sleep(1500);
    assert.equal(await popup.isVisible('#orphan'), false, 'the reloaded tab runs the script');
    await popup.close();
  });
});

describe('extension reload', () => {
  it('re-attaches to a playing tab: its song stays on the card without reloading the tab', async (t) => {
    const page = await browser.context.newPage();
    await page.goto('https://music.yandex.ru/album/7/track/8?title=Through%20The%20Update&artist=Steady');
    await waitUntil(async () => (await nowPlaying()).title === 'Through The Update', { what: 'the tab' });
    // As an update of the extension does: the old background goes, the tab's script is orphaned.
    const t0 = Date.now();
    await browser.worker.evaluate(() => setTimeout(() => chrome.runtime.reload(), 0));
    const fresh = await waitUntil(async () => {
      const d = await nowPlaying();
      return d.title === 'Through The Update' && d.positionAt > t0 + 300 && d;
    }, { timeout: 5000, interval: 20, what: 'a report from the re-attached tab' });
    const ms = Date.now() - t0;
    assert.ok(ms < 3000, `reported again after ${ms} ms`);
    // Past the agent's 6 s expiry of the old reports: the song never left the card.
    for (const end = t0 + 7000; Date.now() < end; await sleep(50)) {
      const d = await nowPlaying();
      assert.deepEqual([d.title, d.status], ['Through The Update', 'playing']);
    }
    const pageMs = await page.evaluate(() => player.currentTime * 1000);
    const agentMs = agentPosition(await nowPlaying());
    assert.ok(Math.abs(agentMs - pageMs) < 400, `agent ${agentMs} ms, page ${pageMs} ms`);
    t.diagnostic(`reloaded extension reported the open tab after ${ms} ms (fresh position ${fresh.positionMs} ms)`);
    await page.close();
  });
});

describe('player actions from OBS', () => {
  // The only tab, so that it is the one on the card.
  async function onlyTab(url, title) {
    const page = await browser.context.newPage();
    await page.goto(url);
    for (const other of browser.context.pages()) if (other !== page) await other.close();
    await waitUntil(async () => (await nowPlaying()).title === title, { what: title });
    return page;
  }

  it("runs the page's own handler, lists what the page registered, and survives a stopped background", async (t) => {
    const page = await onlyTab(
      'https://open.spotify.com/track/5?title=Handled&artist=Page&handlers=play,pause,nexttrack',
      'Handled',
    );
    const np = await nowPlaying();
    assert.deepEqual(np.controls, ['playPause', 'play', 'pause', 'next']);
    assert.equal((await control(agent.port, 'previous')).status, 422);

    const t0 = Date.now();
    const next = await control(agent.port, 'next');
    assert.equal(next.status, 200, JSON.stringify(next.body));
    const [call] = await page.evaluate(() => calls);
    assert.equal(call.action, 'nexttrack');
    assert.ok(call.at - t0 < 300, `the page's handler ran ${call.at - t0} ms after the request`);

    const pause = await control(agent.port, 'playPause');
    assert.equal(pause.status, 200);
    assert.deepEqual((await page.evaluate(() => calls)).map((c) => c.action), ['nexttrack', 'pause']);

    // The browser stops the background: the tab wakes the next one, which listens again.
    await (await stopBackground()).close();
    const t1 = Date.now();
    await waitUntil(async () => (await control(agent.port, 'play')).status === 200, {
      timeout: 5000,
      interval: 50,
      what: 'play through the new background',
    });
    assert.equal(await page.evaluate(() => calls.at(-1).action), 'play');
    t.diagnostic(`next reached the page in ${call.at - t0} ms (API answer ${next.ms} ms); ` +
      `a new background took actions ${Date.now() - t1} ms after the old one stopped`);
  });

  it('pauses the media element of a page without handlers', async (t) => {
    const page = await onlyTab('https://music.yandex.ru/album/9/track/9?title=Element%20Only&artist=Tag', 'Element Only');
    assert.deepEqual((await nowPlaying()).controls, ['playPause', 'play', 'pause']);
    assert.equal((await control(agent.port, 'next')).status, 422);
    const pause = await control(agent.port, 'pause');
    assert.equal(pause.status, 200, JSON.stringify(pause.body));
    assert.equal(await page.evaluate(() => player.paused), true);
    assert.ok(pause.ms < 300, `paused in ${pause.ms} ms`);
    t.diagnostic(`pause answered in ${pause.ms} ms`);
    // Playing again, for the agent restart below.
    assert.equal((await control(agent.port, 'playPause')).status, 200);
    await waitUntil(async () => (await nowPlaying()).status === 'playing', { what: 'playing again' });
  });
});

describe('agent restart', () => {
  it('finds the agent again within its back-off when it comes back', async (t) => {
    await agent.stop();
    agent = null;
    await sleep(9000); // long enough for the pauses between searches to reach their longest
    agent = await startAgent();
    const t0 = Date.now();
    await waitUntil(async () => (await extensionSources(agent.port)).length === 1, {
      timeout: 10000,
      what: 'the source in the new agent',
    });
    const ms = Date.now() - t0;
    assert.ok(ms < 6500, `found after ${ms} ms`);
    t.diagnostic(`restarted agent found after ${ms} ms`);
  });
});
