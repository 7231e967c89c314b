// The host against phones on poor links, inside the suite's own network namespace: loopback
// capped with a token bucket (tc tbf, 50 ms queue), random loss and a per-phone cap (nftables).
// The video must keep playing within what the link carries, follow a link that gets slower
// (frame rate first) instead of freezing, and one phone's poor link must not drag another's
// video down. Run through run-isolated (a file of its own, so nothing else shares the loopback).

import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import fs from 'node:fs';
import {
  HOST_BIN, CHROMIUM, removeTempDir, stopChild, startChild, startDevServer, waitFor, sleep,
  assertHostRunning, startHost, linkHost, hostOutputTail, launchBrowser, viewerUrl, openViewerPage,
  viewerState, closeViewer, shapeLoopback, unshapeLoopback, dropRandomly, capPort, clearNetworkFilters,
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

async function openDecoding(label) {
  const page = await openViewerPage(browser, viewerUrl(dev.base, hostId, 'H264'), { label, logs: pageLogs, timeoutMs: 20000 });
  await waitFor(`${label}: a decoded frame`, async () => {
    assertHostRunning(host);
    return (await viewerState(page)).stats.framesDecoded > 0;
  }, { timeoutMs: 20000, intervalMs: 200 });
  return page;
}

// The rates the host's groups aimed at since `mark` (its debug log), in kbit/s.
function aims(mark) {
  return [...host.output.since(mark).matchAll(/aim at (\d+) kbit\/s/g)].map((m) => Number(m[1]));
}

function diagnose(err) {
  console.log(`--- host output (tail) ---\n${hostOutputTail(host, 12000)}\n--- pages ---\n${pageLogs.slice(-40).join('\n')}`);
  throw err;
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
    process.env.QT_LOGGING_RULES = 'orbel.webrtc.debug=true'; // the host says what it aims at
    ({ host, configDir } = startHost(dev, 'velquin-e2e-shaped-'));
    hostId = await linkHost(dev, host);
    browser = await launchBrowser();
  }, { timeout: 120000 });

  after(async () => {
    unshapeLoopback();
    clearNetworkFilters();
    if (browser) await browser.close().catch(() => {});
    if (painter) await stopChild(painter);
    if (host) await stopChild(host);
    if (dev) await stopChild(dev.child);
    removeTempDir(configDir);
  }, { timeout: 30000 });

  it('H.264 keeps playing at 3 Mbit/s and follows the link down to 1.5 Mbit/s', { timeout: 120000 }, async () => {
    shapeLoopback('3mbit');
    const page = await openDecoding('shaped');
    try {
      await sleep(8000); // the rate settles from its start
      const fast = await window_(page, 10000);
      show('3 Mbit/s', fast);
      assert.ok(fast.fps >= 15, `3 Mbit/s: ${fast.fps.toFixed(1)} frames/s`);
      // Loose: a busy 2-core runner decodes the phone's video too.
      assert.ok(fast.frozen <= 5, `3 Mbit/s: frozen ${fast.frozen.toFixed(1)} s of 10`);

      shapeLoopback('1500kbit', { change: true });
      await sleep(8000); // the controller backs off, the phone may move down a rung
      const slow = await window_(page, 10000);
      show('1.5 Mbit/s', slow);
      assert.ok(slow.fps >= 8, `1.5 Mbit/s: ${slow.fps.toFixed(1)} frames/s`);
      assert.ok(slow.mbps <= 1.5, `1.5 Mbit/s: received ${slow.mbps.toFixed(2)} Mbit/s`);
      assert.ok(slow.frozen <= 5, `1.5 Mbit/s: frozen ${slow.frozen.toFixed(1)} s of 10`);
    } catch (err) {
      diagnose(err);
    } finally {
      await closeViewer(page);
      unshapeLoopback();
    }
  });

  it('2 % random loss: the rate holds and the video plays', { timeout: 90000 }, async () => {
    dropRandomly(2);
    const page = await openDecoding('lossy');
    try {
      await sleep(5000);
      const mark = host.output.mark; // after the start, whose key frame may lose more
      const lossy = await window_(page, 10000);
      show('2 % loss', lossy);
      const aimed = aims(mark);
      console.log(`2 % loss: the group aimed at ${Math.min(...aimed)}–${Math.max(...aimed)} kbit/s`);
      assert.ok(lossy.fps >= 15, `2 % loss: ${lossy.fps.toFixed(1)} frames/s`);
      assert.ok(lossy.frozen <= 2, `2 % loss: frozen ${lossy.frozen.toFixed(1)} s of 10`);
      // Loss this low is the path's, not a queue's: no collapse below half the start rate.
      const reports = host.output.since(mark).split('\n').filter((l) => l.includes('receiver report'));
      assert.ok(aimed.length > 0, 'the host said what it aimed at');
      assert.ok(Math.min(...aimed) >= 1250,
        `2 % loss: the rate fell to ${Math.min(...aimed)} kbit/s; the reports:\n${reports.join('\n')}`);
    } catch (err) {
      diagnose(err);
    } finally {
      await closeViewer(page);
      clearNetworkFilters();
    }
  });

  it('two phones, one on a 1 Mbit/s link: it moves to a lower group, the other keeps its video', { timeout: 120000 }, async () => {
    const good = await openDecoding('good');
    const poor = await openDecoding('poor');
    try {
      const route = await waitFor('the poor page\'s route', async () => (await viewerState(poor)).route, { timeoutMs: 10000 });
      const port = Number(/:(\d+) →/.exec(route)[1]);
      const mark = host.output.mark;
      capPort(port, 125);
      await sleep(8000);
      const [g, p] = await Promise.all([window_(good, 10000), window_(poor, 10000)]);
      show('uncapped phone', g);
      show('phone capped at 1 Mbit/s', p);
      const moves = [...host.output.since(mark).matchAll(/to the group of (\d+) kbit\/s/g)].map((m) => Number(m[1]));
      console.log(`group moves: ${moves.join(', ') || 'none'} kbit/s`);
      assert.ok(moves.some((m) => m <= 1500), 'the capped phone moved down to a lower group');
      assert.ok(g.fps >= 20, `uncapped: ${g.fps.toFixed(1)} frames/s`);
      assert.ok(g.frozen <= 1, `uncapped: frozen ${g.frozen.toFixed(1)} s of 10`);
      assert.ok(p.fps >= 5, `capped: ${p.fps.toFixed(1)} frames/s`);
    } catch (err) {
      diagnose(err);
    } finally {
      await closeViewer(poor);
      await closeViewer(good);
      clearNetworkFilters();
    }
  });
});
