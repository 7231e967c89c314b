'use strict';

// Development account server: links a host to an account by QR code, lets
// it register, and hands out signaling tickets. Tests can force each route
// to misbehave (see setMode). Everything is kept in memory only.

const crypto = require('crypto');
const { issueTicket, forgetTicketsFor } = require('./auth');
const { HttpError } = require('./signaling');
const { readBody } = require('./control');
const { sendText } = require('./pages');

// The host only ever sends small JSON objects.
const MAX_BODY_BYTES = 1024 * 1024;

const DEFAULT_CONFIG = Object.freeze({
  ticketTtlMs: 60000,
  linkTtlMs: 300000,
  signalUrl: null,
  appKey: null,
});

// "METHOD path" -> endpoint name used by the control API.
const ROUTES = {
  'POST /v1/rd/host/ticket': 'ticket',
  'POST /v1/rd/host/register': 'register',
  'POST /v1/link/request': 'link-request',
  'GET /v1/link/status': 'link-status',
};
const ENDPOINTS = Object.values(ROUTES);
const KNOWN_PATHS = new Set(Object.keys(ROUTES).map((r) => r.split(' ')[1]));
const MODES = ['normal', 'not-deployed', 'unauthorized', 'error', 'bad-json', 'missing-field', 'slow'];
const LOGGED_HEADERS = ['x-app-key', 'authorization', 'content-type'];

// URL-safe, so the token can go into a QR code URL and a query string as is.
function randomToken(prefix) {
  return `${prefix}${crypto.randomBytes(18).toString('base64url')}`;
}

function send(res, status, text, type) {
  if (res.destroyed || res.writableEnded) return;
  sendText(res, status, text, type);
}

function sendJson(res, status, body) {
  send(res, status, JSON.stringify(body), 'application/json');
}

function isPlainObject(v) {
  return v !== null && typeof v === 'object' && !Array.isArray(v);
}

function requireStrings(body, names) {
  if (!isPlainObject(body)) throw new HttpError(400, 'body must be a JSON object');
  for (const name of names) {
    if (typeof body[name] !== 'string') throw new HttpError(422, `${name} must be a string`);
  }
}

class Account {
  constructor({ hub, log }) {
    this.hub = hub;
    this.log = log || (() => {});
    // Never reset, so ids stay unique while old connections may still be open.
    this.hostCounter = 0;
    this.reset();
  }

  reset() {
    this.links = new Map(); // link token -> link request, oldest first
    this.hosts = new Map(); // host token -> account host
    this.requests = []; // every account API request, in arrival order
    this.modes = {}; // endpoint -> {mode, ...}; absent means normal
    this.config = { ...DEFAULT_CONFIG };
  }

  // Pending requests past their lifetime turn into expired ones.
  refresh(link) {
    if (link.status === 'pending' && Date.now() >= link.expiresAt) link.status = 'expired';
    return link;
  }

  // The id tickets are issued under: the registered id, or a stand-in
  // until the host has registered.
  signalingId(host) {
    return host.hostId || host.pendingId;
  }

  // ---- the HTTP API the host talks to ------------------------------------

  async handle(req, res, url) {
    let text = '';
    let tooLarge = false;
    try {
      text = await readBody(req, MAX_BODY_BYTES);
    } catch (err) {
      if (!(err instanceof HttpError)) throw err;
      tooLarge = true;
    }
    let body = null;
    if (text.trim() !== '') {
      try {
        body = JSON.parse(text);
      } catch (_) {
        body = text;
      }
    }
    this.record(req, url, body);
    if (tooLarge) return sendJson(res, 413, { detail: 'request body too large' });

    const endpoint = ROUTES[`${req.method} ${url.pathname}`];
    if (!endpoint) {
      if (KNOWN_PATHS.has(url.pathname)) return sendJson(res, 405, { detail: 'Method Not Allowed' });
      return sendJson(res, 404, { detail: 'Not Found' });
    }

    const forced = this.modes[endpoint];
    if (forced && forced.mode === 'slow') {
      await new Promise((resolve) => setTimeout(resolve, forced.delayMs));
    } else if (forced && this.answerForced(res, forced)) {
      return undefined;
    }

    const appKey = this.config.appKey;
    if (typeof appKey === 'string' && req.headers['x-app-key'] !== appKey) {
      return sendJson(res, 403, { detail: 'bad app key' });
    }

    try {
      return sendJson(res, 200, this.answer(endpoint, req, url, body));
    } catch (err) {
      if (!(err instanceof HttpError)) throw err;
      return sendJson(res, err.status, { detail: err.message });
    }
  }

  record(req, url, body) {
    const headers = {};
    for (const name of LOGGED_HEADERS) {
      if (req.headers[name] !== undefined) headers[name] = req.headers[name];
    }
    const query = {};
    for (const [k, v] of url.searchParams) query[k] = v;
    this.requests.push({ method: req.method, path: url.pathname, query, headers, body });
  }

  // Answers for a forced failure mode; returns false when none applies.
  answerForced(res, forced) {
    switch (forced.mode) {
      case 'not-deployed':
        sendJson(res, 404, { detail: 'Not Found' });
        return true;
      case 'unauthorized':
        sendJson(res, 401, { detail: 'unauthorized' });
        return true;
      case 'error':
        if (typeof forced.detail === 'string') sendJson(res, forced.status, { detail: forced.detail });
        else send(res, forced.status, '<html>error</html>', 'text/html; charset=utf-8');
        return true;
      case 'bad-json':
        send(res, 200, 'not json{', 'application/json');
        return true;
      case 'missing-field':
        sendJson(res, 200, {});
        return true;
      default:
        return false;
    }
  }

  // The account host behind "Authorization: Bearer <token>", or 401.
  authorizedHost(req) {
    const m = /^Bearer\s+(\S+)\s*$/i.exec(req.headers.authorization || '');
    const host = m ? this.hosts.get(m[1]) : undefined;
    if (!host || host.revoked) throw new HttpError(401, 'unauthorized');
    return host;
  }

  answer(endpoint, req, url, body) {
    switch (endpoint) {
      case 'ticket':
        return this.onTicket(req, body);
      case 'register':
        return this.onRegister(req, body);
      case 'link-request':
        return this.onLinkRequest(body);
      default:
        return this.onLinkStatus(url);
    }
  }

  onTicket(req, body) {
    const host = this.authorizedHost(req);
    requireStrings(body, ['device_id']);
    const ticket = issueTicket(this.signalingId(host), randomToken('t-'), this.config.ticketTtlMs);
    host.ticketsIssued += 1;
    const answer = { ticket };
    if (typeof this.config.signalUrl === 'string') answer.signal_url = this.config.signalUrl;
    return answer;
  }

  onRegister(req, body) {
    const host = this.authorizedHost(req);
    requireStrings(body, ['device_id', 'name', 'platform']);
    if (!host.hostId) host.hostId = `h-${host.n}`;
    host.name = body.name;
    host.platform = body.platform;
    host.device_id = body.device_id;
    host.registeredAt = new Date().toISOString();
    return { host_id: host.hostId };
  }

  onLinkRequest(body) {
    requireStrings(body, ['device_id', 'platform']);
    const link = {
      token: randomToken('l-'),
      status: 'pending',
      device_id: body.device_id,
      platform: body.platform,
      createdAt: new Date().toISOString(),
      expiresAt: Date.now() + this.config.linkTtlMs,
      hostToken: null,
    };
    this.links.set(link.token, link);
    this.log(`account: link request ${link.token} from ${link.device_id} (${link.platform})`);
    return { token: link.token };
  }

  onLinkStatus(url) {
    const token = url.searchParams.get('token');
    const link = token === null ? undefined : this.links.get(token);
    if (!link) return { status: 'invalid' };
    switch (this.refresh(link).status) {
      case 'pending':
        return { status: 'pending' };
      case 'approved':
        return { status: 'approved', host_token: link.hostToken };
      case 'expired':
        return { status: 'expired' };
      default: // denied
        return { status: 'invalid' };
    }
  }

  // ---- operations for the control API and the status page ----------------

  snapshot() {
    for (const link of this.links.values()) this.refresh(link);
    return {
      links: [...this.links.values()].map((l) => ({
        token: l.token,
        status: l.status,
        device_id: l.device_id,
        platform: l.platform,
        createdAt: l.createdAt,
      })),
      hosts: [...this.hosts.values()].map((h) => ({
        host_id: this.signalingId(h),
        registered: h.hostId !== null,
        token: h.token,
        name: h.name,
        platform: h.platform,
        device_id: h.device_id,
        revoked: h.revoked,
        link: h.link,
        ticketsIssued: h.ticketsIssued,
      })),
      requests: this.requests,
      mode: this.modes,
      config: this.config,
    };
  }

  // The named link request if it is pending, else the newest pending one.
  pendingLink(token) {
    if (token !== undefined && token !== null) {
      const link = typeof token === 'string' ? this.links.get(token) : undefined;
      if (!link || this.refresh(link).status !== 'pending') {
        throw new HttpError(404, `no pending link request ${JSON.stringify(token)}`);
      }
      return link;
    }
    const links = [...this.links.values()].reverse();
    const link = links.find((l) => this.refresh(l).status === 'pending');
    if (!link) throw new HttpError(404, 'no link request is pending');
    return link;
  }

  approve(token) {
    const link = this.pendingLink(token);
    this.hostCounter += 1;
    const host = {
      n: this.hostCounter,
      token: randomToken('ht-'),
      hostId: null,
      pendingId: `pending-${this.hostCounter}`,
      name: null,
      platform: link.platform,
      device_id: link.device_id,
      revoked: false,
      link: link.token,
      ticketsIssued: 0,
      registeredAt: null,
    };
    this.hosts.set(host.token, host);
    link.status = 'approved';
    link.hostToken = host.token;
    this.log(`account: link request ${link.token} approved`);
    return { token: link.token, host_token: host.token };
  }

  finish(token, status) {
    const link = this.pendingLink(token);
    link.status = status;
    this.log(`account: link request ${link.token} ${status}`);
    return { token: link.token, status };
  }

  // Revokes one account host (by its registered or stand-in id) or all of
  // them: the token stops working, unused tickets are dropped and an open
  // signaling connection is closed with 4410.
  revoke(hostId) {
    let targets = [...this.hosts.values()];
    if (hostId !== undefined && hostId !== null) {
      targets = targets.filter((h) => h.hostId === hostId || h.pendingId === hostId);
      if (targets.length === 0) throw new HttpError(404, `no account host ${JSON.stringify(hostId)}`);
    }
    const closed = [];
    for (const host of targets) {
      host.revoked = true;
      for (const id of new Set([host.pendingId, host.hostId].filter(Boolean))) {
        forgetTicketsFor(id);
        if (this.hub.closeHostIfOnline(id, 4410, 'revoked')) closed.push(id);
      }
    }
    return { revoked: targets.map((h) => this.signalingId(h)), closed };
  }

  setMode(body) {
    if (!MODES.includes(body.mode)) throw new HttpError(400, `mode must be one of ${MODES.join(', ')}`);
    let endpoints = ENDPOINTS;
    if (body.endpoint !== undefined) {
      if (!ENDPOINTS.includes(body.endpoint)) {
        throw new HttpError(400, `endpoint must be one of ${ENDPOINTS.join(', ')}`);
      }
      endpoints = [body.endpoint];
    }
    const forced = { mode: body.mode };
    if (body.mode === 'error') {
      forced.status = body.status === undefined ? 500 : Number(body.status);
      if (!Number.isInteger(forced.status) || forced.status < 200 || forced.status > 599) {
        throw new HttpError(400, 'status must be an integer from 200 to 599');
      }
      if (body.detail !== undefined) {
        if (typeof body.detail !== 'string') throw new HttpError(400, 'detail must be a string');
        forced.detail = body.detail;
      }
    } else if (body.mode === 'slow') {
      forced.delayMs = body.delayMs === undefined ? 2000 : Number(body.delayMs);
      if (!Number.isInteger(forced.delayMs) || forced.delayMs < 0) {
        throw new HttpError(400, 'delayMs must be an integer >= 0');
      }
    }
    for (const endpoint of endpoints) {
      if (body.mode === 'normal') delete this.modes[endpoint];
      else this.modes[endpoint] = { ...forced };
    }
    return { mode: this.modes };
  }

  setConfig(body) {
    const next = { ...this.config };
    for (const name of ['ticketTtlMs', 'linkTtlMs']) {
      if (body[name] === undefined) continue;
      const ms = Number(body[name]);
      if (typeof body[name] !== 'number' || !Number.isFinite(ms) || ms < 0) {
        throw new HttpError(400, `${name} must be a number >= 0`);
      }
      next[name] = ms;
    }
    for (const name of ['signalUrl', 'appKey']) {
      if (body[name] === undefined) continue;
      if (body[name] !== null && typeof body[name] !== 'string') {
        throw new HttpError(400, `${name} must be a string or null`);
      }
      next[name] = body[name];
    }
    this.config = next;
    return { config: this.config };
  }

  // Routes merged into the control API.
  controlRoutes() {
    return {
      get: {
        account: () => this.snapshot(),
      },
      post: {
        'link-approve': (body) => this.approve(body.token),
        'link-deny': (body) => this.finish(body.token, 'denied'),
        'link-expire': (body) => this.finish(body.token, 'expired'),
        revoke: (body) => this.revoke(body.host_id),
        'account-mode': (body) => this.setMode(body),
        'account-config': (body) => this.setConfig(body),
      },
    };
  }
}

module.exports = { Account };
