'use strict';

// Control API used by tests and the demo to examine and steer the hub.
// JSON in, JSON out; every route lives under /control/.

const { HttpError } = require('./signaling');
const { issueTicket } = require('./auth');
const { sendText } = require('./pages');

// Big enough for base64 of frames well past the 16 MiB client limit, which
// tests push at the host on purpose.
const MAX_BODY_BYTES = 64 * 1024 * 1024;

function sendJson(res, status, body) {
  sendText(res, status, JSON.stringify(body), 'application/json; charset=utf-8');
}

// Reads the whole request body as text. One larger than maxBytes fails with a 413 HttpError.
function readBody(req, maxBytes) {
  return new Promise((resolve, reject) => {
    const chunks = [];
    let size = 0;
    let failed = false;
    req.on('data', (chunk) => {
      if (failed) return;
      size += chunk.length;
      if (size > maxBytes) {
        failed = true;
        reject(new HttpError(413, 'request body too large'));
        return;
      }
      chunks.push(chunk);
    });
    req.on('end', () => {
      if (!failed) resolve(Buffer.concat(chunks).toString('utf8'));
    });
    req.on('error', reject);
  });
}

// An empty body reads as {}; anything but a JSON object fails with a 400 HttpError.
async function readJsonBody(req) {
  const text = (await readBody(req, MAX_BODY_BYTES)).trim();
  if (text === '') return {};
  let body;
  try {
    body = JSON.parse(text);
  } catch (_) {
    throw new HttpError(400, 'body is not valid JSON');
  }
  if (body === null || typeof body !== 'object' || Array.isArray(body)) {
    throw new HttpError(400, 'body must be a JSON object');
  }
  return body;
}

// devServer provides: hub, account, restart(downMs).
function createControl(devServer) {
  const hub = devServer.hub;
  const accountRoutes = devServer.account.controlRoutes();

  const getRoutes = {
    state: () => hub.state(),
    messages: (url) => {
      const viewer = url.searchParams.get('viewer');
      if (viewer !== null) {
        return { messages: hub.toViewerLog.filter((m) => m.to === viewer) };
      }
      return { messages: hub.toViewerLog, other: hub.otherLog, invalid: hub.invalidLog };
    },
    ...accountRoutes.get,
  };

  const postRoutes = {
    'ping-answer': (body) => {
      if (typeof body.enabled !== 'boolean') throw new HttpError(400, 'enabled must be a boolean');
      hub.pingAnswer = body.enabled;
      return { pingAnswer: hub.pingAnswer };
    },
    'close-host': (body) => ({ closed: hub.closeHosts(body) }),
    'kick-viewer': (body) => {
      hub.removeViewer(body.viewer, 'kicked');
      return { ok: true };
    },
    join: (body) => ({ viewers: hub.joinVirtual(body) }),
    leave: (body) => {
      hub.removeViewer(body.viewer, 'left');
      return { ok: true };
    },
    'send-to-host': (body) => ({ sent: hub.sendToHost(body) }),
    'send-as-viewer': (body) => {
      hub.sendAsViewer(body.viewer, body.message);
      return { ok: true };
    },
    'ice-servers': (body) => {
      if (body.omit === true) {
        hub.iceServersOmitted = true;
      } else if (Object.prototype.hasOwnProperty.call(body, 'iceServers')) {
        hub.iceServers = body.iceServers;
        hub.iceServersOmitted = false;
      } else {
        throw new HttpError(400, 'give iceServers or omit: true');
      }
      return { iceServers: hub.iceServersOmitted ? null : hub.iceServers, omitted: hub.iceServersOmitted };
    },
    restart: (body, res) => {
      const downMs = body.downMs === undefined ? 500 : Number(body.downMs);
      if (!Number.isFinite(downMs) || downMs < 0) throw new HttpError(400, 'downMs must be >= 0');
      // Go down only once the reply has left, so the caller gets it.
      const abrupt = body.abrupt === true;
      res.once('finish', () => devServer.restart(downMs, abrupt));
      return { ok: true, downMs, abrupt };
    },
    // Issues a signaling ticket for a host id, as the account server does for linked hosts.
    ticket: (body) => {
      if (typeof body.host !== 'string' || body.host === '') throw new HttpError(400, 'host must be a non-empty string');
      const ttlMs = body.ttlMs === undefined ? 60000 : Number(body.ttlMs);
      const ticket = typeof body.ticket === 'string' && body.ticket !== ''
        ? body.ticket : `t-${Math.random().toString(36).slice(2)}${Date.now().toString(36)}`;
      return { ticket: issueTicket(body.host, ticket, ttlMs) };
    },
    reset: () => {
      hub.reset();
      devServer.account.reset();
      return { ok: true };
    },
    ...accountRoutes.post,
  };

  return async function handleControl(req, res, url) {
    const name = url.pathname.slice('/control/'.length);
    try {
      if (req.method === 'GET' && getRoutes[name]) {
        return sendJson(res, 200, getRoutes[name](url));
      }
      if (req.method === 'POST' && postRoutes[name]) {
        const body = await readJsonBody(req);
        return sendJson(res, 200, postRoutes[name](body, res));
      }
      if (getRoutes[name] || postRoutes[name]) {
        return sendJson(res, 405, { error: `method ${req.method} not allowed` });
      }
      return sendJson(res, 404, { error: `no control route ${name}` });
    } catch (err) {
      const status = err instanceof HttpError ? err.status : 500;
      if (status === 500) devServer.log(`control ${name} failed: ${err.stack || err}`);
      if (!res.headersSent) sendJson(res, status, { error: err.message });
    }
  };
}

module.exports = { createControl, sendJson, readBody, readJsonBody };
