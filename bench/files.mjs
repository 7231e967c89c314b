// File-channel throughput on loopback, both ways, and the host's memory while it receives:
// starts the dev server and the real host, opens one viewer page, then for each size
//   page → host: the page sends a file of that size (viewer.files.send); timed from the
//                send until the host has stored all of it; the host's resident memory is
//                sampled every 50 ms (it should stay flat: chunks go straight to disk);
//   host → page: the file is copied on the X clipboard (text/uri-list, through xclip) and the
//                page asks for it ("clip-get"); timed from the page's "begin" to its "end".
// Also the host's CPU over each transfer, and its peak memory while it sends five copied files
// of 150 MiB (read piece by piece as they go) and receives a 200 MiB upload at the same time.
// Prints numbers and asserts nothing.
//
// Run it through bench/run-files (network namespace with loopback only, its own D-Bus session,
// keyring and Xvfb). Options:
//   --sizes=LIST   MiB per transfer (default 50,200)
//   --no-both      leave out the both-ways case

import fs from 'node:fs';
import path from 'node:path';
import {
  HOST_BIN, startChild, stopChild, startDevServer, waitFor, sleep, startHost, linkHost,
  launchBrowser, viewerUrl, openViewerPage, closeViewer, makeTempDir,
} from '../tests/e2e/harness.mjs';
import { runBench } from './runner.mjs';
import { cpuSnapshot, cpuBetween, residentKiB } from './proc.mjs';

const WAIT = 30000;
const MiB = 1024 * 1024;
const sizeArg = process.argv.slice(2).find((a) => a.startsWith('--sizes='));
const SIZES = (sizeArg ? sizeArg.slice('--sizes='.length) : '50,200').split(',').map(Number);

let dev = null;
let host = null;
let configDir = null;
let browser = null;
let scratch = null;
const pageLogs = [];

// Largest resident memory of `pid` until `promise` settles, sampled every 50 ms.
async function peakWhile(pid, promise) {
  let peak = residentKiB(pid) || 0;
  let done = false;
  const result = promise.finally(() => { done = true; });
  while (!done) {
    peak = Math.max(peak, residentKiB(pid) || 0);
    await sleep(50);
  }
  return { result: await result, peakKiB: peak };
}

async function pageToHost(page, bytes) {
  const stored = path.join(configDir, 'Velquin 收到的檔案', `up-${bytes}.bin`);
  const before = residentKiB(host.pid);
  const cpu0 = cpuSnapshot(host.pid);
  const started = Date.now();
  const sent = page.evaluate(async (n) => {
    const data = new Uint8Array(n);
    for (let i = 0; i < n; i += 4096) data[i] = i & 0xff;
    return window.viewer.files.send(new Blob([data]), { name: `up-${n}.bin`, mime: 'application/octet-stream', kind: 'file' });
  }, bytes).then(() => waitFor('the host to store the file',
    () => fs.existsSync(stored) && fs.statSync(stored).size === bytes, { timeoutMs: 600000, intervalMs: 20 }));
  const { peakKiB } = await peakWhile(host.pid, sent);
  const ms = Date.now() - started;
  const cpu = cpuBetween(cpu0, cpuSnapshot(host.pid));
  fs.rmSync(stored, { force: true });
  return { ms, before, peakKiB, hostPct: cpu.hostPct };
}

async function hostToPage(page, bytes) {
  const file = path.join(scratch, `down-${bytes}.bin`);
  fs.writeFileSync(file, Buffer.alloc(bytes, 7));
  const owner = startChild('xclip', ['-selection', 'clipboard', '-quiet', '-t', 'text/uri-list', '-i'],
    { stdio: ['pipe', 'pipe', 'pipe'] });
  owner.stdin.end(`file://${file}\r\n`);
  await sleep(300);
  const cpu0 = cpuSnapshot(host.pid);
  const count = await page.evaluate(() => window.viewer.files.received.length);
  await page.evaluate(() => window.viewer.send({ t: 'clip-get' }));
  const entry = await waitFor('the file on the page', () => page.evaluate((n) => window.viewer.files.received[n] || null, count),
    { timeoutMs: 600000, intervalMs: 50 });
  const cpu = cpuBetween(cpu0, cpuSnapshot(host.pid));
  await stopChild(owner);
  fs.rmSync(file, { force: true });
  await page.evaluate((n) => {
    URL.revokeObjectURL(window.viewer.files.received[n].url);
  }, count);
  if (entry.size !== bytes) throw new Error(`the page got ${entry.size} bytes of ${bytes}`);
  return { ms: entry.endedAt - entry.beganAt, hostPct: cpu.hostPct };
}

// Five copied files of 150 MiB asked for at once, while the page uploads 200 MiB.
async function bothWaysAtOnce(page) {
  const files = [1, 2, 3, 4, 5].map((i) => path.join(scratch, `copied-${i}.bin`));
  for (const file of files) fs.writeFileSync(file, Buffer.alloc(150 * MiB, 3));
  const owner = startChild('xclip', ['-selection', 'clipboard', '-quiet', '-t', 'text/uri-list', '-i'],
    { stdio: ['pipe', 'pipe', 'pipe'] });
  owner.stdin.end(files.map((f) => `file://${f}\r\n`).join(''));
  await sleep(300);
  const before = residentKiB(host.pid);
  const count = await page.evaluate(() => window.viewer.files.received.length);
  const started = Date.now();
  await page.evaluate(() => window.viewer.send({ t: 'clip-get' }));
  const both = Promise.all([
    pageToHost(page, 200 * MiB),
    waitFor('five files on the page', () => page.evaluate((n) => window.viewer.files.received.length >= n + 5, count),
      { timeoutMs: 900000, intervalMs: 100 }),
  ]);
  const { peakKiB } = await peakWhile(host.pid, both);
  const ms = Date.now() - started;
  await stopChild(owner);
  for (const file of files) fs.rmSync(file, { force: true });
  await page.evaluate(() => {
    for (const r of window.viewer.files.received) URL.revokeObjectURL(r.url);
    window.viewer.files.received.length = 0;
  });
  console.log(`5 × 150 MiB copied files to the page with a 200 MiB upload at once: ${(ms / 1000).toFixed(1)} s,`
    + ` host RSS ${(before / 1024).toFixed(0)} → peak ${(peakKiB / 1024).toFixed(0)} MiB`);
}

async function main() {
  if (!process.env.DISPLAY) throw new Error('DISPLAY is not set: run through bench/run-files');
  if (!fs.existsSync(HOST_BIN)) throw new Error(`host binary not found: ${HOST_BIN} (set VELQUIN_HOST_BIN)`);
  dev = await startDevServer();
  ({ host, configDir } = startHost(dev, 'velquin-bench-config-'));
  const hostId = await linkHost(dev, host);
  scratch = makeTempDir('velquin-bench-files-');
  browser = await launchBrowser();
  const page = await openViewerPage(browser, viewerUrl(dev.base, hostId, 'H264'), { label: 'files', logs: pageLogs, timeoutMs: WAIT });
  await waitFor('the file channel to open', () => page.evaluate(() => window.viewer.fileChannel
    && window.viewer.fileChannel.readyState === 'open'), { timeoutMs: WAIT });
  // The first transfer of a connection is slower while the transport warms up: not counted.
  await pageToHost(page, 4 * MiB);

  console.log(`host ${hostId} (pid ${host.pid}); one page over loopback; sizes in MiB`);
  console.log('direction     size   time ms   MiB/s   host CPU %   host RSS before → peak MiB');
  for (const mib of SIZES) {
    const up = await pageToHost(page, mib * MiB);
    console.log(`page → host ${String(mib).padStart(6)} ${String(up.ms).padStart(9)} ${(mib / (up.ms / 1000)).toFixed(1).padStart(7)}`
      + ` ${up.hostPct.toFixed(0).padStart(12)}   ${(up.before / 1024).toFixed(0)} → ${(up.peakKiB / 1024).toFixed(0)}`);
    const down = await hostToPage(page, mib * MiB);
    console.log(`host → page ${String(mib).padStart(6)} ${down.ms.toFixed(0).padStart(9)} ${(mib / (down.ms / 1000)).toFixed(1).padStart(7)}`
      + ` ${down.hostPct.toFixed(0).padStart(12)}`);
  }
  if (!process.argv.includes('--no-both')) await bothWaysAtOnce(page);
  await closeViewer(page);
}

await runBench('files', main, () => ({ browser, host, dev, pageLogs, dirs: [configDir, scratch].filter(Boolean) }));
