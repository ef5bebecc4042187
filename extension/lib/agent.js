// The way to the agent on this computer: it listens on the first free port of a fixed list on
// 127.0.0.1 and names itself "tunelight" in /api/health. Looked for only while there is
// something to send; after a failure looked for again with a growing pause.
(function (root) {
  'use strict';

  const PORTS = [48210, 48211, 48212, 48213, 48214];

  function createAgentLink({
    fetch,
    now,
    setTimer,
    clearTimer,
    ports = PORTS,
    firstRetryMs = 500,
    maxRetryMs = 5000,
    timeoutMs = 2000,
    wantedForMs = 10000, // keep looking this long after the last thing there was to send
    onFound = () => {},
  }) {
    let port = null;
    let probing = false;
    let retryMs = firstRetryMs;
    let nextProbeAt = 0;
    let timer = null;
    let wantedAt = -Infinity;
    let lastError = '';

    async function request(url, init, waitMs = timeoutMs) {
      const abort = new AbortController();
      const t = setTimer(() => abort.abort(), waitMs);
      try {
        return await fetch(url, { ...init, signal: abort.signal, credentials: 'omit', cache: 'no-store' });
      } finally {
        clearTimer(t);
      }
    }

    async function isAgent(p) {
      try {
        const res = await request(`http://127.0.0.1:${p}/api/health`, { method: 'GET' });
        if (!res.ok) return false;
        const health = await res.json();
        return !!health && health.name === 'tunelight';
      } catch {
        return false;
      }
    }

    function backOff() {
      nextProbeAt = now() + retryMs;
      retryMs = Math.min(retryMs * 2, maxRetryMs);
      arm();
    }

    function arm() {
      if (timer !== null) return;
      timer = setTimer(
        () => {
          timer = null;
          if (now() - wantedAt <= wantedForMs) look();
        },
        Math.max(nextProbeAt - now(), 0),
      );
    }

    function look() {
      if (probing || port !== null) return;
      if (now() < nextProbeAt) {
        arm();
        return;
      }
      probing = true;
      // All at once: a closed loopback port refuses at once, and the first in list order wins.
      Promise.all(ports.map(isAgent)).then((found) => {
        probing = false;
        const i = found.indexOf(true);
        if (i < 0) {
          lastError = 'not found';
          backOff();
          return;
        }
        port = ports[i];
        lastError = '';
        onFound(port);
      });
    }

    // POST to the agent. Resolves to the response, or null when there is no agent to ask (then
    // it is looked for) or the request failed. timeoutMs: how long the answer may take; quiet:
    // a refusal (an older agent without the route) is answered as is, not taken as a lost agent.
    async function post(path, body, headers, { timeoutMs: waitMs = timeoutMs, quiet = false } = {}) {
      wantedAt = now();
      if (port === null) {
        look();
        return null;
      }
      const p = port;
      try {
        const res = await request(`http://127.0.0.1:${p}${path}`, { method: 'POST', headers, body }, waitMs);
        // 403 and 404: this is not (or no longer) an agent that takes our reports.
        if (!quiet && (res.status === 403 || res.status === 404)) throw new Error(`HTTP ${res.status}`);
        retryMs = firstRetryMs;
        return res;
      } catch (e) {
        if (port === p) {
          port = null;
          lastError = String((e && e.message) || e);
          backOff();
        }
        return null;
      }
    }

    return {
      post,
      // Someone wants to know whether there is an agent (the popup): look now if it is not known.
      wake() {
        wantedAt = now();
        look();
      },
      status() {
        return { port, searching: port === null && now() - wantedAt <= wantedForMs, error: lastError };
      },
    };
  }

  const api = { PORTS, createAgentLink };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).agent = api;
})(globalThis);
