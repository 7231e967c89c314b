// The desktop the end-to-end suite shares: the X display it is given (DISPLAY), or, with
// VELQUIN_E2E_DESKTOP=mutter, GNOME's compositor without a screen (PipeWire, WirePlumber and
// mutter with one 1920x1080 virtual monitor, on the suite's own D-Bus session). Both offer the
// same things to the tests: an environment for the host and for Qt windows, a screen that keeps
// changing, the pointer's place, and the clipboard.

import { execFileSync } from 'node:child_process';
import fs from 'node:fs';
import path from 'node:path';
import {
  makeTempDir, removeTempDir, sleep, startChild, startRootFlicker, stopChild, waitFor,
} from './harness.mjs';

export const INPUT_PROBE = process.env.VELQUIN_INPUT_PROBE || `${process.cwd()}/build/tests/input_probe`;
export const DESKTOP_KIND = process.env.VELQUIN_E2E_DESKTOP || 'x11';

// Why the suite cannot run here, or false.
export function desktopMissing() {
  if (DESKTOP_KIND === 'mutter') {
    for (const program of ['mutter', 'pipewire', 'wireplumber']) {
      try {
        execFileSync('sh', ['-c', `command -v ${program}`], { stdio: 'ignore' });
      } catch {
        return `${program} is not installed (scripts/setup installs it)`;
      }
    }
    return false;
  }
  return process.env.DISPLAY ? false : 'DISPLAY is not set: run under scripts/test or an Xvfb (see tests/e2e/README.md)';
}

// The lines a probe (tests/probe) printed so far.
export function probeLines(probe) {
  return probe.output.text.split('\n');
}

// Asks a probe started with stdin 'pipe' one question and waits for the line starting with `answer`.
async function askProbe(probe, command, answer) {
  const mark = probe.output.mark;
  probe.stdin.write(`${command}\n`);
  return waitFor(`the probe's answer to ${command}`, () => probe.output.since(mark).split('\n')
    .find((l) => l.startsWith(`${answer} `) || l === answer) ?? null, { timeoutMs: 5000, intervalMs: 20 });
}

class X11Desktop {
  constructor() {
    this.kind = 'x11';
    this.name = 'X11';
    this.width = 1920;
    this.height = 1080;
    this.env = {};
    this.probeEnv = { ...process.env, QT_QPA_PLATFORM: 'xcb' };
    this.stopFlicker = null;
  }

  async start() {}

  // Whatever stands for the user's applications, once the host is up.
  async openApplications() {}

  async flicker(periodMs) {
    if (this.stopFlicker) await this.stopFlicker();
    this.stopFlicker = periodMs > 0 ? startRootFlicker(periodMs) : null;
  }

  async pointerAt() {
    const child = startChild('xdotool', ['getmouselocation']);
    await child.exited;
    return child.output.text.trim().split(' ').slice(0, 2).join(' ');
  }

  run(program, args, input) {
    return new Promise((resolve) => {
      // Reading takes no input: xclip may be gone before a write to its stdin, which fails.
      const child = startChild(program, args, { stdio: [input === undefined ? 'ignore' : 'pipe', 'pipe', 'pipe'] });
      if (input !== undefined) child.stdin.end(input);
      child.exited.then(() => resolve(child.output.text));
    });
  }

  clipboardText() {
    return this.run('xclip', ['-selection', 'clipboard', '-o']);
  }

  async clipboardTypes() {
    return (await this.run('xclip', ['-selection', 'clipboard', '-o', '-t', 'TARGETS'])).split('\n');
  }

  // Copies `text` as an application would; the returned function lets go of the clipboard.
  async copy(text) {
    const owner = startChild('xclip', ['-selection', 'clipboard', '-quiet', '-i'], { stdio: ['pipe', 'pipe', 'pipe'] });
    owner.stdin.end(text);
    return () => stopChild(owner);
  }

  // Sets the keyboard layouts (XKB names); null where the desktop's layouts are not ours to set.
  async setLayouts(layouts) {
    const child = startChild('setxkbmap', ['-layout', layouts.join(',')]);
    const { code } = await child.exited;
    if (code !== 0) throw new Error(`setxkbmap ${layouts.join(',')}: ${child.output.text}`);
  }

  async describeLayouts() {
    const child = startChild('setxkbmap', ['-query']);
    await child.exited;
    return child.output.text;
  }

  async stop() {
    await this.flicker(0);
  }
}

class MutterDesktop {
  constructor() {
    this.kind = 'mutter';
    this.name = 'GNOME Wayland (headless mutter)';
    this.width = 1920;
    this.height = 1080;
    this.processes = [];
    this.agent = null;
    this.setLayouts = null; // GNOME's input sources are not switched through X here
  }

  async start() {
    this.runtime = makeTempDir('velquin-e2e-wayland-');
    fs.chmodSync(this.runtime, 0o700);
    const display = 'velquin-e2e-wayland';
    const base = { ...process.env, XDG_RUNTIME_DIR: this.runtime };
    delete base.DISPLAY;
    delete base.WAYLAND_DISPLAY;
    const launch = async (program, args, ready) => {
      const child = startChild(program, args, { env: base });
      this.processes.push(child);
      if (ready) {
        await waitFor(`${program} to come up`, () => {
          if (child.exitCode !== null) throw new Error(`${program} exited: ${child.output.text.slice(-2000)}`);
          return fs.existsSync(path.join(this.runtime, ready));
        }, { timeoutMs: 15000, intervalMs: 20 });
      }
    };
    await launch('pipewire', [], 'pipewire-0');
    await launch('wireplumber', []);
    await launch('mutter', ['--headless', '--virtual-monitor', `${this.width}x${this.height}`, '--wayland', '--no-x11',
      `--wayland-display=${display}`], display);
    await waitFor("mutter's remote-desktop service", () => {
      const out = execFileSync('dbus-send', ['--session', '--print-reply', '--dest=org.freedesktop.DBus', '/org/freedesktop/DBus',
        'org.freedesktop.DBus.NameHasOwner', 'string:org.gnome.Mutter.RemoteDesktop']).toString();
      return out.includes('boolean true');
    }, { timeoutMs: 15000, intervalMs: 50 });

    const wayland = { XDG_RUNTIME_DIR: this.runtime, WAYLAND_DISPLAY: display, XDG_SESSION_TYPE: 'wayland', DISPLAY: '' };
    // The host finds the session by itself (WAYLAND_DISPLAY, mutter's service on the bus).
    this.env = { ...wayland, PIPEWIRE_RUNTIME_DIR: this.runtime };
    this.probeEnv = { ...base, ...wayland, QT_QPA_PLATFORM: 'wayland' };
    delete this.probeEnv.DISPLAY;
  }

  // A window of ours stands for the user's applications: it repaints, copies and pastes, and
  // knows where the pointer is. A Wayland client touches the clipboard only while it has the
  // keyboard focus, so it comes after the host's own window, which it covers.
  async openApplications() {
    this.agent = startChild(INPUT_PROBE, [], { env: this.probeEnv, stdio: ['pipe', 'pipe', 'pipe'] });
    await waitFor('the desktop window', () => probeLines(this.agent).includes('ready'), { timeoutMs: 15000, intervalMs: 20 });
  }

  async flicker(periodMs) {
    this.agent.stdin.write(`flicker ${periodMs}\n`);
  }

  async pointerAt() {
    return (await askProbe(this.agent, 'where', 'pointer')).slice('pointer '.length);
  }

  async clipboardText() {
    const line = await askProbe(this.agent, 'read-clipboard', 'clipboard');
    return Buffer.from(line.slice('clipboard '.length), 'hex').toString('utf8');
  }

  async clipboardTypes() {
    return (await askProbe(this.agent, 'clipboard-types', 'types')).slice('types '.length).split(',');
  }

  async copy(text) {
    this.agent.stdin.write(`copy ${Buffer.from(text, 'utf8').toString('hex')}\n`);
    return async () => {};
  }

  async stop() {
    if (this.agent) await stopChild(this.agent);
    for (const child of this.processes.reverse()) await stopChild(child);
    await sleep(100);
    removeTempDir(this.runtime);
  }
}

// `kind`: 'x11' or 'mutter'.
export async function startDesktop(kind = DESKTOP_KIND) {
  const desktop = kind === 'mutter' ? new MutterDesktop() : new X11Desktop();
  await desktop.start();
  return desktop;
}
