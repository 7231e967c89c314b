// A long session, to see whether the host's memory stays flat: one viewer page watches a
// changing desktop while it moves the pointer, clicks, types keys and text, sets and reads the
// clipboard, asks for screenshots and uploads files, in a loop, for --minutes (default 10).
// The host's resident memory, descriptors and threads are printed once a minute, with the
// difference between the first minute's mark and the end. Prints numbers and asserts nothing.
//
// Run it through bench/run-soak (network namespace with loopback only, its own D-Bus session,
// keyring and Xvfb). Options:
//   --minutes=N    how long (default 10)
//   --file-mib=N   size of each upload (default 16)

import fs from 'node:fs';
import path from 'node:path';
import {
  HOST_BIN, startChild, stopChild, startDevServer, waitFor, sleep, startHost, linkHost,
  launchBrowser, viewerUrl, openViewerPage, closeViewer, processHoldings,
} from '../tests/e2e/harness.mjs';
import { runBench } from './runner.mjs';
import { cpuSnapshot, cpuBetween } from './proc.mjs';

const WAIT = 30000;
const MiB = 1024 * 1024;
const option = (name, fallback) => {
  const arg = process.argv.slice(2).find((a) => a.startsWith(`--${name}=`));
  return arg ? Number(arg.slice(name.length + 3)) : fallback;
};
const MINUTES = option('minutes', 10);
const FILE_MIB = option('file-mib', 16);
const PAINTER = process.env.VELQUIN_SCENE_PAINTER || HOST_BIN.replace(/host\/velquin-host$/, 'bench/scene_painter');

let dev = null;
let host = null;
let configDir = null;
let browser = null;
let painter = null;
const pageLogs = [];

function send(page, message) {
  return page.evaluate((m) => window.viewer.send(m), message);
}

// One round of what a user does: about two seconds of pointer, keys and text.
async function handsOn(page, round) {
  for (let i = 0; i < 30; i += 1) {
    const a = (round * 30 + i) / 40;
    await send(page, { t: 'abs', x: 0.5 + 0.4 * Math.cos(a), y: 0.5 + 0.4 * Math.sin(a) });
    await sleep(33);
  }
  await send(page, { t: 'btn', b: 0, d: true });
  await send(page, { t: 'btn', b: 0, d: false });
  for (const code of ['KeyH', 'KeyI', 'Space', 'Digit1', 'Backspace']) {
    await send(page, { t: 'key', code, d: true });
    await send(page, { t: 'key', code, d: false });
  }
  await send(page, { t: 'text', s: `soak ${round} 你好` });
  await send(page, { t: 'wheel', dx: 0, dy: round % 2 ? 40 : -40 });
}

async function upload(page, bytes, stored) {
  await page.evaluate(async (n) => {
    const data = new Uint8Array(n);
    for (let i = 0; i < n; i += 4096) data[i] = i & 0xff;
    await window.viewer.files.send(new Blob([data]), { name: 'soak.bin', mime: 'application/octet-stream', kind: 'file' });
  }, bytes);
  await waitFor('the upload stored', () => fs.existsSync(stored) && fs.statSync(stored).size === bytes, { timeoutMs: 120000, intervalMs: 50 });
  fs.rmSync(stored, { force: true });
}

// A screenshot back to the page, and the clipboard there and back.
async function roundTrips(page, round) {
  const count = await page.evaluate(() => window.viewer.files.received.length);
  await send(page, { t: 'screenshot' });
  await waitFor('the screenshot on the page', () => page.evaluate((n) => window.viewer.files.received.length > n, count),
    { timeoutMs: WAIT, intervalMs: 50 });
  await send(page, { t: 'clip-set', text: `soak clipboard ${round}` });
  await send(page, { t: 'clip-get' });
  await page.evaluate(() => {
    for (const r of window.viewer.files.received) URL.revokeObjectURL(r.url);
    window.viewer.files.received.length = 0;
    window.viewer.messages.length = 0;
  });
}

async function main() {
  if (!process.env.DISPLAY) throw new Error('DISPLAY is not set: run through bench/run-soak');
  if (!fs.existsSync(HOST_BIN)) throw new Error(`host binary not found: ${HOST_BIN} (set VELQUIN_HOST_BIN)`);
  dev = await startDevServer();
  if (fs.existsSync(PAINTER)) painter = startChild(PAINTER, ['office']);
  ({ host, configDir } = startHost(dev, 'velquin-bench-soak-'));
  const hostId = await linkHost(dev, host);
  browser = await launchBrowser();
  const page = await openViewerPage(browser, viewerUrl(dev.base, hostId, 'H264'), { label: 'soak', logs: pageLogs, timeoutMs: WAIT });
  await waitFor('a decoded frame', () => page.evaluate(() => window.viewer.stats.framesDecoded > 0), { timeoutMs: WAIT });
  await waitFor('the file channel to open', () => page.evaluate(() => window.viewer.fileChannel
    && window.viewer.fileChannel.readyState === 'open'), { timeoutMs: WAIT });
  const stored = path.join(configDir, 'Velquin 收到的檔案', 'soak.bin');

  console.log(`host ${hostId} (pid ${host.pid}); one page; ${MINUTES} min of pointer, keys, text, clipboard,`
    + ` screenshots and ${FILE_MIB} MiB uploads; desktop: ${painter ? 'office scene' : 'as it is'}`);
  console.log('minute  host RSS MiB  heap+stacks MiB  descriptors  threads  host CPU %  frames decoded  uploads');
  const started = Date.now();
  const samples = [];
  let cpu0 = cpuSnapshot(host.pid);
  let uploads = 0;
  let round = 0;
  const mark = (minute) => {
    const h = processHoldings(host.pid);
    const cpu = cpuBetween(cpu0, cpuSnapshot(host.pid));
    cpu0 = cpuSnapshot(host.pid);
    samples.push({ minute, ...h });
    return page.evaluate(() => window.viewer.stats.framesDecoded).then((frames) => {
      console.log(`${String(minute).padStart(6)}  ${(h.rss / 1024).toFixed(1).padStart(12)}  ${(h.anon / 1024).toFixed(1).padStart(15)}`
        + `  ${String(h.fds).padStart(11)}  ${String(h.threads).padStart(7)}  ${cpu.hostPct.toFixed(1).padStart(10)}`
        + `  ${String(frames).padStart(14)}  ${String(uploads).padStart(7)}`);
    });
  };
  await mark(0);
  let nextMinute = 1;
  while (Date.now() - started < MINUTES * 60000) {
    if (host.exitCode !== null) throw new Error('the host exited');
    await handsOn(page, round);
    if (round % 5 === 0) {
      await upload(page, FILE_MIB * MiB, stored);
      uploads += 1;
    }
    if (round % 3 === 0) await roundTrips(page, round);
    round += 1;
    if (Date.now() - started >= nextMinute * 60000) await mark(nextMinute++);
  }
  const first = samples.find((s) => s.minute === 1) || samples[0];
  const last = samples[samples.length - 1];
  console.log(`host RSS at the start ${(samples[0].rss / 1024).toFixed(1)} MiB, after the first minute`
    + ` ${(first.rss / 1024).toFixed(1)} MiB, at the end ${(last.rss / 1024).toFixed(1)} MiB:`
    + ` ${((last.rss - first.rss) / 1024).toFixed(1)} MiB from the first minute to the end (${round} rounds, ${uploads} uploads)`);
  await closeViewer(page);
}

await runBench('soak', main, () => ({
  browser, host, dev, pageLogs, stops: painter ? [() => stopChild(painter)] : [], dirs: [configDir],
}));
