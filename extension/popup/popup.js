// The popup: whether the agent was found, what this tab reports, and the switch that pauses all
// reporting.
'use strict';

(async () => {
  const ext = globalThis.browser || globalThis.chrome;
  const services = globalThis.Tunelight.services;
  const $ = (id) => document.getElementById(id);
  const nameOf = (service) => (services.SITES.find((s) => s.service === service) || {}).name || service;

  // The popup's tab: the active one, or the one named in the address (popup.html?tab=ID opens
  // the popup in a tab of its own).
  let tabId = Number(new URLSearchParams(location.search).get('tab')) || 0;
  let tabUrl = '';
  try {
    const tab = tabId ? await ext.tabs.get(tabId) : (await ext.tabs.query({ active: true, currentWindow: true }))[0];
    if (tab) {
      tabId = tab.id;
      tabUrl = tab.url || '';
    }
  } catch {
    // a closed tab: nothing to show for it
  }

  // The switch is the stored setting; the popup shows its own flip at once rather than after the
  // background has caught up (its status may still say the old value for a moment).
  const enabled = $('enabled');
  enabled.checked = (await ext.storage.local.get('paused')).paused !== true;
  let last = {};
  let live = true;
  enabled.addEventListener('change', () => {
    showTab(last);
    ext.storage.local.set({ paused: !enabled.checked }).then(refresh);
  });
  ext.storage.onChanged.addListener((changes, area) => {
    if (area !== 'local' || !changes.paused) return;
    enabled.checked = changes.paused.newValue !== true;
    showTab(last);
  });

  // Firefox lets the user hold back site access; without it nothing can be read.
  const origins = ext.runtime.getManifest().host_permissions || [];
  let access = false;
  const checkAccess = () =>
    ext.permissions.contains({ origins }).then((ok) => {
      access = ok;
      $('access').hidden = ok;
    });
  $('grant').addEventListener('click', () => ext.permissions.request({ origins }).then(checkAccess, checkAccess));
  await checkAccess().catch(() => {});

  // A music tab without a live content script (the background could not put one in, say into a
  // tab that was still loading): a reload gives it one.
  const attacher = globalThis.Tunelight.attach.createAttacher({
    scripting: ext.scripting,
    tabs: ext.tabs,
    manifest: ext.runtime.getManifest(),
    patterns: services.matchPatterns(),
  });
  const checkLive = async () => {
    live = !access || !services.serviceFromUrl(tabUrl) || !ext.scripting || (await attacher.isLive(tabId));
    $('orphan').hidden = live;
  };
  $('reload').addEventListener('click', () => {
    ext.tabs.reload(tabId).then(() => {
      $('orphan').hidden = true;
    });
  });

  function clock(ms) {
    const s = Math.max(0, Math.floor(ms / 1000));
    return `${Math.floor(s / 60)}:${String(s % 60).padStart(2, '0')}`;
  }

  function showTab(st) {
    const r = st.tab && st.tab.report;
    const service = (st.tab && st.tab.service) || services.serviceFromUrl(tabUrl);
    let title = '';
    let detail = '';
    last = st;
    if (!enabled.checked) {
      title = 'Reporting is off';
      detail = 'Switch it on below to show your music on the card.';
    } else if (r) {
      const parts = [r.artist, nameOf(r.service)].filter(Boolean);
      let state = r.status === 'playing' ? 'playing' : 'paused';
      if (r.durationMs) {
        const pos = r.positionMs + (r.status === 'playing' ? Date.now() - r.positionAt : 0);
        state += ` ${clock(Math.min(pos, r.durationMs))} / ${clock(r.durationMs)}`;
      }
      parts.push(state);
      if (!st.tab.sent) parts.push('not yet sent');
      title = r.title;
      detail = parts.join(' · ');
    } else if (service && !live) {
      title = 'Not connected';
      detail = `${nameOf(service)}: reload the tab to show its music.`;
    } else if (service) {
      title = 'Nothing playing';
      detail = `${nameOf(service)}: start a song and it shows here.`;
    } else {
      title = 'Not a music site';
      detail = 'The extension reads the tabs of the music services only.';
    }
    $('tab-title').textContent = title;
    $('tab-detail').textContent = detail;
  }

  async function refresh() {
    let st;
    try {
      st = await ext.runtime.sendMessage({ type: 'status', tabId });
    } catch {
      return;
    }
    if (!st) return;
    await checkLive();
    const agent = st.agent;
    $('agent').className = `line ${agent.port ? 'found' : agent.error ? 'missing' : ''}`;
    $('agent-text').textContent = agent.port
      ? `Agent found on port ${agent.port}`
      : agent.error
        ? 'Agent not found. Is OBS with the Tunelight card running?'
        : 'Looking for the agent…';
    showTab(st);
  }

  refresh();
  setInterval(refresh, 1000);
})();
