// The host against a phone on a slow link: loopback capped with a token bucket (tc tbf, 50 ms
// queue) inside the suite's own network namespace. The video must keep playing within what
// the link carries, and when the link gets slower mid-session it must follow it down (frame
// rate first) instead of freezing. Run through run-isolated (a file of its own, so nothing
// else shares the shaped loopback).

import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {
  HOST_BIN, CHROMIUM, removeTempDir, stopChild, startChild, startDevServer, waitFor, sleep,
  assertHostRunning, startHost, linkHost, hostOutputTail, launchBrowser, viewerUrl, openViewerPage,
  viewerState, closeViewer, shapeLoopback, unshapeLoopback,
} from './harness.mjs';

const PAINTER = process.env.VELQUIN_SCENE_PAINTER || HOST_BIN.replace(/host\/velquin-host$/, 'bench/scene_painter');
const skipReason = !process.env.DISPLAY ? 'DISPLAY is not set'
  : process.env.VELQUIN_E2E_OWN_NETWORK !== '1' ? 'no network namespace of our own to shape'
    : !fs.existsSync(PAINTER) ? `scene painter not built (${PAINTER})` : false;

let dev = null;
let host = null;
let configDir = null;
let hostId = null;
let browser = null;
let painter = null;
const pageLogs = [];

// What the page saw over `ms`: frames a second, bits a second, time frozen.
async function window_(page, ms) {
  const a = (await viewerState(page)).stats;
  const t0 = Date.now();
  await sleep(ms);
  assertHostRunning(host);
  const b = (await viewerState(page)).stats;
  const seconds = (Date.now() - t0) / 1000;
  return {
    fps: (b.framesDecoded - a.framesDecoded) / seconds,
    mbps: ((b.bytesReceived - a.bytesReceived) * 8) / seconds / 1e6,
    frozen: b.totalFreezesDuration - a.totalFreezesDuration,
  };
}

function show(label, w) {
  console.log(`${label}: ${w.fps.toFixed(1)} frames/s, ${w.mbps.toFixed(2)} Mbit/s, frozen ${w.frozen.toFixed(1)} s`);
}

describe('a phone on a slow link', { skip: skipReason }, () => {
  before(async () => {
    assert.ok(fs.existsSync(HOST_BIN), `host binary not found: ${HOST_BIN}`);
    assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} not found`);
    dev = await startDevServer();
    // A desktop in motion: the whole screen scrolling, as hard as it gets.
    painter = startChild(PAINTER, ['whole']);
    ({ host, configDir } = startHost(dev, 'velquin-e2e-shaped-'));
    hostId = await linkHost(dev, host);
    browser = await launchBrowser();
  }, { timeout: 120000 });

  after(async () => {
    unshapeLoopback();
    if (browser) await browser.close().catch(() => {});
    if (painter) await stopChild(painter);
    if (host) await stopChild(host);
    if (dev) await stopChild(dev.child);
    removeTempDir(configDir);
  }, { timeout: 30000 });

  it('H.264 keeps playing at 3 Mbit/s and follows the link down to 1.5 Mbit/s', { timeout: 120000 }, async () => {
    shapeLoopback('3mbit');
    const page = await openViewerPage(browser, viewerUrl(dev.base, hostId, 'H264'),
      { label: 'shaped', logs: pageLogs, timeoutMs: 20000 });
    try {
      await waitFor('a decoded frame over the slow link', async () => {
        assertHostRunning(host);
        return (await viewerState(page)).stats.framesDecoded > 0;
      }, { timeoutMs: 20000, intervalMs: 200 });
      await sleep(6000); // the rate settles from its start
      const fast = await window_(page, 10000);
      show('3 Mbit/s', fast);
      assert.ok(fast.fps >= 15, `3 Mbit/s: ${fast.fps.toFixed(1)} frames/s`);
      assert.ok(fast.frozen <= 2, `3 Mbit/s: frozen ${fast.frozen.toFixed(1)} s of 10`);

      shapeLoopback('1500kbit', { change: true });
      await sleep(8000); // the controller backs off, the phone may move down a rung
      const slow = await window_(page, 10000);
      show('1.5 Mbit/s', slow);
      assert.ok(slow.fps >= 8, `1.5 Mbit/s: ${slow.fps.toFixed(1)} frames/s`);
      assert.ok(slow.mbps <= 1.5, `1.5 Mbit/s: received ${slow.mbps.toFixed(2)} Mbit/s`);
      assert.ok(slow.frozen <= 3, `1.5 Mbit/s: frozen ${slow.frozen.toFixed(1)} s of 10`);
    } catch (err) {
      console.log(`--- host output (tail) ---\n${hostOutputTail(host, 12000)}\n--- page ---\n${pageLogs.slice(-40).join('\n')}`);
      throw err;
    } finally {
      await closeViewer(page);
    }
  });
});
