'use strict';

// Self-test for the dev server's account API (/v1/): linking by QR code,
// registration, signaling tickets, revocation and the forced failure modes.
// Run: node --test tools/devserver/test/

const { test, before, after, beforeEach } = require('node:test');
const assert = require('node:assert/strict');
const WebSocket = require('ws');
const { server, startServer, stopServer, request, withTimeout, sleep } = require('../testing');

const control = (name, body) =>
  request('POST', `/control/${name}`, { body: body || {}, headers: { 'Content-Type': 'application/json' } });
const accountState = async () => (await request('GET', '/control/account')).json;

// The requests exactly as the host makes them.
function hostPost(urlPath, body, hostToken, appKey = '') {
  const headers = { 'X-App-Key': appKey, 'Content-Type': 'application/json' };
  if (hostToken !== undefined) headers.Authorization = `Bearer ${hostToken}`;
  return request('POST', urlPath, { body, headers });
}
const linkRequest = (appKey) =>
  hostPost('/v1/link/request', { device_id: 'dev-1', platform: 'linux' }, undefined, appKey);
const linkStatus = (token, appKey = '') =>
  request('GET', `/v1/link/status?token=${encodeURIComponent(token)}`, { headers: { 'X-App-Key': appKey } });
const register = (hostToken) =>
  hostPost('/v1/rd/host/register', { device_id: 'dev-1', name: 'desk', platform: 'linux' }, hostToken);
const ticket = (hostToken) => hostPost('/v1/rd/host/ticket', { device_id: 'dev-1' }, hostToken);

// A host on the signaling socket; resolves with its first message or its close.
function connectWithTicket(t) {
  const ws = new WebSocket(`ws://127.0.0.1:${server.port}/ws?role=host&ticket=${encodeURIComponent(t)}`);
  ws.on('error', () => {});
  const closed = new Promise((resolve) => {
    ws.on('close', (code, reason) => resolve({ code, reason: reason.toString() }));
  });
  const first = new Promise((resolve) => {
    ws.once('message', (data) => resolve(JSON.parse(data.toString())));
    closed.then((c) => resolve({ closed: c }));
  });
  return { ws, closed, first };
}

// Link a host all the way: request, approve, status. Returns both tokens.
async function link() {
  const { json } = await linkRequest();
  const approved = await control('link-approve', { token: json.token });
  assert.equal(approved.status, 200);
  return { token: json.token, hostToken: approved.json.host_token };
}

before(() => startServer());

beforeEach(async () => {
  assert.equal((await control('reset')).status, 200);
});

after(() => stopServer());

test('link, register, ticket, signaling, revoke', async () => {
  const req = await linkRequest();
  assert.equal(req.status, 200);
  assert.match(req.headers['content-type'], /application\/json/);
  const token = req.json.token;
  assert.match(token, /^[A-Za-z0-9_-]+$/);
  assert.deepEqual((await linkStatus(token)).json, { status: 'pending' });

  const state = await accountState();
  assert.deepEqual(
    state.links.map((l) => ({ token: l.token, status: l.status, device_id: l.device_id, platform: l.platform })),
    [{ token, status: 'pending', device_id: 'dev-1', platform: 'linux' }],
  );
  assert.equal(typeof state.links[0].createdAt, 'string');

  const approved = await control('link-approve', {});
  assert.equal(approved.status, 200);
  assert.equal(approved.json.token, token);
  const hostToken = approved.json.host_token;
  assert.equal(typeof hostToken, 'string');
  for (let i = 0; i < 2; i += 1) {
    const status = await linkStatus(token);
    assert.equal(status.status, 200);
    assert.deepEqual(status.json, { status: 'approved', host_token: hostToken });
  }
  assert.equal((await control('link-approve', {})).status, 404);

  const reg = await register(hostToken);
  assert.equal(reg.status, 200);
  const hostId = reg.json.host_id;
  assert.match(hostId, /^h-\d+$/);
  assert.deepEqual((await register(hostToken)).json, { host_id: hostId });
  const hosts = (await accountState()).hosts;
  assert.equal(hosts.length, 1);
  assert.deepEqual(
    hosts[0],
    {
      host_id: hostId, registered: true, token: hostToken, name: 'desk', platform: 'linux',
      device_id: 'dev-1', revoked: false, link: token, ticketsIssued: 0,
    },
  );

  const t = await ticket(hostToken);
  assert.equal(t.status, 200);
  assert.deepEqual(Object.keys(t.json), ['ticket']);
  await control('account-config', { signalUrl: 'ws://127.0.0.1:1/ws' });
  const t2 = await ticket(hostToken);
  assert.equal(t2.json.signal_url, 'ws://127.0.0.1:1/ws');

  const conn = connectWithTicket(t.json.ticket);
  assert.equal((await withTimeout(conn.first)).type, 'registered');
  const online = (await request('GET', '/control/state')).json.hosts;
  assert.deepEqual(online.map((h) => h.id), [hostId]);
  // A ticket is good for one connection.
  const again = connectWithTicket(t.json.ticket);
  assert.equal((await withTimeout(again.closed)).code, 4401);

  const revoked = await control('revoke', { host_id: hostId });
  assert.deepEqual(revoked.json, { revoked: [hostId], closed: [hostId] });
  assert.equal((await withTimeout(conn.closed)).code, 4410);
  assert.deepEqual((await ticket(hostToken)).json, { detail: 'unauthorized' });
  assert.equal((await ticket(hostToken)).status, 401);
  assert.equal((await register(hostToken)).status, 401);
  // The ticket issued before the revocation no longer works either.
  assert.equal((await withTimeout(connectWithTicket(t2.json.ticket).closed)).code, 4401);
  assert.equal((await accountState()).hosts[0].revoked, true);
  assert.equal((await control('revoke', { host_id: 'h-nobody' })).status, 404);
});

test('ticket before register goes to a stand-in id; bad tokens get 401', async () => {
  const { hostToken } = await link();
  const t = await ticket(hostToken);
  assert.equal(t.status, 200);
  const conn = connectWithTicket(t.json.ticket);
  assert.equal((await withTimeout(conn.first)).type, 'registered');
  const online = (await request('GET', '/control/state')).json.hosts.map((h) => h.id);
  assert.equal(online.length, 1);
  assert.match(online[0], /^pending-\d+$/);
  assert.equal((await accountState()).hosts[0].host_id, online[0]);

  for (const bad of [undefined, 'nope']) {
    const res = await ticket(bad);
    assert.equal(res.status, 401);
    assert.deepEqual(res.json, { detail: 'unauthorized' });
    assert.equal((await register(bad)).status, 401);
  }

  // Revoking everything also closes the stand-in connection.
  const revoked = await control('revoke', {});
  assert.deepEqual(revoked.json.closed, online);
  assert.equal((await withTimeout(conn.closed)).code, 4410);
});

test('ticket lifetime is configurable', async () => {
  const { hostToken } = await link();
  await control('account-config', { ticketTtlMs: 0 });
  const t = await ticket(hostToken);
  assert.equal((await withTimeout(connectWithTicket(t.json.ticket).closed)).code, 4401);
});

test('deny gives invalid, expire gives expired, unknown is invalid', async () => {
  const a = (await linkRequest()).json.token;
  const b = (await linkRequest()).json.token;
  const c = (await linkRequest()).json.token;
  // Without a token the newest pending request is chosen.
  assert.deepEqual((await control('link-deny', {})).json, { token: c, status: 'denied' });
  assert.deepEqual((await control('link-expire', { token: a })).json, { token: a, status: 'expired' });
  assert.equal((await control('link-deny', { token: a })).status, 404);
  assert.deepEqual((await linkStatus(c)).json, { status: 'invalid' });
  assert.deepEqual((await linkStatus(a)).json, { status: 'expired' });
  assert.deepEqual((await linkStatus(b)).json, { status: 'pending' });
  assert.deepEqual((await linkStatus('unknown')).json, { status: 'invalid' });
  assert.deepEqual((await request('GET', '/v1/link/status')).json, { status: 'invalid' });

  await control('account-config', { linkTtlMs: 50 });
  const d = (await linkRequest()).json.token;
  assert.deepEqual((await linkStatus(d)).json, { status: 'pending' });
  await sleep(80);
  assert.deepEqual((await linkStatus(d)).json, { status: 'expired' });
  assert.equal((await control('link-approve', { token: d })).status, 404);
  const statuses = (await accountState()).links.map((l) => l.status);
  assert.deepEqual(statuses, ['expired', 'pending', 'denied', 'expired']);
});

test('forced modes, per endpoint', async () => {
  const { hostToken } = await link();
  const calls = {
    ticket: () => ticket(hostToken),
    register: () => register(hostToken),
    'link-request': () => linkRequest(),
    'link-status': () => linkStatus('unknown'),
  };

  await control('account-mode', { mode: 'not-deployed' });
  for (const call of Object.values(calls)) {
    const res = await call();
    assert.equal(res.status, 404);
    assert.deepEqual(res.json, { detail: 'Not Found' });
  }
  assert.equal((await control('account-mode', { mode: 'normal' })).status, 200);
  assert.deepEqual((await accountState()).mode, {});

  const expect = async (endpoint, status, check) => {
    for (const [name, call] of Object.entries(calls)) {
      const res = await call();
      if (name === endpoint) {
        assert.equal(res.status, status, `${name} status`);
        check(res);
      } else {
        assert.equal(res.status, 200, `${name} is unaffected`);
      }
    }
  };

  await control('account-mode', { endpoint: 'ticket', mode: 'unauthorized' });
  await expect('ticket', 401, (res) => assert.deepEqual(res.json, { detail: 'unauthorized' }));
  await control('account-mode', { endpoint: 'ticket', mode: 'normal' });

  await control('account-mode', { endpoint: 'register', mode: 'error' });
  await expect('register', 500, (res) => {
    assert.equal(res.text, '<html>error</html>');
    assert.match(res.headers['content-type'], /text\/html/);
  });
  await control('account-mode', { endpoint: 'register', mode: 'error', status: 503, detail: 'busy' });
  await expect('register', 503, (res) => assert.deepEqual(res.json, { detail: 'busy' }));
  await control('account-mode', { endpoint: 'register', mode: 'normal' });

  await control('account-mode', { endpoint: 'link-request', mode: 'bad-json' });
  await expect('link-request', 200, (res) => assert.equal(res.text, 'not json{'));
  await control('account-mode', { endpoint: 'link-request', mode: 'normal' });

  await control('account-mode', { endpoint: 'link-status', mode: 'missing-field' });
  await expect('link-status', 200, (res) => assert.deepEqual(res.json, {}));
  await control('account-mode', { endpoint: 'link-status', mode: 'normal' });

  await control('account-mode', { endpoint: 'ticket', mode: 'slow', delayMs: 300 });
  const started = Date.now();
  const slow = await ticket(hostToken);
  assert.ok(Date.now() - started >= 280, 'answer was delayed');
  assert.equal(slow.status, 200);
  assert.equal(typeof slow.json.ticket, 'string');
  assert.deepEqual((await accountState()).mode, { ticket: { mode: 'slow', delayMs: 300 } });

  assert.equal((await control('account-mode', { mode: 'sideways' })).status, 400);
  assert.equal((await control('account-mode', { endpoint: 'nope', mode: 'normal' })).status, 400);
});

test('app key is enforced only when configured', async () => {
  assert.equal((await linkRequest('anything')).status, 200);
  await control('account-config', { appKey: 'k-123' });
  const bad = await linkRequest('other');
  assert.equal(bad.status, 403);
  assert.deepEqual(bad.json, { detail: 'bad app key' });
  assert.equal((await linkStatus('x', '')).status, 403);
  const good = await linkRequest('k-123');
  assert.equal(good.status, 200);
  assert.deepEqual((await linkStatus(good.json.token, 'k-123')).json, { status: 'pending' });
  await control('account-config', { appKey: null });
  assert.equal((await linkRequest('other')).status, 200);
  assert.equal((await control('account-config', { appKey: 5 })).status, 400);
});

test('request log records headers, query and body', async () => {
  const { token, hostToken } = await link();
  await linkStatus(token, 'key-1');
  await ticket(hostToken);
  await request('POST', '/v1/rd/host/ticket', { body: 'plain text' });
  await request('GET', '/v1/nowhere');
  const { requests } = await accountState();
  assert.deepEqual(requests, [
    {
      method: 'POST',
      path: '/v1/link/request',
      query: {},
      headers: { 'x-app-key': '', 'content-type': 'application/json' },
      body: { device_id: 'dev-1', platform: 'linux' },
    },
    {
      method: 'GET',
      path: '/v1/link/status',
      query: { token },
      headers: { 'x-app-key': 'key-1' },
      body: null,
    },
    {
      method: 'POST',
      path: '/v1/rd/host/ticket',
      query: {},
      headers: { 'x-app-key': '', authorization: `Bearer ${hostToken}`, 'content-type': 'application/json' },
      body: { device_id: 'dev-1' },
    },
    { method: 'POST', path: '/v1/rd/host/ticket', query: {}, headers: {}, body: 'plain text' },
    { method: 'GET', path: '/v1/nowhere', query: {}, headers: {}, body: null },
  ]);
});

test('bad input: wrong method, unknown route, bad body', async () => {
  assert.equal((await request('GET', '/v1/link/request')).status, 405);
  const missing = await request('GET', '/v1/missing');
  assert.equal(missing.status, 404);
  assert.deepEqual(missing.json, { detail: 'Not Found' });
  const noJson = await hostPost('/v1/link/request', 'not json');
  assert.equal(noJson.status, 400);
  const noField = await hostPost('/v1/link/request', { platform: 'linux' });
  assert.equal(noField.status, 422);
  assert.deepEqual(noField.json, { detail: 'device_id must be a string' });
});

test('reset forgets account state', async () => {
  await link();
  await control('account-mode', { mode: 'slow', delayMs: 1 });
  await control('account-config', { appKey: 'x', signalUrl: 'ws://x' });
  await control('reset');
  const state = await accountState();
  assert.deepEqual(state.links, []);
  assert.deepEqual(state.hosts, []);
  assert.deepEqual(state.requests, []);
  assert.deepEqual(state.mode, {});
  assert.deepEqual(state.config, { ticketTtlMs: 60000, linkTtlMs: 300000, signalUrl: null, appKey: null });
});

test('status page lists link requests and linked hosts with buttons', async () => {
  const { hostToken } = await link();
  const reg = await register(hostToken);
  const pending = (await linkRequest()).json.token;
  const page = await request('GET', '/');
  assert.equal(page.status, 200);
  assert.match(page.text, /<h2>Link requests<\/h2>/);
  assert.ok(page.text.includes(`<code>${pending}</code>`));
  assert.match(page.text, /data-route="link-approve"/);
  assert.match(page.text, /data-route="link-deny"/);
  assert.match(page.text, /data-route="revoke"/);
  assert.ok(page.text.includes(reg.json.host_id));
});
