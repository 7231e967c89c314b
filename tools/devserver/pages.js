'use strict';

// Human-facing HTTP: the status page at / and the viewer's static files.

const fs = require('fs');
const path = require('path');

const VIEWER_ROOT = path.resolve(__dirname, '..', 'viewer');

const CONTENT_TYPES = {
  '.html': 'text/html; charset=utf-8',
  '.htm': 'text/html; charset=utf-8',
  '.js': 'text/javascript; charset=utf-8',
  '.mjs': 'text/javascript; charset=utf-8',
  '.css': 'text/css; charset=utf-8',
  '.json': 'application/json; charset=utf-8',
  '.map': 'application/json; charset=utf-8',
  '.txt': 'text/plain; charset=utf-8',
  '.svg': 'image/svg+xml',
  '.png': 'image/png',
  '.jpg': 'image/jpeg',
  '.jpeg': 'image/jpeg',
  '.gif': 'image/gif',
  '.webp': 'image/webp',
  '.ico': 'image/x-icon',
  '.wasm': 'application/wasm',
  '.woff': 'font/woff',
  '.woff2': 'font/woff2',
  '.webmanifest': 'application/manifest+json',
};

function escapeHtml(s) {
  return String(s).replace(/[&<>"']/g, (c) => `&#${c.charCodeAt(0)};`);
}

function sendText(res, status, text, type = 'text/plain; charset=utf-8') {
  res.writeHead(status, {
    'Content-Type': type,
    'Content-Length': Buffer.byteLength(text),
    'Cache-Control': 'no-store',
  });
  res.end(text);
}

function renderIndex(hub, req, res) {
  const state = hub.state();
  const viewerCount = (hostId) => state.viewers.filter((v) => v.host === hostId).length;
  const hostRows = state.hosts
    .map(
      (h) =>
        `<tr><td>${escapeHtml(h.id)}</td><td>${escapeHtml(h.connectedAt)}</td>` +
        `<td>${h.pings}</td><td>${viewerCount(h.id)}</td></tr>`,
    )
    .join('\n');
  const viewerRows = state.viewers
    .map(
      (v) =>
        `<tr><td>${escapeHtml(v.id)}</td><td>${escapeHtml(v.host)}</td>` +
        `<td>${v.virtual ? 'virtual' : 'socket'}</td></tr>`,
    )
    .join('\n');
  const viewerLink = fs.existsSync(VIEWER_ROOT)
    ? '<p><a href="/viewer/">Open the viewer</a></p>'
    : '';
  const html = `<!doctype html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta http-equiv="refresh" content="3">
<title>Velquin dev signaling</title>
<style>
body { font-family: sans-serif; margin: 1.5em; }
table { border-collapse: collapse; margin-bottom: 1.5em; }
td, th { border: 1px solid #bbb; padding: 0.25em 0.6em; text-align: left; }
</style>
</head>
<body>
<h1>Velquin dev signaling</h1>
${viewerLink}
<p>Ping answers: ${state.pingAnswer ? 'on' : 'off'}</p>
<h2>Hosts (${state.hosts.length})</h2>
<table>
<tr><th>id</th><th>connected at</th><th>pings</th><th>viewers</th></tr>
${hostRows || '<tr><td colspan="4">none online</td></tr>'}
</table>
<h2>Viewers (${state.viewers.length})</h2>
<table>
<tr><th>id</th><th>host</th><th>kind</th></tr>
${viewerRows || '<tr><td colspan="3">none</td></tr>'}
</table>
<p>State as JSON: <a href="/control/state">/control/state</a></p>
</body>
</html>
`;
  sendText(res, 200, html, 'text/html; charset=utf-8');
}

// Serves /viewer/... from tools/viewer/, never from outside it.
function serveViewer(req, res, url) {
  if (url.pathname === '/viewer') {
    res.writeHead(301, { Location: '/viewer/' });
    return res.end();
  }
  let rel;
  try {
    rel = decodeURIComponent(url.pathname.slice('/viewer/'.length));
  } catch (_) {
    return sendText(res, 400, 'bad path\n');
  }
  if (rel.includes('\0')) return sendText(res, 400, 'bad path\n');
  if (rel === '' || rel.endsWith('/')) rel += 'index.html';

  let root;
  let file;
  try {
    root = fs.realpathSync(VIEWER_ROOT);
    file = fs.realpathSync(path.resolve(root, rel));
  } catch (_) {
    return sendText(res, 404, 'not found\n');
  }
  // Compare real paths so neither ".." nor symlinks lead outside the folder.
  if (!file.startsWith(root + path.sep)) return sendText(res, 404, 'not found\n');

  let stat;
  try {
    stat = fs.statSync(file);
    if (stat.isDirectory()) {
      file = path.join(file, 'index.html');
      stat = fs.statSync(file);
    }
  } catch (_) {
    return sendText(res, 404, 'not found\n');
  }
  if (!stat.isFile()) return sendText(res, 404, 'not found\n');

  const type = CONTENT_TYPES[path.extname(file).toLowerCase()] || 'application/octet-stream';
  res.writeHead(200, {
    'Content-Type': type,
    'Content-Length': stat.size,
    'Cache-Control': 'no-store',
    'X-Content-Type-Options': 'nosniff',
  });
  if (req.method === 'HEAD') return res.end();
  fs.createReadStream(file)
    .on('error', () => res.destroy())
    .pipe(res);
}

module.exports = { renderIndex, serveViewer, sendText };
