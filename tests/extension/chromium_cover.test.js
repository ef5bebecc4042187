// The extension against an agent that starts after the music, and asks for its cover: the
// agent's intake in the mode where extensions upload covers, then the real agent, which asks
// when its own download fails.
'use strict';

const assert = require('node:assert/strict');
const { after, before, it } = require('node:test');
const { MusicServer, getJson, launchExtension, sleep, startAgent, startUploadAgent, waitUntil } = require('./harness');

// A cover on the Yandex Music image host (on the agent's allowlist), served by the test server.
const ART = 'https://avatars.yandex.net/art/get-music-content/1/400x400';
let server;
let agent;
let browser;

before(async () => {
  server = await new MusicServer().start();
  browser = await launchExtension(server, ['music.yandex.ru', 'avatars.yandex.net']);
});

after(async () => {
  if (browser) await browser.close();
  if (agent) await agent.stop();
  if (server) await server.stop();
});

it('finds an agent started after the music, and uploads the cover it asks for', async (t) => {
  const page = await browser.context.newPage();
  await page.goto(`https://music.yandex.ru/track/9?title=Covered&artist=Painter&art=${encodeURIComponent(ART)}`);
  await waitUntil(() => page.evaluate(() => player.currentTime > 0.5), { what: 'the page playing' });
  await sleep(3000); // no agent yet: the extension keeps looking

  agent = await startUploadAgent();
  const t0 = Date.now();
  await waitUntil(async () => (await getJson(agent.port, '/api/now-playing')).title === 'Covered', {
    what: 'the tab in the agent',
  });
  const foundMs = Date.now() - t0;
  assert.ok(foundMs < 6500, `found after ${foundMs} ms`);
  t.diagnostic(`agent found ${foundMs} ms after its start`);

  const np = await waitUntil(async () => {
    const d = await getJson(agent.port, '/api/now-playing');
    return d.coverUrl && d;
  }, { what: 'a cover' });
  const res = await fetch(`http://127.0.0.1:${agent.port}${np.coverUrl}`);
  assert.equal(res.headers.get('content-type'), 'image/png');
  assert.deepEqual(Buffer.from(await res.arrayBuffer()), server.picture);

  // The extension fetched the largest artwork, once. (The browser fetches pictures of the media
  // session for itself too, without an origin.)
  const fetched = server.requests.filter((r) => r.host === 'avatars.yandex.net' && r.origin);
  assert.deepEqual(
    fetched.map((r) => [r.path, r.origin]),
    [['/art/get-music-content/1/400x400', `chrome-extension://${browser.id}`]],
  );
});

it('uploads the cover the real agent could not download', async (t) => {
  await agent.stop();
  agent = await startAgent();
  // The image host leads to the test server in this browser only: the agent's download fails.
  const art = 'https://avatars.yandex.net/art/get-music-content/2/400x400';
  const page = await browser.context.newPage();
  await page.goto(`https://music.yandex.ru/track/10?title=Refused&artist=Painter&art=${encodeURIComponent(art)}`);
  const t0 = Date.now();
  const np = await waitUntil(async () => {
    const d = await getJson(agent.port, '/api/now-playing');
    return d.title === 'Refused' && d.coverUrl && d;
  }, { what: 'the uploaded cover' });
  t.diagnostic(`cover uploaded ${Date.now() - t0} ms after the tab opened`);
  const res = await fetch(`http://127.0.0.1:${agent.port}${np.coverUrl}`);
  assert.deepEqual(Buffer.from(await res.arrayBuffer()), server.picture);
});
