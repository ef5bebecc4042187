// The extension's background: turns the content scripts' snapshots into reports, paces them
// per tab, finds the agent, uploads the covers it asks for, passes the agent's player actions
// on to the tabs, puts the content scripts into tabs that were open before it started, and
// answers the popup.
// Chromium runs it as a service worker (and loads the libraries here); Firefox as background
// scripts listed in the manifest after the libraries.
'use strict';

if (typeof importScripts === 'function' && !(globalThis.Tunelight && globalThis.Tunelight.pacer)) {
  importScripts(
    'lib/services.js',
    'lib/report.js',
    'lib/pacer.js',
    'lib/agent.js',
    'lib/cover.js',
    'lib/identity.js',
    'lib/attach.js',
  );
}

(() => {
  const ext = globalThis.browser || globalThis.chrome;
  const T = globalThis.Tunelight;
  const RECONNECT_GRACE_MS = 300;
  const setTimer = (fn, ms) => setTimeout(fn, ms);
  const clearTimer = (handle) => clearTimeout(handle);

  const browserName = T.identity.detectBrowser({
    firefox: typeof ext.runtime.getBrowserInfo === 'function',
    brands: navigator.userAgentData ? navigator.userAgentData.brands : [],
    userAgent: navigator.userAgent,
  });

  const ids = T.identity.createTabIds({
    storage: ext.storage.session,
    random: () =>
      Array.from(crypto.getRandomValues(new Uint8Array(5)), (b) => b.toString(16).padStart(2, '0')).join(''),
  });

  const tabs = new Map(); // tab id -> { id, reportId, port, leaving, service, pacer, controls }
  let paused = false;
  const ready = ext.storage.local.get('paused').then(
    (v) => {
      paused = v.paused === true;
    },
    () => {},
  );

  const link = T.agent.createAgentLink({
    fetch: (url, init) => fetch(url, init),
    now: Date.now,
    setTimer,
    clearTimer,
    onFound: () => {
      for (const tab of tabs.values()) tab.pacer.resend();
      listen();
    },
  });
  const uploadCover = T.cover.createCoverUploader({ fetch: (url, init) => fetch(url, init), link, now: Date.now });

  async function deliver(tab, report) {
    const id = await ids.idFor(tab.id);
    tab.reportId = id;
    const body = report ? Object.assign({ id, channel: await ids.channel() }, report) : { id, gone: true };
    const res = await link.post('/api/ingest', JSON.stringify(body), { 'Content-Type': 'application/json' });
    if (!res || !res.ok) return false;
    let answer = null;
    try {
      answer = await res.json();
    } catch {
      return false;
    }
    if (!answer || answer.ok !== true) return false;
    if (report && answer.needCover === true && report.artworkUrl) uploadCover(report.artworkUrl);
    return true;
  }

  function tabEntry(tabId) {
    let tab = tabs.get(tabId);
    if (!tab) {
      tab = { id: tabId, reportId: '', port: null, leaving: 0, service: '', controls: new Map() };
      tab.pacer = T.pacer.createPacer({
        now: Date.now,
        setTimer,
        clearTimer,
        deliver: (report) => deliver(tab, report),
      });
      tabs.set(tabId, tab);
    }
    return tab;
  }

  function onSnapshot(tab, snapshot) {
    if (paused) return;
    const report = T.report.buildReport(snapshot, { service: tab.service, browser: browserName });
    if (report) tab.pacer.offer(report);
    else tab.pacer.stop();
    if (report) listen();
  }

  // Player actions. While some tab has a song to report, one request at a time waits at the
  // agent for the actions on this browser's tabs (the agent answers it within 20 s, or at once
  // with a command). What keeps this background running meanwhile is the tabs' own traffic:
  // Chromium lets an extension's service worker live on while it receives events, and since
  // Chrome 114 a message on a long-lived port (the content scripts' snapshots, every 2 s while
  // a song plays) counts as one; a pending fetch does not, and one whose answer takes over 30 s
  // may have its worker stopped. Firefox keeps an event page loaded while a runtime port is
  // open. When the browser stops the background anyway, the content scripts connect again at
  // once and this starts again on the same channel (the session id, kept in session storage),
  // so the agent's next request finds it.
  const anyLive = () => [...tabs.values()].some((t) => t.port && t.pacer.state().latest);
  let listening = false;
  async function listen() {
    if (listening || paused) return;
    listening = true;
    let pauseMs = 0;
    try {
      while (anyLive() && !paused) {
        if (pauseMs) await new Promise((resolve) => setTimeout(resolve, pauseMs));
        const res = await link.post(
          '/api/ingest/commands',
          JSON.stringify({ channel: await ids.channel() }),
          { 'Content-Type': 'application/json' },
          { timeoutMs: 25000, quiet: true },
        );
        let answer = null;
        try {
          answer = res && res.ok ? await res.json() : null;
        } catch {
          answer = null;
        }
        if (!answer || !Array.isArray(answer.commands)) {
          // No agent, a busy one, or one that takes no actions (an older one: ask seldom).
          pauseMs = res && res.status === 404 ? 60000 : Math.min(Math.max(pauseMs * 2, 500), 5000);
          continue;
        }
        pauseMs = 0;
        for (const c of answer.commands) runCommand(c);
      }
    } finally {
      listening = false;
    }
  }

  function answerCommand(command, error) {
    const body = JSON.stringify({ command, ok: !error, error: error || undefined });
    link.post('/api/ingest/done', body, { 'Content-Type': 'application/json' }, { quiet: true });
  }

  function runCommand(c) {
    if (!c || typeof c.command !== 'number' || typeof c.id !== 'string') return;
    const tab = [...tabs.values()].find((t) => t.reportId === c.id);
    if (!tab || !tab.port) {
      answerCommand(c.command, 'the tab is gone');
      return;
    }
    // The content script answers with control-done; the agent gives up after a second.
    tab.controls.set(c.command, setTimeout(() => tab.controls.delete(c.command), 2000));
    try {
      tab.port.postMessage({ type: 'control', command: c.command, action: String(c.action) });
    } catch {
      clearTimeout(tab.controls.get(c.command));
      tab.controls.delete(c.command);
      answerCommand(c.command, 'the tab is gone');
    }
  }

  function leave(tab) {
    clearTimeout(tab.leaving);
    tab.port = null;
    tab.pacer.gone();
  }

  ext.runtime.onConnect.addListener((port) => {
    const sender = port.sender || {};
    const service = T.services.serviceFromUrl(sender.url);
    if (port.name !== 'tunelight-media' || !sender.tab || sender.frameId !== 0 || !service) {
      port.disconnect();
      return;
    }
    const tab = tabEntry(sender.tab.id);
    clearTimeout(tab.leaving);
    tab.port = port;
    tab.service = service;
    port.onMessage.addListener((msg) => {
      if (msg && msg.type === 'control-done' && tab.controls.has(msg.command)) {
        clearTimeout(tab.controls.get(msg.command));
        tab.controls.delete(msg.command);
        answerCommand(msg.command, msg.ok ? '' : String(msg.error || 'the tab could not do it'));
        return;
      }
      if (!msg || msg.type !== 'snapshot') return;
      ready.then(() => {
        if (tab.port === port) onSnapshot(tab, msg.snapshot);
      });
    });
    // The page was closed, reloaded or left: its document and content script are gone. Unless
    // the content script connects again at once: then only the connection was lost.
    port.onDisconnect.addListener(() => {
      if (tab.port !== port) return;
      tab.port = null;
      tab.leaving = setTimeout(() => {
        if (!tab.port) leave(tab);
      }, RECONNECT_GRACE_MS);
    });
  });

  ext.tabs.onRemoved.addListener((tabId) => {
    const tab = tabs.get(tabId);
    if (!tab) return;
    leave(tab);
    setTimeout(() => {
      if (tabs.get(tabId) === tab && !tab.port && !tab.pacer.state().busy) tabs.delete(tabId);
    }, 5000);
  });

  function setPaused(value) {
    if (value === paused) return;
    paused = value;
    for (const tab of tabs.values()) {
      if (paused) tab.pacer.gone();
      else if (tab.port) tab.port.postMessage({ type: 'refresh' });
    }
  }

  ext.storage.onChanged.addListener((changes, area) => {
    if (area === 'local' && changes.paused) ready.then(() => setPaused(changes.paused.newValue === true));
  });

  function statusFor(tabId) {
    const tab = tabs.get(tabId);
    const state = tab ? tab.pacer.state() : null;
    return {
      browser: browserName,
      agent: link.status(),
      tab: tab && {
        service: tab.service,
        live: !!tab.port,
        report: state.latest,
        sent: state.sent !== null,
      },
    };
  }

  // Tabs open before the extension started have no content script: put it in on install,
  // update (the old one was orphaned) and browser start, and when site access is granted.
  const attacher = T.attach.createAttacher({
    scripting: ext.scripting,
    tabs: ext.tabs,
    manifest: ext.runtime.getManifest(),
    patterns: T.services.matchPatterns(),
  });
  const attachAll = () => (ext.scripting ? attacher.attachAll() : Promise.resolve(0));

  // Firefox lets the user hold back site access (and before 127 does so at install): without it
  // nothing can be read. A badge says so until it is granted, and a fresh install opens a page
  // that asks for it.
  const ORIGINS = ext.runtime.getManifest().host_permissions || [];
  const action = ext.action || ext.browserAction;
  async function hasAccess() {
    try {
      return await ext.permissions.contains({ origins: ORIGINS });
    } catch {
      return true;
    }
  }
  async function showAccess() {
    const ok = await hasAccess();
    try {
      await action.setBadgeText({ text: ok ? '' : '!' });
      if (!ok) await action.setBadgeBackgroundColor({ color: '#d93025' });
      await action.setTitle({ title: ok ? 'Tunelight' : 'Tunelight: allow it on the music sites' });
    } catch {
      // no badge in this browser
    }
    return ok;
  }

  ext.runtime.onInstalled.addListener(async (details) => {
    const ok = await showAccess();
    if (!ok && details.reason === 'install') ext.tabs.create({ url: ext.runtime.getURL('popup/access.html') });
    if (ok) attachAll();
  });
  ext.runtime.onStartup.addListener(() => {
    showAccess().then((ok) => ok && attachAll());
  });
  if (ext.permissions.onAdded) {
    ext.permissions.onAdded.addListener(() => {
      showAccess().then((ok) => ok && attachAll());
    });
    ext.permissions.onRemoved.addListener(showAccess);
  }
  showAccess();

  // Only the extension's own pages (the popup) ask.
  ext.runtime.onMessage.addListener((msg, sender, sendResponse) => {
    if (!msg || msg.type !== 'status' || !String(sender.url || '').startsWith(ext.runtime.getURL(''))) return false;
    link.wake();
    ready.then(() => sendResponse(statusFor(msg.tabId)));
    return true;
  });
})();
