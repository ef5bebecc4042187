// Who reports: the report id of a tab, and the browser's name.
(function (root) {
  'use strict';

  // Report ids: this browser session's random id and the tab's id. The session id lives in
  // session storage, so a background that was stopped and started again keeps every tab's id,
  // while two browsers (or two sessions of one) never share one.
  function createTabIds({ storage, random }) {
    let session = null;
    function sessionId() {
      if (!session) {
        session = (async () => {
          try {
            const got = await storage.get('sessionId');
            if (got && typeof got.sessionId === 'string' && got.sessionId) return got.sessionId;
          } catch {
            // no session storage: this run's id only
          }
          const id = random();
          try {
            await storage.set({ sessionId: id });
          } catch {
            // as above
          }
          return id;
        })();
      }
      return session;
    }
    return {
      async idFor(tabId) {
        return `${await sessionId()}-${tabId}`;
      },
      // Where the agent sends the commands for these tabs: the same for as long as their ids.
      channel: sessionId,
    };
  }

  // Chromium-family browsers name themselves in their brands (Edge and the others list
  // "Chromium" too, so they are looked for first); the user agent text is the fallback.
  const BRANDS = [
    ['Microsoft Edge', 'edge'],
    ['Opera', 'opera'],
    ['Opera GX', 'opera'],
    ['YaBrowser', 'yandex'],
    ['Yandex', 'yandex'],
    ['Brave', 'brave'],
    ['Vivaldi', 'vivaldi'],
    ['Google Chrome', 'chrome'],
    ['Chromium', 'chrome'],
  ];
  const AGENTS = [
    [/\bEdg\//, 'edge'],
    [/\bOPR\//, 'opera'],
    [/\bYaBrowser\//, 'yandex'],
    [/\bVivaldi\//, 'vivaldi'],
    [/\bFirefox\//, 'firefox'],
    [/\bChrom(e|ium)\//, 'chrome'],
  ];

  function detectBrowser({ firefox = false, brands = [], userAgent = '' } = {}) {
    if (firefox) return 'firefox';
    const names = new Set((brands || []).map((b) => b && b.brand));
    for (const [brand, word] of BRANDS) if (names.has(brand)) return word;
    for (const [re, word] of AGENTS) if (re.test(userAgent)) return word;
    return 'browser';
  }

  const api = { createTabIds, detectBrowser };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).identity = api;
})(globalThis);
