// Putting the content scripts into music tabs that were open before the extension (re)started:
// the browser injects the manifest's content scripts only into pages loaded afterwards, so after
// an install, an update or a reload the tabs already playing would stay silent. Used by the
// background (on install, update, browser start and when site access is granted) and by the
// popup (to tell a tab without a live script).
(function (root) {
  'use strict';

  // Whether a manifest match pattern ("https://host/*", "*://*.host/path*") covers url.
  function matchesPattern(pattern, url) {
    const m = /^(\*|https?):\/\/(\*|(?:\*\.)?[^/*]+)(\/.*)$/.exec(pattern);
    let u;
    try {
      u = new URL(url);
    } catch {
      return false;
    }
    if (!m) return false;
    const [, scheme, host, path] = m;
    const protocol = u.protocol.slice(0, -1);
    if (scheme === '*' ? protocol !== 'http' && protocol !== 'https' : scheme !== protocol) return false;
    if (host.startsWith('*.')) {
      const base = host.slice(2);
      if (u.hostname !== base && !u.hostname.endsWith(`.${base}`)) return false;
    } else if (host !== '*' && host !== u.hostname) {
      return false;
    }
    const re = new RegExp(`^${path.replace(/[.+?^${}()|[\]\\]/g, '\\$&').replace(/\*/g, '.*')}$`);
    return re.test(u.pathname + u.search);
  }

  // The manifest's content-script entries for url, in the manifest's order: { files, world }.
  function scriptsFor(manifest, url) {
    const out = [];
    for (const entry of manifest.content_scripts || []) {
      if (!(entry.matches || []).some((p) => matchesPattern(p, url))) continue;
      if (entry.js && entry.js.length) out.push({ files: entry.js, world: entry.world || 'ISOLATED' });
    }
    return out;
  }

  // Set by content/media.js in the tab's isolated world while it runs; a script orphaned by an
  // update lives in a world of its own, so a fresh world without the flag needs the scripts.
  function liveFlag() {
    return !!(globalThis.Tunelight && globalThis.Tunelight.mediaLive === true);
  }

  // scripting, tabs: the browser's APIs; patterns: the music sites' match patterns.
  function createAttacher({ scripting, tabs, manifest, patterns }) {
    const top = (tabId) => ({ tabId, frameIds: [0] });

    // Whether the tab's page runs a live content script; false when it cannot be asked (no site
    // access, a page still loading, a discarded tab).
    async function isLive(tabId) {
      try {
        const [r] = await scripting.executeScript({ target: top(tabId), func: liveFlag });
        return !!(r && r.result);
      } catch {
        return false;
      }
    }

    // Injects what the manifest would have put into the tab; true when it went in.
    async function attachTab(tabId, url) {
      if (await isLive(tabId)) return true;
      try {
        for (const { files, world } of scriptsFor(manifest, url)) {
          if (world !== 'MAIN') {
            await scripting.executeScript({ target: top(tabId), files });
            continue;
          }
          try {
            await scripting.executeScript({ target: top(tabId), files, world: 'MAIN' });
          } catch {
            // Firefox before 128 has no page world for extensions: the content script manages
            // without the page hook, as it does there on every page.
          }
        }
        return true;
      } catch {
        return false;
      }
    }

    // Every open tab of the music sites (tab addresses are visible for hosts we may read).
    async function attachAll() {
      let list = [];
      try {
        list = await tabs.query({ url: patterns });
      } catch {
        return 0;
      }
      const done = await Promise.all(list.map((t) => (t.url ? attachTab(t.id, t.url) : false)));
      return done.filter(Boolean).length;
    }

    return { isLive, attachTab, attachAll };
  }

  const api = { matchesPattern, scriptsFor, createAttacher };
  if (typeof module === 'object' && module.exports) module.exports = api;
  else (root.Tunelight = root.Tunelight || {}).attach = api;
})(globalThis);
