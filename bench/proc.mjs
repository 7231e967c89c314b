// What /proc says about a process and the machine: CPU time and resident memory.

import fs from 'node:fs';
import { execFileSync } from 'node:child_process';

const CLK_TCK = Number(execFileSync('getconf', ['CLK_TCK']).toString().trim()) || 100;

export function processTicks(pid) {
  const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
  // Fields after the ")" that closes the command name start at field 3 (state).
  const rest = stat.slice(stat.lastIndexOf(')') + 2).split(' ');
  return Number(rest[11]) + Number(rest[12]); // utime + stime, all threads
}

function machineTicks() {
  const line = fs.readFileSync('/proc/stat', 'utf8').split('\n')[0];
  const v = line.trim().split(/\s+/).slice(1).map(Number);
  // user nice system idle iowait irq softirq steal (guest is already inside user)
  const total = v.slice(0, 8).reduce((a, b) => a + b, 0);
  const idle = v[3] + v[4];
  // Steal: time the hypervisor gave our virtual CPUs to someone else (noisy neighbours).
  return { total, busy: total - idle, steal: v[7] || 0 };
}

export function cpuSnapshot(pid) {
  return { at: process.hrtime.bigint(), host: processTicks(pid), machine: machineTicks() };
}

export function cpuBetween(a, b) {
  const wallS = Number(b.at - a.at) / 1e9;
  const hostPct = (((b.host - a.host) / CLK_TCK) / wallS) * 100; // % of one core
  const dTotal = b.machine.total - a.machine.total;
  const machinePct = dTotal > 0 ? ((b.machine.busy - a.machine.busy) / dTotal) * 100 : 0; // % of all cores
  const stealPct = dTotal > 0 ? ((b.machine.steal - a.machine.steal) / dTotal) * 100 : 0;
  return { wallS, hostPct, machinePct, stealPct };
}

// Resident memory of a process in KiB (VmRSS), or null once it is gone.
export function residentKiB(pid) {
  try {
    const m = /VmRSS:\s+(\d+) kB/.exec(fs.readFileSync(`/proc/${pid}/status`, 'utf8'));
    return m ? Number(m[1]) : null;
  } catch {
    return null;
  }
}
