// What the browser tests (the extension's and the card's) share: starting the real agent as the
// plugin does, starting Debian's Chromium, and waiting. Each test folder installs its own
// playwright-core, so the caller hands in its `chromium`.
'use strict';

const { spawn } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const CHROMIUM = process.env.TUNELIGHT_CHROMIUM || '/usr/bin/chromium';
// A headless browser that talks to nothing but the tests' own servers.
const CHROMIUM_ARGS = [
  '--no-sandbox',
  '--disable-gpu',
  '--disable-background-networking',
  '--disable-component-update',
  '--disable-sync',
  '--no-first-run',
];

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Polls fn until it returns something truthy; returns that.
async function waitUntil(fn, { timeout = 10000, interval = 20, what = 'condition' } = {}) {
  const end = Date.now() + timeout;
  let last;
  for (;;) {
    try {
      last = await fn();
      if (last) return last;
    } catch (e) {
      last = e;
    }
    if (Date.now() > end) throw new Error(`timed out waiting for ${what} (last: ${String(last)})`);
    await sleep(interval);
  }
}

function tempDir(prefix) {
  return fs.mkdtempSync(path.join(os.tmpdir(), prefix));
}

// Resolves once proc has exited; one that has not within graceMs is killed.
async function exitOf(proc, graceMs = 3000) {
  if (proc.exitCode !== null || proc.signalCode !== null) return;
  const exited = new Promise((resolve) => proc.once('exit', resolve));
  const timer = setTimeout(() => proc.kill('SIGKILL'), graceMs);
  await exited;
  clearTimeout(timer);
}

// The real agent ($TUNELIGHT_AGENT), as the plugin starts it, with extra arguments such as
// --demo; resolves once its port file holds the port. stop() asks it to shut down, as the plugin
// does, and kills it if it does not.
async function startAgent({ token, args = [], prefix = 'tunelight-agent-' }) {
  const binary = process.env.TUNELIGHT_AGENT;
  if (!binary || !fs.existsSync(binary)) throw new Error(`agent binary not found: ${binary}`);
  const dir = tempDir(prefix);
  const portFile = path.join(dir, 'agent.port');
  const proc = spawn(
    binary,
    [...args, '--token', token, '--port-file', portFile, '--log-file', path.join(dir, 'agent.log')],
    { stdio: 'ignore' },
  );
  const port = Number(
    await waitUntil(() => fs.existsSync(portFile) && /^\d+$/.exec(fs.readFileSync(portFile, 'utf8').trim()), {
      what: 'the agent port file',
    }),
  );
  const origin = `http://127.0.0.1:${port}`;
  return {
    port,
    origin,
    async stop() {
      await fetch(`${origin}/api/shutdown`, { method: 'POST', headers: { 'X-Tunelight-Token': token } }).catch(
        () => {},
      );
      await exitOf(proc);
      fs.rmSync(dir, { recursive: true, force: true });
    },
  };
}

// Debian's Chromium through the caller's playwright-core: a browser, or with `profile` a
// persistent context in that directory (as an extension needs). Other options go to playwright.
function launchChromium(chromium, { profile, args = [], ...options } = {}) {
  const launch = { ...options, executablePath: CHROMIUM, args: [...CHROMIUM_ARGS, ...args] };
  return profile ? chromium.launchPersistentContext(profile, launch) : chromium.launch(launch);
}

module.exports = { exitOf, launchChromium, sleep, startAgent, tempDir, waitUntil };
