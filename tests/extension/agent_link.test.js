// Finding the agent among the five loopback ports, on a fake clock and a fake network.
'use strict';

const assert = require('node:assert/strict');
const { describe, it } = require('node:test');
const { createAgentLink } = require('../../extension/lib/agent.js');
const { fakeTime } = require('./fake_time.js');

// servers: port -> health name; other ports refuse. Records every request.
function setUp(servers) {
  const time = fakeTime();
  const requests = [];
  const found = [];
  const fetch = async (url, init) => {
    const u = new URL(url);
    requests.push({ at: time.now(), port: Number(u.port), path: u.pathname, method: init.method });
    const name = servers[u.port];
    if (name === undefined) throw new TypeError('connection refused');
    const body = u.pathname === '/api/health' ? { name, port: Number(u.port) } : { ok: true };
    return { ok: true, status: 200, json: async () => body };
  };
  const link = createAgentLink({
    fetch,
    now: time.now,
    setTimer: time.setTimer,
    clearTimer: time.clearTimer,
    onFound: (port) => found.push({ at: time.now(), port }),
  });
  const probes = () => [...new Set(requests.filter((r) => r.path === '/api/health').map((r) => r.at))];
  return { link, servers, requests, found, advance: time.advance, probes };
}

describe('agent discovery', () => {
  it('takes the first port whose health names tunelight, passing over other servers', async () => {
    const s = setUp({ 48211: 'something-else', 48213: 'tunelight', 48214: 'tunelight' });
    assert.equal(await s.link.post('/api/ingest', '{}', {}), null, 'nothing known yet');
    await s.advance(0);
    assert.deepEqual(s.found, [{ at: 0, port: 48213 }]);
    const res = await s.link.post('/api/ingest', '{}', {});
    assert.ok(res.ok);
    assert.deepEqual(s.requests.at(-1), { at: 0, port: 48213, path: '/api/ingest', method: 'POST' });
  });

  it('looks again after a failure with a growing pause, and finds an agent that starts later', async () => {
    const s = setUp({});
    for (let i = 0; i < 7; i++) {
      await s.link.post('/api/ingest', '{}', {}); // a playing tab's heartbeat
      await s.advance(2000);
    }
    assert.deepEqual(s.probes(), [0, 500, 1500, 3500, 7500, 12500]);
    s.servers[48210] = 'tunelight';
    await s.advance(5000);
    assert.deepEqual(s.found, [{ at: 17500, port: 48210 }], 'within the longest pause');
  });

  it('stops looking when nothing is left to send', async () => {
    const s = setUp({});
    await s.link.post('/api/ingest', '{}', {});
    await s.advance(60000);
    assert.ok(s.probes().length <= 6, `probes at ${s.probes()}`);
    assert.ok(s.probes().at(-1) <= 10000);
  });

  it('drops an agent that stopped answering and finds it on its new port', async () => {
    const s = setUp({ 48210: 'tunelight' });
    await s.link.post('/api/ingest', '{}', {});
    await s.advance(0);
    delete s.servers[48210];
    s.servers[48212] = 'tunelight'; // restarted while another program took its port
    assert.equal(await s.link.post('/api/ingest', '{}', {}), null);
    assert.equal(s.link.status().port, null);
    await s.advance(600);
    assert.deepEqual(s.found.map((f) => f.port), [48210, 48212]);
    assert.equal(s.link.status().port, 48212);
  });
});
