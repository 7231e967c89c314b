// Child processes, HTTP helpers, the host and the viewer pages for the end-to-end tests and
// bench/viewers-cpu.mjs. Every child started here is remembered by pid and stopped by pid, also
// when the test process dies early.

import { execFileSync, spawn } from 'node:child_process';
import http from 'node:http';
import fs from 'node:fs';
import os from 'node:os';
import path from 'node:path';
import { createRequire } from 'node:module';
import { fileURLToPath } from 'node:url';

export const REPO_ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '..', '..');

const require = createRequire(path.join(REPO_ROOT, 'tools', 'package.json'));
const { chromium } = require('playwright-core');

export const HOST_BIN = process.env.VELQUIN_HOST_BIN || path.join(REPO_ROOT, 'build/host/velquin-host');
export const CHROMIUM = '/usr/bin/chromium';

const children = new Set();
const tempDirs = new Set();

process.on('exit', () => {
  for (const child of children) {
    try { process.kill(child.pid, 'SIGKILL'); } catch { /* already gone */ }
  }
  for (const dir of tempDirs) fs.rmSync(dir, { recursive: true, force: true });
});

export function makeTempDir(prefix) {
  const dir = fs.mkdtempSync(path.join(os.tmpdir(), prefix));
  tempDirs.add(dir);
  return dir;
}

export function removeTempDir(dir) {
  if (!dir) return;
  fs.rmSync(dir, { recursive: true, force: true });
  tempDirs.delete(dir);
}

export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// Keeps the tail of a stream's text, so a chatty child cannot eat memory.
export class TextTail {
  constructor(limit = 256 * 1024) {
    this.text = '';
    this.limit = limit;
    this.dropped = 0;
  }
  append(chunk) {
    this.text += chunk;
    if (this.text.length > this.limit) {
      const cut = this.text.length - this.limit;
      this.dropped += cut;
      this.text = this.text.slice(cut);
    }
  }
  // Position that stays valid across trimming: total characters seen so far.
  get mark() {
    return this.dropped + this.text.length;
  }
  since(mark) {
    return this.text.slice(Math.max(0, mark - this.dropped));
  }
}

export function startChild(command, args, options = {}) {
  const child = spawn(command, args, { stdio: ['ignore', 'pipe', 'pipe'], ...options });
  children.add(child);
  child.output = new TextTail();
  for (const stream of [child.stdout, child.stderr]) {
    if (!stream) continue;
    stream.setEncoding('utf8');
    stream.on('data', (d) => child.output.append(d));
  }
  child.exited = new Promise((resolve) => {
    child.on('exit', (code, signal) => {
      children.delete(child);
      resolve({ code, signal });
    });
    child.on('error', (err) => {
      children.delete(child);
      child.output.append(`[spawn error] ${err.message}\n`);
      resolve({ code: null, signal: null, error: err });
    });
  });
  return child;
}

export async function stopChild(child, graceMs = 5000) {
  if (!child || child.exitCode !== null || child.signalCode !== null || !children.has(child)) {
    if (child) await child.exited;
    return;
  }
  try { process.kill(child.pid, 'SIGTERM'); } catch { /* gone */ }
  const done = await Promise.race([child.exited.then(() => true), sleep(graceMs).then(() => false)]);
  if (!done) {
    try { process.kill(child.pid, 'SIGKILL'); } catch { /* gone */ }
    await child.exited;
  }
}

export async function startDevServer() {
  const child = startChild(process.execPath, [path.join(REPO_ROOT, 'tools/devserver/server.js'), '--port', '0'], {
    cwd: REPO_ROOT,
  });
  let stdout = '';
  const base = await new Promise((resolve, reject) => {
    const timer = setTimeout(() => reject(new Error(`dev server did not start:\n${child.output.text}`)), 10000);
    child.stdout.on('data', (d) => {
      stdout += d;
      const m = /devserver listening on (http:\/\/127\.0\.0\.1:\d+)/.exec(stdout);
      if (m) { clearTimeout(timer); resolve(m[1]); }
    });
    child.exited.then(() => { clearTimeout(timer); reject(new Error(`dev server exited:\n${child.output.text}`)); });
  });
  return { child, base, port: Number(new URL(base).port) };
}

function request(method, url, body) {
  return new Promise((resolve, reject) => {
    const data = body === undefined ? null : Buffer.from(JSON.stringify(body));
    const req = http.request(url, {
      method,
      headers: data ? { 'Content-Type': 'application/json', 'Content-Length': data.length } : {},
      timeout: 5000,
    }, (res) => {
      let text = '';
      res.setEncoding('utf8');
      res.on('data', (d) => { text += d; });
      res.on('end', () => {
        let json = null;
        try { json = JSON.parse(text); } catch { /* not JSON */ }
        resolve({ status: res.statusCode, json, text });
      });
    });
    req.on('timeout', () => req.destroy(new Error(`${method} ${url}: timed out`)));
    req.on('error', reject);
    if (data) req.write(data);
    req.end();
  });
}

export async function getJson(url) {
  const res = await request('GET', url);
  if (res.status !== 200) throw new Error(`GET ${url}: ${res.status} ${res.text}`);
  return res.json;
}

export async function postJson(url, body = {}) {
  const res = await request('POST', url, body);
  if (res.status !== 200) throw new Error(`POST ${url}: ${res.status} ${res.text}`);
  return res.json;
}

// An error that ends a waitFor at once instead of being retried.
export function fatal(message) {
  const err = new Error(message);
  err.fatal = true;
  return err;
}

// Polls fn until it returns something truthy; fails with `what` after timeoutMs.
export async function waitFor(what, fn, { timeoutMs = 20000, intervalMs = 200 } = {}) {
  const deadline = Date.now() + timeoutMs;
  let lastError = null;
  for (;;) {
    try {
      const value = await fn();
      if (value) return value;
    } catch (err) {
      if (err.fatal) throw err;
      lastError = err;
    }
    if (Date.now() > deadline) {
      throw new Error(`timed out after ${timeoutMs} ms waiting for ${what}${lastError ? `: ${lastError.message}` : ''}`);
    }
    await sleep(intervalMs);
  }
}

// Caps the loopback interface at `rate` (tc's form, e.g. "3mbit") with a token bucket and a
// 50 ms queue, or changes the cap; only ever inside a network namespace of the caller's own.
// A token bucket drops every packet bigger than its burst: loopback's 64 KiB MTU would stall
// TCP altogether, so packets are cut to an Ethernet's size first.
export function shapeLoopback(rate, { change = false } = {}) {
  execFileSync('ip', ['link', 'set', 'dev', 'lo', 'mtu', '1500']);
  execFileSync('tc', ['qdisc', change ? 'change' : 'replace', 'dev', 'lo', 'root', 'tbf', 'rate', rate,
    'burst', '32kbit', 'latency', '50ms']);
}

export function unshapeLoopback() {
  try {
    execFileSync('tc', ['qdisc', 'del', 'dev', 'lo', 'root'], { stdio: 'ignore' });
  } catch {
    // nothing was shaped
  }
}

// Packet filters on the namespace's loopback (nftables), for loss and per-phone caps: one table
// of ours, rules added to its input chain; clearNetworkFilters removes it.
const NFT_TABLE = 'velquin_e2e';
function nft(...args) {
  execFileSync('nft', args, { stdio: ['ignore', 'ignore', 'pipe'] });
}
function ensureNftChain() {
  nft('add', 'table', 'inet', NFT_TABLE);
  nft('add', 'chain', 'inet', NFT_TABLE, 'in', '{ type filter hook input priority 0; }');
}

// Drops `percent` % of all UDP packets at random.
export function dropRandomly(percent) {
  ensureNftChain();
  nft('add', 'rule', 'inet', NFT_TABLE, 'in', 'meta', 'l4proto', 'udp', 'numgen', 'random', 'mod', '100', '<',
    String(percent), 'drop');
}

// Polices the UDP packets to one port (a phone's end of its connection) to `kbytesPerSecond`.
export function capPort(port, kbytesPerSecond) {
  ensureNftChain();
  nft('add', 'rule', 'inet', NFT_TABLE, 'in', 'udp', 'dport', String(port), 'limit', 'rate', 'over',
    `${kbytesPerSecond}`, 'kbytes/second', 'burst', '24', 'kbytes', 'drop');
}

export function clearNetworkFilters() {
  try {
    nft('delete', 'table', 'inet', NFT_TABLE);
  } catch {
    // nothing was filtered
  }
}

// Repaints the root window in alternating colours so the screen keeps changing.
export function startRootFlicker(periodMs = 200) {
  const colours = ['#203040', '#405060', '#602030', '#306020'];
  let stopped = false;
  let current = null;
  const loop = (async () => {
    for (let i = 0; !stopped; i += 1) {
      current = startChild('xsetroot', ['-solid', colours[i % colours.length]], { stdio: ['ignore', 'ignore', 'ignore'] });
      const started = Date.now();
      await current.exited;
      current = null;
      await sleep(Math.max(0, periodMs - (Date.now() - started)));
    }
  })();
  return async () => {
    stopped = true;
    if (current) await stopChild(current, 1000);
    await loop;
  };
}

// ---- the host ---------------------------------------------------------------------------

export function assertHostRunning(host) {
  if (host.exitCode !== null || host.signalCode !== null) {
    throw fatal(`the host exited (code ${host.exitCode}, signal ${host.signalCode})`);
  }
}

// What a process holds now: resident memory and its anonymous part (KiB), open file
// descriptors, threads.
export function processHoldings(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kib = (field) => Number(new RegExp(`${field}:\\s+(\\d+) kB`).exec(status)[1]);
  return {
    rss: kib('VmRSS'), anon: kib('RssAnon'),
    fds: fs.readdirSync(`/proc/${pid}/fd`).length, threads: fs.readdirSync(`/proc/${pid}/task`).length,
  };
}

// Starts HOST_BIN against the dev server, with its config in a new temp folder named after
// configPrefix, and `env` over the test's own. Returns { host, configDir } at once; linkHost
// then waits for it.
export function startHost(dev, configPrefix, extraEnv = {}) {
  const configDir = makeTempDir(configPrefix);
  const env = {
    ...process.env,
    // Times on the host's lines, and its clipboard's steps: what a failure's diagnostics need.
    QT_MESSAGE_PATTERN: process.env.QT_MESSAGE_PATTERN || '%{time process} %{category}: %{message}',
    QT_LOGGING_RULES: [process.env.QT_LOGGING_RULES, 'orbel.clipboard.debug=true'].filter(Boolean).join(';'),
    ...extraEnv,
    VELQUIN_ACCOUNT_URL: dev.base,
    VELQUIN_UPDATE_URL: dev.base,
    VELQUIN_SIGNAL_URL: `ws://127.0.0.1:${dev.port}/ws`,
    VELQUIN_ICE_LOOPBACK: '1',
    XDG_CONFIG_HOME: configDir,
    // Received files go to the home folder: keep them with the rest of this run.
    HOME: configDir,
  };
  const host = startChild(HOST_BIN, [], { cwd: configDir, env });
  host.exited.then(({ code, signal }) => host.output.append(`\n[host exited: code ${code}, signal ${signal}]\n`));
  return { host, configDir };
}

// A fresh host asks to be linked; one already linked (keychain) just comes online. Approves
// the link request if there is one and resolves with the id of the host once it is online.
// Hosts already online (`others`, their ids) are not this one.
export async function linkHost(dev, host, others = []) {
  const online = async () => {
    const [state, account] = await Promise.all([getJson(`${dev.base}/control/state`), getJson(`${dev.base}/control/account`)]);
    const registered = new Set(account.hosts.filter((h) => h.registered && !h.revoked).map((h) => h.host_id));
    const h = state.hosts.find((x) => registered.has(x.id) && !others.includes(x.id));
    return h ? h.id : null;
  };
  await waitFor('the host to ask for a link or come online', async () => {
    assertHostRunning(host);
    const account = await getJson(`${dev.base}/control/account`);
    if (account.links.some((l) => l.status === 'pending')) {
      await postJson(`${dev.base}/control/link-approve`, {});
      return true;
    }
    return online();
  }, { timeoutMs: 30000, intervalMs: 200 });
  return waitFor('the linked host to come online', async () => {
    assertHostRunning(host);
    return online();
  }, { timeoutMs: 30000, intervalMs: 200 });
}

// The last `chars` characters of the host's output, without its QR code block.
export function hostOutputTail(host, chars) {
  return host.output.text.slice(-chars).replace(/^[█▀▄ ]+\n/gm, '');
}

// ---- Chromium and the viewer pages ------------------------------------------------------

export const CHROMIUM_ARGS = Object.freeze([
  '--no-sandbox', '--disable-gpu', '--allow-loopback-in-peer-connection',
  // A granted (fake) camera lets the page gather on 127.0.0.1, not just the default route.
  '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
  '--disable-background-networking', '--disable-component-update', '--disable-sync',
  '--no-first-run', '--disable-quic', '--autoplay-policy=no-user-gesture-required',
]);

// Headless /usr/bin/chromium through playwright-core (never a downloaded browser).
export function launchBrowser() {
  return chromium.launch({ executablePath: CHROMIUM, headless: true, args: [...CHROMIUM_ARGS] });
}

export function viewerUrl(base, hostId, codec) {
  const query = new URLSearchParams({ host: hostId });
  if (codec) query.set('codec', codec);
  return `${base}/viewer/?${query}`;
}

// Opens url in a new page, sends the page's console to `logs` under `label`, and waits until
// the page has a viewer id.
export async function openViewerPage(browser, url, { label, logs, timeoutMs }) {
  const page = await browser.newPage({ viewport: { width: 1280, height: 800 } });
  page.on('console', (m) => logs.push(`[${label}] ${m.type()}: ${m.text()}`));
  page.on('pageerror', (e) => logs.push(`[${label}] pageerror: ${e.message}`));
  await page.goto(url);
  await page.waitForFunction(() => window.viewer && window.viewer.viewerId, null, { timeout: timeoutMs });
  return page;
}

// A copy of the page's window.viewer state.
export function viewerState(page) {
  return page.evaluate(() => {
    const v = window.viewer;
    return {
      state: v.state, viewerId: v.viewerId, stats: { ...v.stats }, messages: v.messages.slice(),
      rejected: v.rejected, firstFrameMs: v.firstFrameMs, route: v.route, streamId: v.streamId,
      connection: v.connection, inputClosedAt: v.inputClosedAt, timeline: { ...v.timeline }, now: performance.now(),
    };
  });
}

export async function closeViewer(page) {
  if (!page || page.isClosed()) return;
  await page.evaluate(() => window.viewer && window.viewer.leave()).catch(() => {});
  await page.close().catch(() => {});
}
