'use strict';

// Self-test for the dev signaling server: runs it as a child process on a
// free loopback port and drives it with fake hosts/viewers.
// Run: node --test tools/devserver/test/

const { test, before, after } = require('node:test');
const assert = require('node:assert/strict');
const WebSocket = require('ws');
const { STEP_MS, server, startServer, stopServer, request: httpRequest, withTimeout, sleep } = require('../testing');

// Every request as JSON, with a Content-Length also when there is no body.
function request(method, urlPath, body) {
  const data = body === undefined ? '' : JSON.stringify(body);
  return httpRequest(method, urlPath, {
    body: data,
    headers: { 'Content-Type': 'application/json', 'Content-Length': Buffer.byteLength(data) },
  });
}

const control = (name, body) => request('POST', `/control/${name}`, body || {});
const getState = async () => (await request('GET', '/control/state')).json;

// WebSocket client with a queue of received JSON messages.
class Peer {
  constructor(query) {
    this.queue = [];
    this.waiters = [];
    this.pongs = 0;
    this.ws = new WebSocket(`ws://127.0.0.1:${server.port}/ws?${new URLSearchParams(query)}`);
    this.ws.on('message', (data) => {
      const msg = JSON.parse(data.toString());
      const w = this.waiters.shift();
      if (w) w(msg);
      else this.queue.push(msg);
    });
    this.ws.on('pong', () => (this.pongs += 1));
    this.ws.on('error', () => {});
    this.closed = new Promise((resolve) => {
      this.ws.on('close', (code, reason) => resolve({ code, reason: reason.toString() }));
    });
  }

  next(timeoutMs = STEP_MS) {
    if (this.queue.length) return Promise.resolve(this.queue.shift());
    return new Promise((resolve, reject) => {
      const timer = setTimeout(() => {
        this.waiters.splice(this.waiters.indexOf(done), 1);
        reject(new Error('timed out waiting for a message'));
      }, timeoutMs);
      const done = (msg) => {
        clearTimeout(timer);
        resolve(msg);
      };
      this.waiters.push(done);
    });
  }

  send(msg) {
    this.ws.send(JSON.stringify(msg));
  }

  close() {
    this.ws.terminate();
  }
}

async function connectHost(id, key = 'k1') {
  const host = new Peer({ role: 'host', id, key });
  const first = await host.next();
  assert.equal(first.type, 'registered');
  return { host, registered: first };
}

before(() => startServer());

after(() => stopServer());

test('host registers with the configured ice servers', async () => {
  const { host, registered } = await connectHost('reg');
  assert.deepEqual(registered.iceServers, []);
  host.close();

  const ice = [{ urls: 'stun:127.0.0.1:3478' }];
  assert.equal((await control('ice-servers', { iceServers: ice })).status, 200);
  const second = await connectHost('reg2');
  assert.deepEqual(second.registered.iceServers, ice);
  second.host.close();

  await control('ice-servers', { omit: true });
  const third = await connectHost('reg3');
  assert.equal('iceServers' in third.registered, false);
  third.host.close();
  await control('reset');
});

test('missing key is refused with 4401, unknown host for viewer with 4404', async () => {
  const noKey = new Peer({ role: 'host', id: 'nokey' });
  assert.equal((await withTimeout(noKey.closed)).code, 4401);
  const viewer = new Peer({ role: 'viewer', host: 'nobody' });
  assert.equal((await withTimeout(viewer.closed)).code, 4404);
});

test('same id and key replaces the old connection with 4409', async () => {
  const a = await connectHost('dup', 'same');
  const b = await connectHost('dup', 'same');
  assert.equal((await withTimeout(a.host.closed)).code, 4409);
  const state = await getState();
  assert.equal(state.hosts.filter((h) => h.id === 'dup').length, 1);
  b.host.close();
});

test('same id with a different key refuses the new connection with 4403', async () => {
  const a = await connectHost('taken', 'one');
  const b = new Peer({ role: 'host', id: 'taken', key: 'two' });
  assert.equal((await withTimeout(b.closed)).code, 4403);
  assert.equal(a.host.ws.readyState, WebSocket.OPEN);
  a.host.close();
});

test('virtual viewers: join, recorded messages, re-join, leave', async () => {
  const { host } = await connectHost('virt');
  const joined = await control('join', { host: 'virt', count: 2 });
  assert.equal(joined.json.viewers.length, 2);
  const [v1, v2] = joined.json.viewers;
  assert.deepEqual(await host.next(), { type: 'viewer-join', from: v1 });
  assert.deepEqual(await host.next(), { type: 'viewer-join', from: v2 });

  host.send({ type: 'offer', to: v1, sdp: 'o1' });
  host.send({ type: 'candidate', to: v2, candidate: { candidate: 'c' } });
  host.send({ type: 'candidate', to: v1, candidate: { candidate: 'c1' } });
  host.send({ type: 'status', note: 'no target' });

  await control('send-as-viewer', { viewer: v1, message: { type: 'answer', sdp: 'a1', to: 'x' } });
  assert.deepEqual(await host.next(), { type: 'answer', sdp: 'a1', from: v1 });

  const m1 = (await request('GET', `/control/messages?viewer=${v1}`)).json.messages;
  assert.deepEqual(m1.map((m) => m.type), ['offer', 'candidate']);
  const all = (await request('GET', '/control/messages')).json;
  assert.equal(all.messages.length, 3);
  assert.deepEqual(all.other, [{ type: 'status', note: 'no target' }]);

  const rejoin = await control('join', { viewer: v1 });
  assert.deepEqual(rejoin.json.viewers, [v1]);
  assert.deepEqual(await host.next(), { type: 'viewer-join', from: v1 });

  await control('leave', { viewer: v2 });
  assert.deepEqual(await host.next(), { type: 'viewer-leave', from: v2 });
  const state = await getState();
  assert.deepEqual(
    state.viewers.filter((v) => v.host === 'virt'),
    [{ id: v1, host: 'virt', virtual: true }],
  );
  host.close();
  await control('reset');
});

test('real viewer: relay both ways, kick sends viewer-leave', async () => {
  const { host } = await connectHost('real');
  const viewer = new Peer({ role: 'viewer', host: 'real' });
  const hello = await viewer.next();
  assert.equal(hello.type, 'hello');
  const id = hello.viewer;
  assert.deepEqual(await host.next(), { type: 'viewer-join', from: id });

  host.send({ type: 'offer', to: id, sdp: 'o' });
  assert.deepEqual(await viewer.next(), { type: 'offer', sdp: 'o', from: 'host' });
  viewer.send({ type: 'answer', sdp: 'a' });
  assert.deepEqual(await host.next(), { type: 'answer', sdp: 'a', from: id });

  await control('kick-viewer', { viewer: id });
  assert.deepEqual(await host.next(), { type: 'viewer-leave', from: id });
  await withTimeout(viewer.closed);
  host.close();
});

test('rejected viewer is closed with 4000 and no viewer-leave', async () => {
  const { host } = await connectHost('rej');
  const viewer = new Peer({ role: 'viewer', host: 'rej' });
  const { viewer: id } = await viewer.next();
  await host.next(); // viewer-join
  host.send({ type: 'rejected', to: id, reason: 'busy' });
  assert.deepEqual(await viewer.next(), { type: 'rejected', reason: 'busy', from: 'host' });
  const closed = await withTimeout(viewer.closed);
  assert.deepEqual(closed, { code: 4000, reason: 'rejected' });
  // The next thing the host hears must be this join, not a leave.
  const { json } = await control('join', { host: 'rej' });
  assert.deepEqual(await host.next(), { type: 'viewer-join', from: json.viewers[0] });
  host.close();
  await control('reset');
});

test('send-to-host delivers text, binary and JSON frames', async () => {
  const { host } = await connectHost('raw');
  const frames = [];
  host.ws.removeAllListeners('message');
  host.ws.on('message', (data, isBinary) => frames.push({ data: Buffer.from(data), isBinary }));
  await control('send-to-host', { host: 'raw', text: 'not json' });
  await control('send-to-host', { host: 'raw', base64: Buffer.from([1, 2, 3]).toString('base64') });
  await control('send-to-host', { host: 'raw', json: { type: 'weird' } });
  const bad = await control('send-to-host', { host: 'raw' });
  assert.equal(bad.status, 400);
  for (let i = 0; i < 50 && frames.length < 3; i += 1) await sleep(20);
  assert.equal(frames.length, 3);
  assert.deepEqual(frames[0], { data: Buffer.from('not json'), isBinary: false });
  assert.deepEqual(frames[1], { data: Buffer.from([1, 2, 3]), isBinary: true });
  assert.equal(frames[2].data.toString(), '{"type":"weird"}');
  host.close();
});

test('ping answers can be switched off and pings are counted', async () => {
  const { host } = await connectHost('pinger');
  host.ws.ping();
  for (let i = 0; i < 50 && host.pongs < 1; i += 1) await sleep(20);
  assert.equal(host.pongs, 1);

  await control('ping-answer', { enabled: false });
  host.ws.ping();
  await sleep(200);
  assert.equal(host.pongs, 1);
  const state = await getState();
  assert.equal(state.pingAnswer, false);
  assert.equal(state.hosts.find((h) => h.id === 'pinger').pings, 2);

  await control('ping-answer', { enabled: true });
  host.ws.ping();
  for (let i = 0; i < 50 && host.pongs < 2; i += 1) await sleep(20);
  assert.equal(host.pongs, 2);
  host.close();
});

test('close-host closes with the requested code', async () => {
  const { host } = await connectHost('closeme');
  const res = await control('close-host', { id: 'closeme', code: 4321, reason: 'bye' });
  assert.deepEqual(res.json.closed, ['closeme']);
  assert.deepEqual(await withTimeout(host.closed), { code: 4321, reason: 'bye' });
});

// The control state once the server listens again after a restart (2 s at most).
async function serverBack() {
  for (let i = 0; i < 40; i += 1) {
    await sleep(50);
    const state = await request('GET', '/control/state').catch(() => null);
    if (state) return state;
  }
  assert.fail('the server did not come back');
}

test('restart closes hosts with 1012 and listens again on the same port', async () => {
  const { host } = await connectHost('phoenix');
  const res = await control('restart', { downMs: 300 });
  assert.equal(res.status, 200);
  assert.equal((await withTimeout(host.closed)).code, 1012);
  // While down, connections are refused.
  await assert.rejects(request('GET', '/control/state'));
  const again = await serverBack();
  assert.deepEqual(again.json.hosts, []);
  const back = await connectHost('phoenix');
  back.host.close();
});

test('an abrupt restart cuts connections off without a closing handshake', async () => {
  const { host } = await connectHost('cutoff');
  const res = await control('restart', { downMs: 100, abrupt: true });
  assert.equal(res.json.abrupt, true);
  assert.equal((await withTimeout(host.closed)).code, 1006);
  const again = await serverBack();
  assert.deepEqual(again.json.hosts, []);
});

test('status page lists hosts', async () => {
  const { host } = await connectHost('visible<id>');
  const page = await request('GET', '/');
  assert.equal(page.status, 200);
  assert.match(page.headers['content-type'], /text\/html/);
  assert.match(page.text, /visible&#60;id&#62;/);
  host.close();
});
