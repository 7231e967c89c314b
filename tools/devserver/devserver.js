'use strict';

// One HTTP server on loopback carrying the WebSocket endpoint (/ws), the
// account API (/v1/), the control API (/control/), the status page, the
// viewer's static files and, with --updates, an update feed (/remote-desktop/).
// It can be taken down and brought back on the same port to let clients
// exercise their reconnect logic.

const http = require('http');
const { Hub } = require('./signaling');
const { Account } = require('./account');
const { createControl } = require('./control');
const { renderIndex, serveViewer, serveUpdate, sendText } = require('./pages');

const LISTEN_HOST = '127.0.0.1';

class DevServer {
  constructor({ port = 0, bind = LISTEN_HOST, updates = null, log } = {}) {
    this.requestedPort = port;
    this.bind = bind;
    this.updates = updates;
    this.port = null;
    this.log = log || ((msg) => process.stderr.write(`[devserver] ${msg}\n`));
    this.hub = new Hub({ log: this.log });
    this.account = new Account({ hub: this.hub, log: this.log });
    this.handleControl = createControl(this);
    this.server = null;
    this.restartTimer = null;
    this.stopped = false;
  }

  // Resolves with the bound port.
  start() {
    return this.listen(this.requestedPort);
  }

  listen(port) {
    return new Promise((resolve, reject) => {
      const server = http.createServer((req, res) => this.onRequest(req, res));
      server.on('upgrade', (req, socket, head) => this.onUpgrade(req, socket, head));
      server.on('clientError', (err, socket) => {
        if (socket.writable) socket.end('HTTP/1.1 400 Bad Request\r\nConnection: close\r\n\r\n');
        else socket.destroy();
      });
      server.once('error', reject);
      server.listen(port, this.bind, () => {
        server.removeListener('error', reject);
        server.on('error', (err) => this.log(`server error: ${err.message}`));
        this.server = server;
        this.port = server.address().port;
        resolve(this.port);
      });
    });
  }

  onRequest(req, res) {
    let url;
    try {
      url = new URL(req.url, `http://${LISTEN_HOST}`);
    } catch (_) {
      return sendText(res, 400, 'bad request\n');
    }
    const p = url.pathname;
    if (p.startsWith('/control/')) {
      this.handleControl(req, res, url);
      return;
    }
    if (p.startsWith('/v1/')) {
      this.account.handle(req, res, url).catch((err) => {
        this.log(`account ${p} failed: ${err.stack || err}`);
        if (!res.headersSent) sendText(res, 500, 'internal error\n');
        else res.destroy();
      });
      return;
    }
    if (req.method !== 'GET' && req.method !== 'HEAD') {
      return sendText(res, 405, 'method not allowed\n');
    }
    if (p === '/' || p === '/index.html') return renderIndex(this.hub, req, res, this.account);
    if (p === '/viewer' || p.startsWith('/viewer/')) return serveViewer(req, res, url);
    if (p.startsWith('/remote-desktop/')) return serveUpdate(this.updates, req, res, url);
    if (p === '/favicon.ico') {
      res.writeHead(204);
      return res.end();
    }
    return sendText(res, 404, 'not found\n');
  }

  onUpgrade(req, socket, head) {
    socket.on('error', () => {});
    let url;
    try {
      url = new URL(req.url, `http://${LISTEN_HOST}`);
    } catch (_) {
      url = null;
    }
    if (!url || url.pathname !== '/ws') {
      socket.end('HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n');
      return;
    }
    this.hub.handleUpgrade(req, socket, head, url).catch((err) => {
      this.log(`upgrade failed: ${err.message}`);
      socket.destroy();
    });
  }

  // Stop listening and drop every connection: with a closing handshake, or (abrupt) cut off at
  // once, as a killed server leaves them.
  closeServer(code, reason, abrupt = false) {
    if (abrupt) this.hub.terminateAll();
    else this.hub.closeAll(code, reason);
    const server = this.server;
    this.server = null;
    if (!server) return Promise.resolve();
    return new Promise((resolve) => {
      server.close(() => resolve());
      server.closeAllConnections();
    });
  }

  async restart(downMs, abrupt = false) {
    if (this.stopped || this.restartTimer || !this.server) return;
    this.log(`restart: down for ${downMs} ms${abrupt ? ', connections cut off' : ''}`);
    const port = this.port;
    // 1012 "service restart": the host should treat this as a normal close.
    const closed = this.closeServer(1012, 'service restart', abrupt);
    this.restartTimer = setTimeout(async () => {
      this.restartTimer = null;
      // Anything still mid-handshake by now is cut off.
      this.hub.terminateAll();
      await closed;
      if (this.stopped) return;
      try {
        await this.listen(port);
        this.log(`restart: listening again on port ${port}`);
      } catch (err) {
        this.log(`restart: cannot listen on port ${port}: ${err.message}`);
        process.exitCode = 1;
      }
    }, downMs);
  }

  async stop() {
    this.stopped = true;
    if (this.restartTimer) {
      clearTimeout(this.restartTimer);
      this.restartTimer = null;
    }
    const closed = this.closeServer(1001, 'server shutting down');
    // Give peers a moment for the closing handshake, then cut the rest.
    await new Promise((resolve) => setTimeout(resolve, 100));
    this.hub.terminateAll();
    await closed;
  }
}

module.exports = { DevServer, LISTEN_HOST };
