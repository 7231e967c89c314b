// Host CPU against the number of viewer pages: starts the dev server and the real host, keeps
// part of the screen changing at a steady rate, then for 0 (idle), 1, 2 and 4 H.264 pages and
// 1 and 2 VP8 pages measures the host process's CPU over a fixed window from /proc/<pid>/stat
// and its resident memory (VmRSS) at the end of the window,
// the whole machine's from /proc/stat, and each page's received bit rate, decoded frames per
// second, average wait in the browser's jitter buffer, glass-to-glass delay (the painter's
// clock read back from each presented frame) and join → first decoded frame. Prints numbers and asserts nothing.
//
// Run it through bench/run-viewers-cpu (network namespace with loopback only, its own D-Bus
// session, keyring and Xvfb). Options:
//   --seconds=N        measuring window per case (default 10)
//   --scenes=LIST      what is on the screen, one table each (default office,whole,still):
//                      office: a still page of text and pictures, of which a region of 1/16
//                      of the screen scrolls at 60 Hz; whole: the whole page scrolls at 60 Hz;
//                      still: the page does not change (bench/ScenePainter.cpp paints them);
//                      tk: a 320x180 window redrawn every 33 ms; root: xsetroot -solid in
//                      alternating colours every 33 ms
//   --cases=LIST       e.g. idle,H264x1,H264x2,H264x4,VP8x1,VP8x2 (the default)
//   --shape=RATE       caps the loopback interface with a token bucket (tc tbf, e.g. 3mbit,
//                      32 kbit burst, 50 ms queue; MTU 1500) once host and browser are up:
//                      every byte between them, both ways, goes through it
//   --steps=LIST       with --shape: changes of the cap during each window, as RATE@SECOND
//                      (e.g. 1500kbit@10,8mbit@20); page 1's frames/s and Mbit/s are then
//                      printed second by second, with how long each step took to recover
//                      (from the change until ≥ 15 frames/s held to the next change)
//   --low=N            the last N pages of each case switch to the "low" quality level once
//                      they decode (mixed levels); the x264 encoders the host has open are
//                      counted from its log (one per level whatever the number of pages)
//   --adaptation=off   the host sends each page its level's maximum whatever the path carries
//                      (VELQUIN_RATE_ADAPTATION=0): the same run without bandwidth adaptation
//   --desktop=mutter   the host on GNOME's Wayland (a headless mutter the bench starts, as the
//                      end-to-end suite does); its scenes: flicker (a full-screen window in
//                      alternating colours every 33 ms, like root on X11) and still
//
// Chromium runs on the same cores as the host and its decoding competes with it; only the
// host's own CPU is attributed, the machine total is there for context.

import fs from 'node:fs';
import { execFileSync } from 'node:child_process';
import {
  HOST_BIN, startChild, stopChild, startDevServer, getJson, waitFor, sleep,
  startRootFlicker, assertHostRunning, startHost, linkHost, launchBrowser,
  viewerUrl, openViewerPage, viewerState, closeViewer, shapeLoopback,
} from '../tests/e2e/harness.mjs';
import { startDesktop } from '../tests/e2e/desktop.mjs';
import { runBench } from './runner.mjs';
import { cpuSnapshot, cpuBetween } from './proc.mjs';

const WAIT = 30000;

function option(name, fallback) {
  const prefix = `--${name}=`;
  const arg = process.argv.slice(2).find((a) => a.startsWith(prefix));
  return arg ? arg.slice(prefix.length) : fallback;
}

const SECONDS = Number(option('seconds', '10'));
const SHAPE = option('shape', '');
const STEPS = option('steps', '').split(',').filter(Boolean).map((step) => {
  const [rate, at] = step.split('@');
  return { rate, at: Number(at) };
});
if (option('adaptation', 'on') === 'off') process.env.VELQUIN_RATE_ADAPTATION = '0';
const DESKTOP = option('desktop', 'x11');
const SCENES = option('scenes', option('pattern', DESKTOP === 'mutter' ? 'flicker,still' : 'office,whole,still')).split(',');
const PAINTER = process.env.VELQUIN_SCENE_PAINTER || HOST_BIN.replace(/host\/velquin-host$/, 'bench/scene_painter');
const CASES = option('cases', 'idle,H264x1,H264x2,H264x4,VP8x1,VP8x2').split(',').map((c) => {
  if (c === 'idle') return { name: 'idle', codec: null, count: 0 };
  const m = /^(H264|VP8)x(\d+)$/.exec(c);
  if (!m) throw new Error(`unknown case ${c}`);
  return { name: c, codec: m[1], count: Number(m[2]) };
});

const LOW = Number(option('low', '0'));
// The host says how many x264 encoders it has open (its WebRTC debug log).
if (LOW > 0) process.env.QT_LOGGING_RULES = 'orbel.webrtc.debug=true';

const NPROC = execFileSync('nproc').toString().trim();

// A small window at a fixed place: a bar sweeping across it, a changing background and a frame
// counter, redrawn every 33 ms. Only that region of the screen changes.
const TK_PATTERN = `
import tkinter as tk
W, H, STEP = 320, 180, 33
root = tk.Tk()
root.overrideredirect(True)
root.geometry(f"{W}x{H}+200+200")
c = tk.Canvas(root, width=W, height=H, highlightthickness=0)
c.pack()
bg = c.create_rectangle(0, 0, W, H, width=0)
bar = c.create_rectangle(0, 0, 24, H, width=0, fill="#f0f0f0")
txt = c.create_text(W // 2, H // 2, fill="#ffff00", font=("TkFixedFont", 28))
n = 0
def tick():
    global n
    n += 1
    c.itemconfigure(bg, fill="#%02x%02x%02x" % ((n * 7) % 256, (n * 3) % 256, 96))
    x = (n * 9) % (W - 24)
    c.coords(bar, x, 0, x + 24, H)
    c.itemconfigure(txt, text=str(n))
    root.after(STEP, tick)
tick()
root.mainloop()
`;

// ---- processes --------------------------------------------------------------------------

let dev = null;
let host = null;
let hostId = null;
let configDir = null;
let stopPattern = null;
let browser = null;
let desktop = null;
const pageLogs = [];

// Started and linked by the same code as the end-to-end suite (tests/e2e/harness.mjs).
async function startLinkedHost() {
  ({ host, configDir } = startHost(dev, 'velquin-bench-config-', desktop.env));
  hostId = await linkHost(dev, host);
  await desktop.openApplications();
}

const PAINTED = {
  office: 'office: a still page, a 480x270 region of it scrolling 4 px per frame at 60 Hz, and a clock',
  whole: 'whole: the whole 1920x1080 page scrolling 4 px per frame at 60 Hz, and a clock',
  still: 'still: the page, painted once',
};

// Returns a stop function; falls back to the root window when tkinter is not there.
async function startPattern(scene) {
  if (desktop.kind === 'mutter') {
    if (scene === 'flicker') {
      await desktop.flicker(33);
      return { what: 'flicker: a full-screen window in 4 alternating colours every 33 ms (on mutter)', stop: () => desktop.flicker(0) };
    }
    if (scene === 'still') return { what: 'still: a full-screen window in one colour (on mutter)', stop: async () => {} };
    throw new Error(`scene ${scene} is not there on mutter (flicker, still)`);
  }
  if (PAINTED[scene]) {
    // The moving scenes carry the painter's clock, read back from the video for glass-to-glass.
    const child = startChild(PAINTER, scene === 'still' ? [scene] : [scene, '--clock']);
    await sleep(1000);
    if (child.exitCode !== null || child.signalCode !== null) throw new Error(`scene painter: ${child.output.text}`);
    return { what: PAINTED[scene], stop: () => stopChild(child, 2000) };
  }
  if (scene === 'tk') {
    const child = startChild('python3', ['-c', TK_PATTERN]);
    await sleep(1500);
    if (child.exitCode === null && child.signalCode === null) {
      return { what: 'tk: 320x180 window at +200+200, redrawn every 33 ms (sweeping bar, changing colour, counter)', stop: () => stopChild(child, 2000) };
    }
    console.log(`tkinter pattern did not start, using the root window:\n${child.output.text.trim()}`);
  }
  const stop = startRootFlicker(33);
  return { what: 'root: xsetroot -solid, 4 alternating colours every 33 ms (whole screen)', stop };
}

// ---- pages ------------------------------------------------------------------------------

function openViewer(label, codec) {
  return openViewerPage(browser, viewerUrl(dev.base, hostId, codec), { label, logs: pageLogs, timeoutMs: WAIT });
}

// The page refreshes its stats every 500 ms: wait for the next refresh so the frame count and
// the page's clock belong together.
function framesMark(page) {
  return page.evaluate(async () => {
    const v = window.viewer;
    const f0 = v.stats.framesDecoded;
    const t0 = performance.now();
    while (v.stats.framesDecoded === f0 && performance.now() - t0 < 1500) {
      await new Promise((r) => setTimeout(r, 10));
    }
    const s = v.stats;
    return {
      frames: s.framesDecoded, bytes: s.bytesReceived, jitterS: s.jitterBufferDelay, jitterFrames: s.jitterBufferEmitted,
      decodeS: s.totalDecodeTime, processingS: s.totalProcessingDelay,
      freezes: s.freezeCount, frozenS: s.totalFreezesDuration, at: performance.now(),
    };
  });
}

// The host's resident memory now and at its peak, in MiB.
function memory(pid) {
  const status = fs.readFileSync(`/proc/${pid}/status`, 'utf8');
  const kib = (key) => Number((new RegExp(`^${key}:\\s+(\\d+) kB`, 'm').exec(status) || [])[1] || 0);
  return { rssMiB: kib('VmRSS') / 1024, peakMiB: kib('VmHWM') / 1024, anonMiB: kib('RssAnon') / 1024, fileMiB: kib('RssFile') / 1024,
    threads: Number((/^Threads:\s+(\d+)/m.exec(status) || [])[1] || 0) };
}

// ---- glass to glass ---------------------------------------------------------------------

// For every frame the page presents, reads the clock that bench/ScenePainter.cpp paints
// (--clock: 24 blocks of 16 px at 16,16, the bits below inverted) and keeps shown − painted.
function startClockReader(page) {
  return page.evaluate(({ bits, block, x0, y0, screenWidth }) => {
    const video = document.getElementById('video');
    const canvas = document.createElement('canvas');
    const context = canvas.getContext('2d', { willReadFrequently: true });
    const reader = { samples: [], misreads: 0, running: true };
    window.clockReader = reader;
    const modulus = 2 ** bits;
    const step = (now, frame) => {
      if (!reader.running) return;
      const scale = video.videoWidth / screenWidth;
      const width = Math.ceil(bits * block * scale);
      const height = Math.ceil(2 * block * scale);
      if (width > 0 && height > 0) {
        canvas.width = width;
        canvas.height = height;
        context.drawImage(video, x0 * scale, y0 * scale, bits * block * scale, 2 * block * scale, 0, 0, width, height);
        const data = context.getImageData(0, 0, width, height).data;
        const light = (x, y) => { const i = (y * width + x) * 4; return data[i] + data[i + 1] + data[i + 2] > 384; };
        let value = 0;
        let ok = true;
        for (let bit = 0; bit < bits && ok; bit += 1) {
          const x = Math.floor((bit + 0.5) * block * scale);
          const top = light(x, Math.floor(0.5 * block * scale));
          ok = top !== light(x, Math.floor(1.5 * block * scale));
          value = value * 2 + (top ? 1 : 0);
        }
        const shown = Math.floor(performance.timeOrigin + frame.expectedDisplayTime);
        const delay = (((shown % modulus) - value) % modulus + modulus) % modulus;
        // The browser's share: the frame's last packet in → shown.
        const inBrowser = frame.receiveTime ? frame.expectedDisplayTime - frame.receiveTime : null;
        if (ok && delay < 5000) reader.samples.push({ at: now, delay, inBrowser });
        else reader.misreads += 1;
      }
      video.requestVideoFrameCallback(step);
    };
    video.requestVideoFrameCallback(step);
  }, { bits: 24, block: 16, x0: 16, y0: 16, screenWidth: 1920 });
}

async function stopClockReader(page) {
  const { samples, misreads } = await page.evaluate(() => {
    const reader = window.clockReader;
    reader.running = false;
    return { samples: reader.samples, misreads: reader.misreads };
  });
  const delays = samples.map((s) => s.delay);
  const inBrowser = samples.map((s) => s.inBrowser).filter((ms) => ms !== null);
  return delays.length ? {
    samples: delays.length, misreads, p50: quantile(delays, 0.5), p95: quantile(delays, 0.95), timed: samples,
    inBrowserP50: inBrowser.length ? Math.round(quantile(inBrowser, 0.5)) : null,
  } : { samples: 0, misreads, timed: [] };
}

function quantile(values, q) {
  const sorted = values.slice().sort((a, b) => a - b);
  return sorted[Math.min(sorted.length - 1, Math.floor(q * sorted.length))];
}

function ms(value) {
  return value === null ? '-' : `${value.toFixed(1)} ms`;
}

function g2gText(g) {
  if (!g.samples) return `- (${g.misreads} unread)`;
  const browser = g.inBrowserP50 === null ? '' : `; last packet in → shown p50 ${g.inBrowserP50} ms`;
  return `p50 ${g.p50} ms, p95 ${g.p95} ms (${g.samples} frames, ${g.misreads} unread${browser})`;
}

// ---- one case ---------------------------------------------------------------------------

// The measuring window. With --steps, the cap changes on time and page 1 is sampled every
// second; returns those samples (or null).
async function measureWindow(pages) {
  if (!STEPS.length || !SHAPE || !pages.length) {
    await sleep(SECONDS * 1000);
    return null;
  }
  shapeLoopback(SHAPE, { change: true });
  const samples = [];
  let last = await framesMark(pages[0]);
  const start = Date.now();
  for (let second = 1; second <= SECONDS; second += 1) {
    await sleep(Math.max(0, start + second * 1000 - Date.now()));
    const step = STEPS.find((s) => s.at === second);
    if (step) shapeLoopback(step.rate, { change: true });
    const now = await framesMark(pages[0]);
    const ms = now.at - last.at;
    samples.push({ second, from: last.at, to: now.at, fps: ((now.frames - last.frames) * 1000) / ms, mbps: ((now.bytes - last.bytes) * 8) / ms / 1000, step });
    last = now;
  }
  return samples;
}

// Page 1 second by second: frames/s, Mbit/s and the glass-to-glass p95 of the frames shown in
// that second ("-" when none was read), then how long each change of the cap took to recover.
function printTrace(samples, clock) {
  for (const s of samples) {
    const delays = clock.timed.filter((c) => c.at > s.from && c.at <= s.to).map((c) => c.delay);
    s.g2g = delays.length ? quantile(delays, 0.95) : null;
  }
  console.log(`  page 1, second by second (cap ${SHAPE} from 0, ${STEPS.map((s) => `${s.rate} from ${s.at}`).join(', ')}),`);
  console.log('  as second:frames/s/Mbit/s/glass-to-glass p95 ms:');
  for (let i = 0; i < samples.length; i += 10) {
    console.log(`    ${samples.slice(i, i + 10).map((s) => `${s.second}:${s.fps.toFixed(0)}/${s.mbps.toFixed(1)}/${s.g2g ?? '-'}`).join(' ')}`);
  }
  const good = (s) => s.fps >= 15 && s.g2g !== null && s.g2g < 250;
  const changes = [0, ...STEPS.map((s) => s.at)];
  changes.forEach((at, i) => {
    const end = i + 1 < changes.length ? changes[i + 1] : samples.length;
    const span = samples.filter((s) => s.second > at && s.second <= end);
    const firstGood = span.findIndex((s, j) => span.slice(j).every(good));
    const rate = i === 0 ? SHAPE : STEPS[i - 1].rate;
    console.log(`    ${rate} from ${at} s: ${firstGood < 0 ? 'not recovered' : `≥ 15 frames/s and p95 < 250 ms from ${firstGood} s after the change`}`);
  });
}

async function runCase(c) {
  const pages = [];
  const perPage = [];
  try {
    for (let i = 0; i < c.count; i += 1) pages.push(await openViewer(`${c.name}-${i + 1}`, c.codec));
    await Promise.all(pages.map((page, i) => waitFor(`${c.name} page ${i + 1}: a decoded frame`, async () => {
      assertHostRunning(host);
      const v = await viewerState(page);
      if (v.rejected) throw Object.assign(new Error(`rejected: ${JSON.stringify(v.rejected)}`), { fatal: true });
      return v.stats.framesDecoded > 0 && v.firstFrameMs !== null;
    }, { timeoutMs: WAIT, intervalMs: 100 })));
    const low = pages.slice(Math.max(0, pages.length - LOW));
    for (const page of low) await page.evaluate(() => window.viewer.send({ t: 'quality', level: 'low' }));
    // The stream may start smaller; measure at the full size.
    await Promise.all(pages.filter((page) => !low.includes(page)).map((page) => waitFor('full size', async () => {
      const s = (await viewerState(page)).stats;
      return s.width === 1920 && s.height === 1080;
    }, { timeoutMs: 10000, intervalMs: 250 }).catch(() => null)));
    await sleep(2000);

    await Promise.all(pages.map(startClockReader));
    const marks0 = await Promise.all(pages.map(framesMark));
    const a = cpuSnapshot(host.pid);
    const trace = await measureWindow(pages);
    const b = cpuSnapshot(host.pid);
    const marks1 = await Promise.all(pages.map(framesMark));
    const clocks = await Promise.all(pages.map(stopClockReader));
    assertHostRunning(host);

    for (let i = 0; i < pages.length; i += 1) {
      const v = await viewerState(pages[i]);
      const ms = marks1[i].at - marks0[i].at;
      const fps = ((marks1[i].frames - marks0[i].frames) * 1000) / ms;
      const mbps = ((marks1[i].bytes - marks0[i].bytes) * 8) / ms / 1000;
      const emitted = marks1[i].jitterFrames - marks0[i].jitterFrames;
      const jitterMs = emitted > 0 ? ((marks1[i].jitterS - marks0[i].jitterS) * 1000) / emitted : null;
      const decoded = marks1[i].frames - marks0[i].frames;
      const perFrame = (key) => (decoded > 0 ? ((marks1[i][key] - marks0[i][key]) * 1000) / decoded : null);
      const decodeMs = perFrame('decodeS');
      const processingMs = perFrame('processingS');
      const freezes = marks1[i].freezes - marks0[i].freezes;
      const frozenS = marks1[i].frozenS - marks0[i].frozenS;
      perPage.push({ fps, mbps, jitterMs, decodeMs, processingMs, freezes, frozenS, g2g: clocks[i], firstFrameMs: v.firstFrameMs, timeline: v.timeline || {}, codec: v.stats.codec, size: `${v.stats.width}x${v.stats.height}` });
    }
    const cpu = { ...cpuBetween(a, b), ...memory(host.pid) };
    if (process.env.VELQUIN_BENCH_SMAPS) fs.writeFileSync(`${process.env.VELQUIN_BENCH_SMAPS}.${c.name}`, fs.readFileSync(`/proc/${host.pid}/smaps`));
    const line = `${c.name}: host ${cpu.hostPct.toFixed(1)}% of one core, machine ${cpu.machinePct.toFixed(1)}% of ${NPROC} cores (stolen by the hypervisor ${cpu.stealPct.toFixed(1)}%) over ${cpu.wallS.toFixed(1)} s, host RSS ${cpu.rssMiB.toFixed(0)} MiB (peak ${cpu.peakMiB.toFixed(0)}; heap and stacks ${cpu.anonMiB.toFixed(0)}, mapped files ${cpu.fileMiB.toFixed(0)}), ${cpu.threads} threads`;
    console.log(line);
    const encoders = [...host.output.text.matchAll(/x264 encoders open: (\d+)/g)].pop();
    if (LOW > 0) console.log(`  ${low.length} of ${pages.length} pages at the low level; x264 encoders open: ${encoders ? encoders[1] : '?'}`);
    perPage.forEach((p, i) => console.log(
      `  page ${i + 1}: ${p.codec} ${p.size}, ${p.mbps.toFixed(2)} Mbit/s, ${p.fps.toFixed(1)} frames/s decoded, jitter buffer ${ms(p.jitterMs)}, decode ${ms(p.decodeMs)}, first packet in → decoded ${ms(p.processingMs)} a frame, glass-to-glass ${g2gText(p.g2g)}, ${p.freezes} freezes (${p.frozenS.toFixed(1)} s), join → first decoded frame ${p.firstFrameMs} ms`
      + ` (${Object.entries(p.timeline).map(([k, ms]) => `${k} ${ms}`).join(', ')})`));
    if (trace) printTrace(trace, clocks[0]);
    return { ...c, ...cpu, pages: perPage };
  } finally {
    await Promise.all(pages.map(closeViewer));
    if (c.count > 0) {
      await waitFor('no viewers left', async () => (await getJson(`${dev.base}/control/state`)).viewers.length === 0,
        { timeoutMs: WAIT }).catch((err) => console.log(`(${err.message})`));
      await sleep(2000); // let the host wind the sessions down before the next window
    }
  }
}

// ---- report -----------------------------------------------------------------------------

function median(values) {
  if (!values.length) return null;
  const s = values.slice().sort((x, y) => x - y);
  const m = Math.floor(s.length / 2);
  return s.length % 2 ? s[m] : (s[m - 1] + s[m]) / 2;
}

function printTable(results, patternWhat) {
  const header = ['case', 'pages', 'host CPU %1core', `machine %${NPROC}cores`, 'host RSS MiB', 'Mbit/s per page', 'fps per page', 'jitter buffer ms', 'glass-to-glass p50/p95 ms', 'freezes (s)', 'first frame ms per page', 'median ms'];
  const rows = results.map((r) => {
    const ff = r.pages.map((p) => p.firstFrameMs);
    const med = median(ff);
    return [
      r.name, String(r.count), r.hostPct.toFixed(1), r.machinePct.toFixed(1), r.rssMiB.toFixed(0),
      r.pages.length ? r.pages.map((p) => p.mbps.toFixed(2)).join(' ') : '-',
      r.pages.length ? r.pages.map((p) => p.fps.toFixed(1)).join(' ') : '-',
      r.pages.length ? r.pages.map((p) => (p.jitterMs === null ? '-' : p.jitterMs.toFixed(1))).join(' ') : '-',
      r.pages.length ? r.pages.map((p) => (p.g2g.samples ? `${p.g2g.p50}/${p.g2g.p95}` : '-')).join(' ') : '-',
      r.pages.length ? r.pages.map((p) => `${p.freezes} (${p.frozenS.toFixed(1)})`).join(' ') : '-',
      ff.length ? ff.join(' ') : '-',
      med === null ? '-' : String(Math.round(med)),
    ];
  });
  const widths = header.map((h, i) => Math.max(h.length, ...rows.map((r) => r[i].length)));
  const fmt = (cells) => cells.map((cell, i) => cell.padEnd(widths[i])).join('  ').trimEnd();
  console.log('');
  console.log(`nproc: ${NPROC}   window: ${SECONDS} s per case   host: ${HOST_BIN}${SHAPE ? `   loopback capped at ${SHAPE}` : ''}`);
  console.log(`screen: ${patternWhat}`);
  console.log('host CPU = utime+stime of the host process (all threads) / wall time, % of one core;');
  console.log(`machine = busy share of all ${NPROC} cores from /proc/stat (Chromium decoding included).`);
  console.log(fmt(header));
  console.log(fmt(widths.map((w) => '-'.repeat(w))));
  for (const r of rows) console.log(fmt(r));
  const all = results.flatMap((r) => r.pages.map((p) => p.firstFrameMs));
  const med = median(all);
  console.log(`join → first decoded frame, median over all ${all.length} pages: ${med === null ? '-' : Math.round(med)} ms`);
}

// ---- main -------------------------------------------------------------------------------

async function main() {
  if (DESKTOP !== 'mutter' && !process.env.DISPLAY) throw new Error('DISPLAY is not set: run through bench/run-viewers-cpu');
  if (!fs.existsSync(HOST_BIN)) throw new Error(`host binary not found: ${HOST_BIN} (set VELQUIN_HOST_BIN)`);
  const started = Date.now();
  dev = await startDevServer();
  desktop = await startDesktop(DESKTOP);
  console.log(`desktop: ${desktop.name}`);
  await startLinkedHost();
  console.log(`host ${hostId} online (pid ${host.pid})`);
  browser = await launchBrowser();
  if (SHAPE) {
    shapeLoopback(SHAPE);
    console.log(`loopback shaped: MTU 1500, tbf rate ${SHAPE}, burst 32kbit, latency 50ms`);
  }
  await sleep(2000); // let start-up work settle before the idle window

  for (const scene of SCENES) {
    const pattern = await startPattern(scene);
    stopPattern = pattern.stop;
    console.log(`screen: ${pattern.what}`);
    const results = [];
    for (const c of CASES) results.push(await runCase(c));
    await stopPattern();
    stopPattern = null;
    printTable(results, pattern.what);
  }
  console.log(`total run time: ${((Date.now() - started) / 1000).toFixed(0)} s`);
  // For a closer look (with QT_LOGGING_RULES or GST_DEBUG set): the host's whole output.
  if (process.env.VELQUIN_BENCH_HOST_LOG) fs.writeFileSync(process.env.VELQUIN_BENCH_HOST_LOG, host.output.text);
}

await runBench('viewers-cpu', main, () => ({
  browser, host, dev, pageLogs, stops: [...(stopPattern ? [stopPattern] : []), ...(desktop ? [() => desktop.stop()] : [])],
  dirs: [configDir],
}));
