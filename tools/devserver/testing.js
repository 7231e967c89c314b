'use strict';

// Shared by the dev server's self-tests in test/: runs server.js as a child process on a free
// loopback port and talks HTTP to it.
//
// It lives here and not in test/ because `node --test tools/devserver/test/` runs every .js,
// .cjs and .mjs file under a directory named test as a test file, whatever its name.

const { spawn } = require('node:child_process');
const http = require('node:http');
const path = require('node:path');

const SERVER = path.join(__dirname, 'server.js');
const STEP_MS = 3000;

// The running server: child is set as soon as it is spawned, port once it listens.
const server = { child: null, port: null, stderrLines: [] };

// Resolves with the port the server reports.
function startServer() {
  return new Promise((resolve, reject) => {
    const child = spawn(process.execPath, [SERVER, '--port', '0'], {
      stdio: ['ignore', 'pipe', 'pipe'],
    });
    server.child = child;
    child.stderr.setEncoding('utf8');
    child.stderr.on('data', (d) => server.stderrLines.push(d));
    let out = '';
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (d) => {
      out += d;
      const m = /^devserver listening on http:\/\/127\.0\.0\.1:(\d+)\n/.exec(out);
      if (m) {
        server.port = Number(m[1]);
        resolve(server.port);
      }
    });
    child.once('exit', (code) => reject(new Error(`server exited early (${code}): ${server.stderrLines.join('')}`)));
    setTimeout(() => reject(new Error('server did not report its port')), 5000).unref();
  });
}

async function stopServer() {
  const { child } = server;
  if (!child || child.exitCode !== null) return;
  const exited = new Promise((r) => child.once('exit', r));
  process.kill(child.pid, 'SIGTERM');
  await withTimeout(exited, 3000).catch(() => process.kill(child.pid, 'SIGKILL'));
}

// headers: extra request headers; body: object (sent as JSON), string (sent
// as is) or undefined (no body). Content-Length is added when there is a body.
function request(method, urlPath, { body, headers = {} } = {}) {
  return new Promise((resolve, reject) => {
    const data = body === undefined ? '' : typeof body === 'string' ? body : JSON.stringify(body);
    const all = { ...headers };
    if (data !== '') all['Content-Length'] = Buffer.byteLength(data);
    const req = http.request(
      { host: '127.0.0.1', port: server.port, method, path: urlPath, agent: false, headers: all },
      (res) => {
        let text = '';
        res.setEncoding('utf8');
        res.on('data', (c) => (text += c));
        res.on('end', () => {
          let json = null;
          try {
            json = JSON.parse(text);
          } catch (_) {
            /* not JSON: keep text */
          }
          resolve({ status: res.statusCode, json, text, headers: res.headers });
        });
      },
    );
    req.on('error', reject);
    req.end(data);
  });
}

function withTimeout(promise, ms = STEP_MS) {
  return Promise.race([
    promise,
    new Promise((_, reject) => setTimeout(() => reject(new Error('timed out')), ms).unref()),
  ]);
}

const sleep = (ms) => new Promise((r) => setTimeout(r, ms));

module.exports = { STEP_MS, server, startServer, stopServer, request, withTimeout, sleep };
