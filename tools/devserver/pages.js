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

// Pending link requests (Approve/Deny) and linked account hosts (Revoke).
// Buttons carry the control route and its body; one small script posts them.
function renderAccount(account) {
  const { links, hosts } = account.snapshot();
  const button = (label, route, body) =>
    `<button data-route="${escapeHtml(route)}" data-body="${escapeHtml(JSON.stringify(body))}">${label}</button>`;
  const linkRows = links
    .filter((l) => l.status === 'pending')
    .reverse()
    .map(
      (l) =>
        `<tr><td><code>${escapeHtml(l.token)}</code></td><td>${escapeHtml(l.device_id)}</td>` +
        `<td>${escapeHtml(l.platform)}</td><td>${escapeHtml(l.createdAt)}</td>` +
        `<td>${button('Approve', 'link-approve', { token: l.token })} ` +
        `${button('Deny', 'link-deny', { token: l.token })}</td></tr>`,
    )
    .join('\n');
  const hostRows = hosts
    .map(
      (h) =>
        `<tr><td>${escapeHtml(h.host_id)}${h.registered ? '' : ' (not registered)'}</td>` +
        `<td>${escapeHtml(h.name === null ? '' : h.name)}</td><td>${escapeHtml(h.platform)}</td>` +
        `<td>${escapeHtml(h.device_id)}</td>` +
        `<td>${h.revoked ? 'revoked' : button('Revoke', 'revoke', { host_id: h.host_id })}</td></tr>`,
    )
    .join('\n');
  return `<h2>Link requests</h2>
<table>
<tr><th>token</th><th>device</th><th>platform</th><th>requested at</th><th></th></tr>
${linkRows || '<tr><td colspan="5">none pending</td></tr>'}
</table>
<h2>Linked hosts (${hosts.length})</h2>
<table>
<tr><th>host id</th><th>name</th><th>platform</th><th>device</th><th></th></tr>
${hostRows || '<tr><td colspan="5">none</td></tr>'}
</table>
<script>
document.addEventListener('click', function (event) {
  var b = event.target.closest('button[data-route]');
  if (!b) return;
  b.disabled = true;
  fetch('/control/' + b.dataset.route, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: b.dataset.body,
  }).finally(function () { location.reload(); });
});
</script>
<p>Account state as JSON: <a href="/control/account">/control/account</a></p>`;
}

function renderIndex(hub, req, res, account) {
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
${account ? renderAccount(account) : ''}
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
  return sendFile(req, res, file, stat);
}

// Streams a regular file with its type; `stat` is the file's.
function sendFile(req, res, file, stat) {
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

// /remote-desktop/<name>: the update feed and release archives from the folder given with
// --updates (flat names only; nothing when no folder was given).
function serveUpdate(folder, req, res, url) {
  let name;
  try {
    name = decodeURIComponent(url.pathname.slice('/remote-desktop/'.length));
  } catch (_) {
    return sendText(res, 400, 'bad path\n');
  }
  if (!folder || !name || name.includes('/') || name.includes('\0') || name.startsWith('.')) {
    return sendText(res, 404, 'not found\n');
  }
  const file = path.join(folder, name);
  let stat;
  try {
    stat = fs.statSync(file);
  } catch (_) {
    return sendText(res, 404, 'not found\n');
  }
  if (!stat.isFile()) return sendText(res, 404, 'not found\n');
  return sendFile(req, res, file, stat);
}

module.exports = { renderIndex, serveViewer, serveUpdate, sendText };
