// End to end: the real host binary streams the desktop to headless Chromium pages running
// tools/viewer/, through the dev signaling server, on loopback only. The desktop is this X
// display, or GNOME's Wayland on a headless mutter (VELQUIN_E2E_DESKTOP=mutter; desktop.mjs).
// Needs DISPLAY (a 1920x1080 X server) or mutter, a D-Bus session with an unlocked Secret
// Service and /usr/bin/chromium. See README.md next to this file.

import { describe, it, before, after } from 'node:test';
import assert from 'node:assert/strict';
import crypto from 'node:crypto';
import fs from 'node:fs';
import path from 'node:path';
import {
  HOST_BIN, CHROMIUM, removeTempDir, stopChild, startDevServer, getJson, postJson, waitFor, sleep,
  assertHostRunning, startHost, linkHost, hostOutputTail, launchBrowser,
  viewerUrl, openViewerPage, viewerState, closeViewer, startChild,
} from './harness.mjs';
import { INPUT_PROBE, desktopMissing, probeLines, startDesktop } from './desktop.mjs';

const WAIT = 20000;
const skipReason = desktopMissing();

// "Remote session: 0 phone(s)" in each of the host's languages.
const ZERO_VIEWERS = [
  /Remote session: 0 phone\(s\)/, /正在遠端：0 支手機/, /正在远程：0 部手机/,
  /リモート接続中：スマートフォン 0 台/, /원격 연결 중: 휴대폰 0대/,
];
const SOME_VIEWERS = [
  /Remote session: [1-9]\d* phone\(s\)/, /正在遠端：[1-9]\d* 支手機/, /正在远程：[1-9]\d* 部手机/,
  /リモート接続中：スマートフォン [1-9]\d* 台/, /원격 연결 중: 휴대폰 [1-9]\d*대/,
];

let dev = null;
let host = null;
let hostId = null;
let configDir = null;
let desktop = null;
let browser = null;
const pageLogs = [];

function dumpDiagnostics(title, err) {
  // The error first: CI keeps the head and the tail of long output.
  const out = [`\n----- ${title}: diagnostics -----`];
  if (err) out.push(`failed: ${err.message}`);
  if (host) out.push('--- host output (tail) ---', hostOutputTail(host, 20000));
  if (dev) out.push('--- dev server output (tail) ---', dev.child.output.text.slice(-8000));
  if (pageLogs.length) out.push('--- page console (tail) ---', pageLogs.slice(-80).join('\n'));
  out.push('-----');
  console.log(out.join('\n'));
}

// A test body that prints the host's output when it fails.
function check(name, fn, timeout = 90000) {
  it(name, { timeout }, async () => {
    try {
      await fn();
    } catch (err) {
      dumpDiagnostics(name, err);
      throw err;
    }
  });
}

function openViewer(label, codec) {
  return openViewerPage(browser, viewerUrl(dev.base, hostId, codec), { label, logs: pageLogs, timeoutMs: WAIT });
}

// Waits for the first decoded frame, prints join → first frame, then checks frames keep coming.
async function expectDecoding(page, label) {
  const first = await waitFor(`${label}: a decoded frame`, async () => {
    assertHostRunning(host);
    const v = await viewerState(page);
    return v.rejected || v.stats.framesDecoded > 0 ? v : null;
  }, { timeoutMs: WAIT, intervalMs: 100 });
  assert.equal(first.rejected, null, `${label}: rejected by the host`);
  await waitFor(`${label}: first frame time`, async () => (await viewerState(page)).firstFrameMs !== null, { timeoutMs: 5000 });
  const { firstFrameMs } = await viewerState(page);
  console.log(`join → first decoded frame (${label}): ${firstFrameMs} ms`);
  const before = await viewerState(page);
  await sleep(2000);
  const after = await viewerState(page);
  // Whether bytes still came and the page still read its statistics tells the host's stall from the page's.
  const seen = (v) => `${v.stats.framesDecoded} frames, ${v.stats.bytesReceived} bytes, stats of ${v.stats.at.toFixed(0)} ms at ${v.now.toFixed(0)} ms, ${v.connection}`;
  assert.ok(after.stats.framesDecoded > before.stats.framesDecoded,
    `${label}: framesDecoded did not rise over 2 s (${seen(before)} → ${seen(after)})`);
  console.log(`${label}: ${after.stats.codec} ${after.stats.width}x${after.stats.height}, route ${after.route}`);
  return after;
}

async function waitForSize(page, width, height, label) {
  return waitFor(`${label}: decoded size ${width}x${height}`, async () => {
    assertHostRunning(host);
    const s = (await viewerState(page)).stats;
    return s.width === width && s.height === height ? s : null;
  }, { timeoutMs: WAIT, intervalMs: 250 });
}

async function waitForToast(page, text, label) {
  await page.waitForFunction(
    (t) => window.viewer.messages.some((m) => m && m.t === 'toast' && m.text === t), text,
    { timeout: WAIT },
  ).catch(async (err) => {
    const { messages } = await viewerState(page);
    throw new Error(`${label}: no toast "${text}" (messages: ${JSON.stringify(messages)}): ${err.message}`);
  });
}

async function measureFps(page, ms) {
  const a = (await viewerState(page)).stats.framesDecoded;
  const t0 = Date.now();
  await sleep(ms);
  const b = (await viewerState(page)).stats.framesDecoded;
  return ((b - a) * 1000) / (Date.now() - t0);
}

function hostLinesSince(mark) {
  return host.output.since(mark).split('\n').filter((l) => l.startsWith('velquin-host: '));
}

async function startLinkedHost() {
  ({ host, configDir } = startHost(dev, 'velquin-e2e-config-', desktop.env));
  hostId = await linkHost(dev, host);
}

describe('viewer page against the real host', { skip: skipReason }, () => {
  before(async () => {
    if (skipReason) return;
    try {
      assert.ok(fs.existsSync(HOST_BIN), `host binary not found: ${HOST_BIN} (set VELQUIN_HOST_BIN)`);
      assert.ok(fs.existsSync(CHROMIUM), `${CHROMIUM} not found (apt-get install chromium)`);
      dev = await startDevServer();
      desktop = await startDesktop();
      console.log(`desktop: ${desktop.name}`);
      await startLinkedHost();
      await desktop.openApplications();
      await desktop.flicker(200);
      browser = await launchBrowser();
    } catch (err) {
      dumpDiagnostics('setup', err);
      throw err;
    }
  }, { timeout: 120000 });

  after(async () => {
    if (browser) await browser.close().catch(() => {});
    await stopChild(host);
    if (desktop) await desktop.stop();
    if (dev) await stopChild(dev.child);
    removeTempDir(configDir);
  }, { timeout: 30000 });

  check('H.264: decodes the full-size desktop', async () => {
    const page = await openViewer('H264', 'H264');
    try {
      const s = await expectDecoding(page, 'H264');
      const full = await waitForSize(page, desktop.width, desktop.height, 'H264');
      assert.equal(s.stats.codec, 'video/H264');
      assert.equal(s.streamId, 'desk', 'the screen comes in the stream "desk"');
      assert.equal(full.codec, 'video/H264');
    } finally {
      await closeViewer(page);
    }
  });

  check('VP8: decodes the full-size desktop', async () => {
    const page = await openViewer('VP8', 'VP8');
    try {
      const s = await expectDecoding(page, 'VP8');
      await waitForSize(page, desktop.width, desktop.height, 'VP8');
      assert.equal(s.stats.codec, 'video/VP8');
    } finally {
      await closeViewer(page);
    }
  });

  check('low quality: smaller and slower, and back to normal', async () => {
    const page = await openViewer('quality', 'H264');
    try {
      await expectDecoding(page, 'quality');
      await waitForSize(page, desktop.width, desktop.height, 'quality');

      // The 200 ms repaint alone stays under any cap; change the screen ~25 times a second
      // while measuring, so the cap is what limits the rate.
      await desktop.flicker(40);
      try {
        const normalFps = await measureFps(page, 2000);
        assert.ok(await page.evaluate(() => window.viewer.send({ t: 'quality', level: 'low' })), 'input channel not open');
        await waitForToast(page, '已切換省流量模式', 'low');
        await waitForSize(page, 768, 432, 'low');
        await sleep(1000); // let the old frame rate drain out of the decoder's counters
        const fps = await measureFps(page, 4000);
        console.log(`frames/s decoded on a busy screen: normal ${normalFps.toFixed(1)}, low ${fps.toFixed(1)}`);
        assert.ok(fps <= 16, `low quality decodes ${fps.toFixed(1)} frames/s, expected at most 16`);
      } finally {
        await desktop.flicker(200);
      }

      assert.ok(await page.evaluate(() => window.viewer.send({ t: 'quality', level: 'normal' })), 'input channel not open');
      await waitForToast(page, '已恢復一般畫質', 'normal');
      await waitForSize(page, desktop.width, desktop.height, 'normal');
    } finally {
      await closeViewer(page);
    }
  });

  check('two pages at once both decode', async () => {
    const pages = await Promise.all([openViewer('pair-1', 'H264'), openViewer('pair-2', 'VP8')]);
    try {
      await Promise.all([expectDecoding(pages[0], 'pair-1 H264'), expectDecoding(pages[1], 'pair-2 VP8')]);
    } finally {
      await Promise.all(pages.map(closeViewer));
    }
  });

  check('files, screenshots and the clipboard both ways', async () => {
    const page = await openViewer('files', 'H264');
    let letGo = null;
    try {
      await expectDecoding(page, 'files');
      await waitFor('the file channel to open', () => page.evaluate(() => window.viewer.fileChannel
        && window.viewer.fileChannel.readyState === 'open'), { timeoutMs: WAIT });

      // 50 MB from the page lands in the receive folder, whole and under its own name.
      const size = 50 * 1024 * 1024;
      const upload = await page.evaluate(async (n) => {
        const bytes = new Uint8Array(n);
        for (let i = 0; i < n; i += 4096) bytes[i] = (i / 4096) & 0xff;
        const digest = await crypto.subtle.digest('SHA-256', bytes);
        const sha256 = Array.from(new Uint8Array(digest), (b) => b.toString(16).padStart(2, '0')).join('');
        const result = await window.viewer.files.send(new Blob([bytes]), { name: 'upload.bin', mime: 'application/octet-stream', kind: 'file' });
        return { ...result, sha256 };
      }, size);
      const stored = path.join(configDir, 'Velquin 收到的檔案', 'upload.bin');
      await waitFor('the upload to be stored', () => fs.existsSync(stored) && fs.statSync(stored).size === size, { timeoutMs: WAIT });
      const sha256 = crypto.createHash('sha256').update(fs.readFileSync(stored)).digest('hex');
      assert.equal(sha256, upload.sha256, 'the stored file differs from the one sent');
      console.log(`page → host: 50 MiB in ${upload.ms.toFixed(0)} ms (${(size / 1048576 / (upload.ms / 1000)).toFixed(1)} MiB/s)`);

      // A screenshot comes back as a PNG of the whole display.
      assert.ok(await page.evaluate(() => window.viewer.send({ t: 'screenshot' })));
      const shot = await waitFor('the screenshot', () => page.evaluate(() => window.viewer.files.received.find((r) => r.kind === 'screenshot') || null),
        { timeoutMs: WAIT });
      assert.equal(shot.mime, 'image/png');
      assert.match(shot.name, /\d{4}-\d{2}-\d{2} \d{2}\.\d{2}\.\d{2}\.png$/);
      const dims = await page.evaluate(async (url) => {
        const bitmap = await createImageBitmap(await (await fetch(url)).blob());
        return [bitmap.width, bitmap.height];
      }, shot.url);
      assert.deepEqual(dims, [desktop.width, desktop.height]);

      // The page's text reaches the computer's clipboard.
      const text = 'héllo 剪貼簿 🎉';
      assert.ok(await page.evaluate((t) => window.viewer.send({ t: 'clip-set', text: t }), text));
      await waitFor("the text on the computer's clipboard", async () => (await desktop.clipboardText()) === text, { timeoutMs: WAIT });

      // Copying on the computer pushes the text to the page; asking gives it without "auto".
      const copied = `copied on the computer ${Date.now()}`;
      letGo = await desktop.copy(copied);
      await waitFor('the push to reach the page', () => page.evaluate((t) => window.viewer.files.clipNotes
        .some((m) => m.text === t && m.auto === true), copied), { timeoutMs: WAIT });
      assert.ok(await page.evaluate(() => window.viewer.send({ t: 'clip-get' })));
      await waitFor('the answer to clip-get', () => page.evaluate((t) => window.viewer.files.clipNotes
        .some((m) => m.text === t && m.auto === undefined), copied), { timeoutMs: WAIT });
      await letGo();
      letGo = null;

      // An image from the page's clipboard is offered as PNG to the computer's applications.
      await page.evaluate(async () => {
        const canvas = new OffscreenCanvas(8, 6);
        const g = canvas.getContext('2d');
        g.fillStyle = '#ff0000';
        g.fillRect(0, 0, 8, 6);
        const png = await canvas.convertToBlob({ type: 'image/png' });
        await window.viewer.files.send(png, { name: 'pasted.png', mime: 'image/png', kind: 'clipboard' });
      });
      await waitFor("the image on the computer's clipboard", async () => (await desktop.clipboardTypes()).includes('image/png'),
        { timeoutMs: WAIT });
    } finally {
      if (letGo) await letGo();
      await closeViewer(page);
    }
  }, 120000);

  check('a page that leaves is gone from the server and the host', async () => {
    // Let earlier pages' departures reach the host first, so its count lines are ours.
    await waitFor('no viewers left from earlier tests', async () => (await getJson(`${dev.base}/control/state`)).viewers.length === 0,
      { timeoutMs: WAIT });
    await sleep(500);
    const mark = host.output.mark;
    const page = await openViewer('leaver', 'H264');
    const { viewerId } = await viewerState(page);
    try {
      await expectDecoding(page, 'leaver');
      await waitFor('the host to count the viewer', () => {
        const counts = hostLinesSince(mark).filter((l) => SOME_VIEWERS.concat(ZERO_VIEWERS).some((re) => re.test(l)));
        return counts.length > 0 && SOME_VIEWERS.some((re) => re.test(counts[counts.length - 1]));
      }, { timeoutMs: WAIT });
      const counted = host.output.mark;
      await page.evaluate(() => window.viewer.leave());
      await waitFor(`viewer ${viewerId} to leave the dev server`, async () => {
        const state = await getJson(`${dev.base}/control/state`);
        return !state.viewers.some((v) => v.id === viewerId);
      }, { timeoutMs: WAIT });
      await waitFor('the host to report no phones', () => hostLinesSince(counted).some((l) => ZERO_VIEWERS.some((re) => re.test(l))),
        { timeoutMs: WAIT });
    } finally {
      await closeViewer(page);
    }
  });

  check("the server going down ends the page's session at once", async () => {
    const page = await openViewer('ended', 'H264');
    try {
      await expectDecoding(page, 'ended');
      const before = await viewerState(page);
      assert.equal(before.inputClosedAt, null);
      // The host loses the signaling server, which ends every phone's session.
      await postJson(`${dev.base}/control/close-host`, { code: 1011 });
      const ended = await waitFor('the page to see its control channel close', async () => {
        const v = await viewerState(page);
        return v.inputClosedAt !== null ? v : null;
      }, { timeoutMs: 5000, intervalMs: 50 });
      const ms = ended.inputClosedAt - before.now;
      console.log(`host ended the session → the page saw its channel close: ${ms.toFixed(0)} ms`);
      assert.ok(ms <= 1000, `the page noticed after ${ms.toFixed(0)} ms`);
      // The host comes back by itself for the next phone.
      await waitFor('the host to be online again', async () => (await getJson(`${dev.base}/control/state`)).hosts.length > 0,
        { timeoutMs: WAIT });
    } finally {
      await closeViewer(page);
    }
  });

  // Sets or clears the access PIN in the session's keychain with the host binary's own command.
  async function pinCommand(args, input = '') {
    const child = startChild(HOST_BIN, args, { stdio: ['pipe', 'pipe', 'pipe'] });
    child.stdin.end(input);
    const { code } = await child.exited;
    assert.equal(code, 0, `velquin-host ${args.join(' ')}: ${child.output.text}`);
  }

  // A host restarted with a PIN: nothing of the desktop without it, then a lock for everyone.
  check('with a PIN: nothing before it, the screen after it, and a lock after five wrong', async () => {
    await stopChild(host);
    await pinCommand(['--set-pin'], '2468\n');
    await startLinkedHost();
    const page = await openViewer('pin', 'H264');
    let locked = null;
    try {
      await waitFor('the PIN request', async () => (await viewerState(page)).messages.some((m) => m.t === 'auth-required'),
        { timeoutMs: WAIT });
      const x0 = await desktop.pointerAt();
      await page.evaluate(() => window.viewer.send({ t: 'abs', x: 0.1, y: 0.1 }));
      await page.evaluate(() => window.viewer.send({ t: 'auth', pin: '1111' }));
      await waitFor('auth-fail', async () => (await viewerState(page)).messages.some((m) => m.t === 'auth-fail'),
        { timeoutMs: WAIT });
      const before = await viewerState(page);
      assert.deepEqual(before.messages.find((m) => m.t === 'auth-fail'), { t: 'auth-fail', left: 4 });
      assert.equal(before.stats.framesDecoded, 0, 'video before the PIN');
      assert.equal(await desktop.pointerAt(), x0, 'input before the PIN moved the pointer');

      await page.fill('#pin', '2468');
      await page.click('#btn-pin');
      await expectDecoding(page, 'pin');
      const types = (await viewerState(page)).messages.map((m) => m.t).filter((t) => t !== 'shape');
      const ok = types.indexOf('auth-ok');
      assert.deepEqual(types.slice(ok, ok + 4), ['auth-ok', 'screen', 'caps', 'ime']);

      // Five wrong PINs from another phone lock PIN checking; it is rejected and closed.
      locked = await openViewer('pin-locked', 'H264');
      await waitFor('the PIN request', async () => (await viewerState(locked)).messages.some((m) => m.t === 'auth-required'),
        { timeoutMs: WAIT });
      for (let i = 0; i < 5; i += 1) {
        await locked.evaluate(() => window.viewer.send({ t: 'auth', pin: '0000' }));
        await waitFor(`reply ${i + 1}`, async () => (await viewerState(locked)).messages.filter((m) => /^auth-(fail|locked)$/.test(m.t)).length === i + 1,
          { timeoutMs: WAIT });
      }
      const replies = (await viewerState(locked)).messages.filter((m) => /^auth-(fail|locked)$/.test(m.t));
      assert.deepEqual(replies.map((m) => m.left ?? m.seconds), [4, 3, 2, 1, 300]);
      const rejected = await waitFor('the rejection', async () => (await viewerState(locked)).rejected, { timeoutMs: WAIT });
      assert.match(JSON.stringify(rejected), /密碼錯太多次，5 分鐘後再試/);
    } finally {
      await closeViewer(page);
      await closeViewer(locked);
      // The rest of the suite runs without a PIN, on a host without a lock.
      await stopChild(host);
      await pinCommand(['--clear-pin']);
      await startLinkedHost();
    }
  });

  // Last: the probe's window covers the desktop, so nothing else would see the screen change.
  check('the page drives the desktop: pointer, clicks, keys, text, wheel and layout, with the pointer drawn', async () => {
    assert.ok(fs.existsSync(INPUT_PROBE), `input probe not found: ${INPUT_PROBE} (set VELQUIN_INPUT_PROBE)`);
    const probe = startChild(INPUT_PROBE, [], { env: desktop.probeEnv });
    const lines = () => probeLines(probe);
    // Keys with text, and pastes (how text a Wayland keyboard map lacks arrives).
    const typed = () => lines().filter((l) => /^key \S+ [0-9a-f]+ /.test(l) || /^paste [0-9a-f]*$/.test(l))
      .map((l) => Buffer.from(l.startsWith('paste') ? l.slice(6) : l.split(' ')[2], 'hex').toString('utf8')).join('');
    const page = await openViewer('input', 'H264');
    try {
      await waitFor('the probe window to have the focus', () => lines().includes('ready'), { timeoutMs: WAIT });
      await expectDecoding(page, 'input');
      await waitFor('the pointer and its shape from the host', () => page.evaluate(() => {
        const s = window.viewer.input;
        return s.cur !== null && s.shape !== null && !document.getElementById('cursor').hidden;
      }), { timeoutMs: WAIT });

      const box = await page.evaluate(() => {
        const r = document.getElementById('video').getBoundingClientRect();
        return { x: r.left + r.width / 2, y: r.top + r.height / 2, w: r.width, h: r.height };
      });
      await page.mouse.click(box.x, box.y);
      await waitFor('a left click in the probe', () => lines().includes('press left 1') && lines().includes('release left'),
        { timeoutMs: WAIT });
      // The host's pointer is drawn where the click put it: the middle of the desktop.
      await waitFor('the pointer in the middle', () => page.evaluate(() => {
        const { cur } = window.viewer.input;
        return Math.abs(cur.x - 0.5) < 0.01 && Math.abs(cur.y - 0.5) < 0.01;
      }), { timeoutMs: WAIT });

      // Physical keys, one with Shift held, then text from an input method.
      await page.keyboard.type('hello');
      await page.keyboard.press('Shift+KeyW');
      await waitFor('the keys typed in the probe', () => typed() === 'helloW', { timeoutMs: WAIT });
      await page.keyboard.insertText('漢字 😀 é');
      await waitFor('the text typed in the probe', () => typed() === 'helloW漢字 😀 é', { timeoutMs: WAIT });

      // A drag: the button stays down while the pointer moves, across a quarter of the desktop.
      await page.mouse.move(box.x, box.y);
      await page.mouse.down();
      await page.mouse.move(box.x + box.w / 4, box.y + box.h / 4, { steps: 8 });
      await page.mouse.up();
      await waitFor('a drag in the probe', () => {
        const l = lines();
        const drags = l.filter((x) => x.startsWith('drag '));
        const last = drags.length ? drags[drags.length - 1].split(' ').map(Number) : [];
        return last.length === 3 && last[1] >= desktop.width * 0.7 && last[2] >= desktop.height * 0.7 && l[l.length - 2] === 'release left';
      }, { timeoutMs: WAIT });

      await page.mouse.wheel(0, -100);
      await waitFor('the wheel in the probe', () => lines().includes('wheel 0 120'), { timeoutMs: WAIT });
      await page.mouse.click(box.x, box.y, { button: 'right' });
      await waitFor('a right click in the probe', () => lines().includes('press right 1'), { timeoutMs: WAIT });

      // The page's overlay went when the picture came.
      assert.equal(await page.evaluate(() => getComputedStyle(document.getElementById('placeholder')).display), 'none');

      // Switching the computer's keyboard layout from the page.
      if (!desktop.setLayouts) {
        console.log(`keyboard layouts: not switched on ${desktop.name}`);
        return;
      }
      await desktop.setLayouts(['us', 'de']);
      try {
        await page.click('#btn-ime-next');
        await waitFor('the page to show the German layout', () => page.evaluate(() => {
          const { ime } = window.viewer.input;
          return ime && ime.id === 'xkb:de' && document.getElementById('ime-current').textContent.startsWith('German')
            && ime.labels.KeyY && ime.labels.KeyY.m === 'Z';
        }), { timeoutMs: WAIT }).catch(async (err) => {
          const seen = await page.evaluate(() => ({
            ime: window.viewer.input.ime, list: window.viewer.input.imeList,
            shown: document.getElementById('ime-current').textContent,
          }));
          throw new Error(`${err.message}; the page has ${JSON.stringify(seen)}; the desktop has ${await desktop.describeLayouts()}`);
        });
      } finally {
        await desktop.setLayouts(['us']);
      }
    } catch (err) {
      console.log(`--- probe output ---\n${probe.output.text.slice(-4000)}\n(typed: ${JSON.stringify(typed())})`);
      throw err;
    } finally {
      await closeViewer(page);
      await stopChild(probe);
    }
  });
});
