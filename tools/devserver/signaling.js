'use strict';

// Signaling hub: tracks host and viewer sockets, relays messages between
// them, and keeps the bookkeeping the control API exposes to tests.
// Everything lives in memory for the lifetime of the process.

const { WebSocketServer, WebSocket } = require('ws');
const { authenticateHost } = require('./auth');

// Clients may send large SDP blobs; tests also push oversized frames the
// other way, so this only bounds what we accept.
const MAX_FRAME_BYTES = 16 * 1024 * 1024;

const DEFAULT_ICE_SERVERS = [];

class HttpError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

function isPlainObject(v) {
  return v !== null && typeof v === 'object' && !Array.isArray(v);
}

class Hub {
  constructor({ log }) {
    this.log = log || (() => {});
    this.hosts = new Map(); // hostId -> host record (current connection)
    this.viewers = new Map(); // viewerId -> viewer record (real or virtual)
    this.sockets = new Set(); // every open WebSocket, for restart/shutdown
    this.usedViewerIds = new Set();
    this.viewerCounter = 0;
    this.resetSettings();
    this.clearRecords();
    // autoPong is off so the host's pings can be left unanswered on demand;
    // we pong by hand instead.
    this.wss = new WebSocketServer({
      noServer: true,
      autoPong: false,
      maxPayload: MAX_FRAME_BYTES,
    });
  }

  resetSettings() {
    this.pingAnswer = true;
    this.iceServers = DEFAULT_ICE_SERVERS;
    this.iceServersOmitted = false;
  }

  clearRecords() {
    this.toViewerLog = []; // host messages carrying "to", in arrival order
    this.otherLog = []; // host messages without "to"
    this.invalidLog = []; // host frames that were not a JSON object
  }

  // ---- connection setup -------------------------------------------------

  async handleUpgrade(req, socket, head, url) {
    const query = {};
    for (const [k, v] of url.searchParams) query[k] = v;
    let auth = null;
    if (query.role === 'host') {
      try {
        auth = await authenticateHost(query);
      } catch (err) {
        this.log(`host auth failed: ${err.message}`);
        auth = { closeCode: 1011, reason: 'auth error' };
      }
    }
    this.wss.handleUpgrade(req, socket, head, (ws) => {
      this.sockets.add(ws);
      ws.on('close', () => this.sockets.delete(ws));
      ws.on('error', (err) => this.log(`socket error: ${err.message}`));
      if (query.role === 'host') this.acceptHost(ws, query, auth);
      else if (query.role === 'viewer') this.acceptViewer(ws, query);
      else ws.close(4400, 'unknown role');
    });
  }

  acceptHost(ws, query, auth) {
    if (!auth || !auth.ok) {
      const code = (auth && auth.closeCode) || 4401;
      const reason = (auth && auth.reason) || 'unauthorized';
      this.log(`host refused (${code} ${reason})`);
      ws.close(code, reason);
      return;
    }
    const id = auth.hostId;
    const existing = this.hosts.get(id);
    if (existing) {
      if (existing.key !== auth.key) {
        this.log(`host ${id}: id in use with another key, refusing new connection`);
        ws.close(4403, 'host id in use');
        return;
      }
      this.log(`host ${id}: reconnected, closing the older connection`);
      this.detachHost(existing);
      existing.ws.close(4409, 'reconnected elsewhere');
    }

    const host = {
      id,
      key: auth.key,
      ws,
      connectedAt: new Date().toISOString(),
      pings: 0,
      query,
    };
    this.hosts.set(id, host);
    this.log(`host ${id}: registered`);

    ws.on('ping', (data) => {
      host.pings += 1;
      if (this.pingAnswer && ws.readyState === WebSocket.OPEN) ws.pong(data);
    });
    ws.on('message', (data, isBinary) => this.onHostFrame(host, data, isBinary));
    ws.on('close', (code) => {
      if (this.hosts.get(id) === host) {
        this.log(`host ${id}: disconnected (${code})`);
        this.detachHost(host);
      }
    });

    const registered = { type: 'registered' };
    if (!this.iceServersOmitted) registered.iceServers = this.iceServers;
    this.sendJson(ws, registered);
  }

  acceptViewer(ws, query) {
    const host = query.host ? this.hosts.get(query.host) : undefined;
    if (!host) {
      ws.close(4404, 'host not online');
      return;
    }
    const viewer = this.addViewer(host, this.nextViewerId(), false, ws);
    ws.on('ping', (data) => {
      if (ws.readyState === WebSocket.OPEN) ws.pong(data);
    });
    ws.on('message', (data, isBinary) => this.onViewerFrame(viewer, data, isBinary));
    ws.on('close', () => {
      if (this.viewers.get(viewer.id) === viewer) {
        this.viewers.delete(viewer.id);
        this.log(`viewer ${viewer.id}: left`);
        this.sendJson(viewer.host.ws, { type: 'viewer-leave', from: viewer.id });
      }
    });
    this.sendJson(ws, { type: 'hello', viewer: viewer.id });
    this.sendJson(host.ws, { type: 'viewer-join', from: viewer.id });
  }

  nextViewerId() {
    // Fixed ids handed in through the control API share this namespace, so
    // skip anything already used to keep ids unique for the process lifetime.
    let id;
    do {
      this.viewerCounter += 1;
      id = `v${this.viewerCounter}`;
    } while (this.usedViewerIds.has(id));
    this.usedViewerIds.add(id);
    return id;
  }

  addViewer(host, id, virtual, ws) {
    const viewer = { id, host, virtual, ws: ws || null };
    this.viewers.set(id, viewer);
    this.usedViewerIds.add(id);
    this.log(`viewer ${id}: joined host ${host.id}${virtual ? ' (virtual)' : ''}`);
    return viewer;
  }

  // Forget a host connection and the viewers attached to it. Its viewers
  // cannot reach anyone any more, so real ones are closed.
  detachHost(host) {
    if (this.hosts.get(host.id) === host) this.hosts.delete(host.id);
    for (const viewer of [...this.viewers.values()]) {
      if (viewer.host !== host) continue;
      this.viewers.delete(viewer.id);
      if (viewer.ws) viewer.ws.close(1001, 'host left');
    }
  }

  // ---- relaying -----------------------------------------------------------

  onHostFrame(host, data, isBinary) {
    // Frames still in flight on a replaced connection are dropped.
    if (this.hosts.get(host.id) !== host) return;
    const msg = this.parseFrame(data, isBinary);
    if (msg === undefined) {
      this.invalidLog.push(
        isBinary
          ? { host: host.id, base64: Buffer.from(data).toString('base64') }
          : { host: host.id, text: data.toString('utf8') },
      );
      this.log(`host ${host.id}: ignored a frame that is not a JSON object`);
      return;
    }
    if (!Object.prototype.hasOwnProperty.call(msg, 'to')) {
      this.otherLog.push(msg);
      return;
    }
    this.toViewerLog.push(msg);
    const viewer = typeof msg.to === 'string' ? this.viewers.get(msg.to) : undefined;
    if (!viewer || viewer.host !== host) {
      this.log(`host ${host.id}: "${msg.type}" to unknown viewer ${JSON.stringify(msg.to)}`);
      return;
    }
    const rejected = msg.type === 'rejected';
    if (viewer.virtual) {
      // Virtual viewers only record; a rejection ends them like a real one.
      if (rejected) this.viewers.delete(viewer.id);
      return;
    }
    const out = { ...msg, from: 'host' };
    delete out.to;
    this.sendJson(viewer.ws, out);
    if (rejected) {
      // The host already knows; no viewer-leave for a viewer it turned away.
      this.viewers.delete(viewer.id);
      viewer.ws.close(4000, 'rejected');
    }
  }

  onViewerFrame(viewer, data, isBinary) {
    if (this.viewers.get(viewer.id) !== viewer) return;
    const msg = this.parseFrame(data, isBinary);
    if (msg === undefined) {
      this.log(`viewer ${viewer.id}: ignored a frame that is not a JSON object`);
      return;
    }
    this.forwardFromViewer(viewer, msg);
  }

  forwardFromViewer(viewer, msg) {
    const out = { ...msg, from: viewer.id };
    delete out.to;
    this.sendJson(viewer.host.ws, out);
  }

  parseFrame(data, isBinary) {
    if (isBinary) return undefined;
    try {
      const msg = JSON.parse(data.toString('utf8'));
      return isPlainObject(msg) ? msg : undefined;
    } catch (_) {
      return undefined;
    }
  }

  sendJson(ws, msg) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(msg));
  }

  // ---- operations used by the control API --------------------------------

  findHost(id) {
    if (id !== undefined && id !== null) {
      const host = this.hosts.get(String(id));
      if (!host) throw new HttpError(404, `host ${id} is not online`);
      return host;
    }
    const first = this.hosts.values().next().value;
    if (!first) throw new HttpError(404, 'no host is online');
    return first;
  }

  findViewer(id) {
    const viewer = typeof id === 'string' ? this.viewers.get(id) : undefined;
    if (!viewer) throw new HttpError(404, `viewer ${JSON.stringify(id)} not found`);
    return viewer;
  }

  state() {
    return {
      hosts: [...this.hosts.values()].map((h) => ({
        id: h.id,
        key: h.key,
        connectedAt: h.connectedAt,
        pings: h.pings,
        query: h.query,
      })),
      viewers: [...this.viewers.values()].map((v) => ({
        id: v.id,
        host: v.host.id,
        virtual: v.virtual,
      })),
      pingAnswer: this.pingAnswer,
      iceServers: this.iceServersOmitted ? null : this.iceServers,
      iceServersOmitted: this.iceServersOmitted,
    };
  }

  joinVirtual({ host: hostId, viewer: fixedId, count }) {
    const host = this.findHost(hostId);
    const n = count === undefined ? 1 : Number(count);
    if (!Number.isInteger(n) || n < 1 || n > 1000) {
      throw new HttpError(400, 'count must be an integer between 1 and 1000');
    }
    if (fixedId !== undefined) {
      if (typeof fixedId !== 'string' || fixedId === '') {
        throw new HttpError(400, 'viewer must be a non-empty string');
      }
      if (n !== 1) throw new HttpError(400, 'count cannot be combined with a fixed viewer id');
      const existing = this.viewers.get(fixedId);
      if (existing && !existing.virtual) {
        throw new HttpError(409, `viewer ${fixedId} is a connected real viewer`);
      }
      // Re-joining an existing virtual viewer re-announces the same id.
      const viewer = existing || this.addViewer(host, fixedId, true, null);
      viewer.host = host;
      this.sendJson(host.ws, { type: 'viewer-join', from: viewer.id });
      return [viewer.id];
    }
    const ids = [];
    for (let i = 0; i < n; i += 1) {
      const viewer = this.addViewer(host, this.nextViewerId(), true, null);
      this.sendJson(host.ws, { type: 'viewer-join', from: viewer.id });
      ids.push(viewer.id);
    }
    return ids;
  }

  // Removes a viewer (real or virtual) and tells its host right away, so the
  // host sees viewer-leave even if the viewer's socket lingers while closing.
  removeViewer(id, reason) {
    const viewer = this.findViewer(id);
    this.viewers.delete(viewer.id);
    this.log(`viewer ${viewer.id}: removed (${reason})`);
    this.sendJson(viewer.host.ws, { type: 'viewer-leave', from: viewer.id });
    if (viewer.ws) viewer.ws.close(1000, reason);
  }

  sendAsViewer(id, message) {
    const viewer = this.findViewer(id);
    if (!isPlainObject(message)) throw new HttpError(400, 'message must be a JSON object');
    this.forwardFromViewer(viewer, message);
  }

  sendToHost(body) {
    const host = this.findHost(body.host);
    const given = ['text', 'base64', 'json'].filter((k) =>
      Object.prototype.hasOwnProperty.call(body, k),
    );
    if (given.length !== 1) {
      throw new HttpError(400, 'give exactly one of text, base64, json');
    }
    if (host.ws.readyState !== WebSocket.OPEN) throw new HttpError(409, 'host socket is not open');
    if (given[0] === 'text') {
      if (typeof body.text !== 'string') throw new HttpError(400, 'text must be a string');
      host.ws.send(body.text);
      return body.text.length;
    }
    if (given[0] === 'base64') {
      if (typeof body.base64 !== 'string') throw new HttpError(400, 'base64 must be a string');
      const buf = Buffer.from(body.base64, 'base64');
      host.ws.send(buf, { binary: true });
      return buf.length;
    }
    const text = JSON.stringify(body.json === undefined ? null : body.json);
    host.ws.send(text);
    return text.length;
  }

  closeHosts({ id, code, reason, terminate }) {
    const targets = id !== undefined && id !== null ? [this.findHost(id)] : [...this.hosts.values()];
    const closeCode = code === undefined ? 1000 : Number(code);
    // 1006 is never sent on the wire; asking for it means "drop the TCP
    // connection without a closing handshake".
    const drop = terminate === true || closeCode === 1006;
    if (!drop && !isValidCloseCode(closeCode)) {
      throw new HttpError(400, `close code ${code} cannot be sent`);
    }
    const text = reason === undefined ? '' : String(reason);
    if (Buffer.byteLength(text) > 123) throw new HttpError(400, 'reason is too long');
    for (const host of targets) {
      this.detachHost(host);
      if (drop) host.ws.terminate();
      else host.ws.close(closeCode, text);
    }
    return targets.map((h) => h.id);
  }

  // Closes the host connected under `id`, if any (used when its account link
  // is revoked). Returns whether one was open.
  closeHostIfOnline(id, code, reason) {
    const host = this.hosts.get(id);
    if (!host) return false;
    this.log(`host ${id}: closing (${code} ${reason})`);
    this.detachHost(host);
    host.ws.close(code, reason);
    return true;
  }

  // Clears test bookkeeping; live connections are left alone. Virtual
  // viewers are announced as gone so the host's view stays consistent.
  reset() {
    for (const viewer of [...this.viewers.values()]) {
      if (!viewer.virtual) continue;
      this.viewers.delete(viewer.id);
      this.sendJson(viewer.host.ws, { type: 'viewer-leave', from: viewer.id });
    }
    this.clearRecords();
    this.resetSettings();
  }

  // Closes every socket (used for restart and shutdown). Sockets that do not
  // finish the closing handshake are cut by terminateAll().
  closeAll(code, reason) {
    this.hosts.clear();
    this.viewers.clear();
    for (const ws of this.sockets) {
      if (ws.readyState === WebSocket.OPEN) ws.close(code, reason);
    }
  }

  terminateAll() {
    this.hosts.clear();
    this.viewers.clear();
    for (const ws of this.sockets) ws.terminate();
    this.sockets.clear();
  }
}

function isValidCloseCode(code) {
  return (
    Number.isInteger(code) &&
    ((code >= 1000 && code <= 1014 && code !== 1004 && code !== 1005 && code !== 1006) ||
      (code >= 3000 && code <= 4999))
  );
}

module.exports = { Hub, HttpError, MAX_FRAME_BYTES };
