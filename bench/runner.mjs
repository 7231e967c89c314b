// How every benchmark script runs: its main(), then whatever it started taken down, whether it
// finished or failed; on a failure the host's, the dev server's and the pages' last words.

import { removeTempDir, stopChild, hostOutputTail } from '../tests/e2e/harness.mjs';

// `started()` says what is up by then: { browser, host, dev, pageLogs, stops: [async () => …],
// dirs: [temporary folders] }, any of them missing.
export async function runBench(name, main, started) {
  let failed = false;
  try {
    await main();
  } catch (err) {
    failed = true;
    const { host, dev, pageLogs } = started();
    console.error(`${name}: ${err.stack || err.message}`);
    if (host) console.error(`--- host output (tail) ---\n${hostOutputTail(host, 6000)}`);
    if (dev) console.error(`--- dev server output (tail) ---\n${dev.child.output.text.slice(-3000)}`);
    if (pageLogs && pageLogs.length) console.error(`--- page console (tail) ---\n${pageLogs.slice(-40).join('\n')}`);
  } finally {
    const { browser, host, dev, stops = [], dirs = [] } = started();
    if (browser) await browser.close().catch(() => {});
    for (const stop of stops) await stop();
    if (host) await stopChild(host);
    if (dev) await stopChild(dev.child);
    for (const dir of dirs) removeTempDir(dir);
  }
  process.exitCode = failed ? 1 : 0;
}
