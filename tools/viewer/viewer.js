// Plays the phone: joins a host through the dev signaling server, answers its offer,
// shows the stream and talks on the "input" data channel; files.js uses the "file" one.
//   ?host=ID      host to join (default: first host online)
//   ?codec=H264   preferred video codec (H264 or VP8)
//   ?ice=loopback|all   which of our candidates to send (default: loopback when served from loopback)
(function () {
  'use strict';

  const params = new URLSearchParams(location.search);
  const wantedCodec = normaliseCodec(params.get('codec'));
  const loopbackOnly = params.has('ice')
    ? params.get('ice') === 'loopback'
    : isLoopbackName(location.hostname);

  const $ = (id) => document.getElementById(id);
  const ui = {
    video: $('video'), placeholder: $('placeholder'), banner: $('banner'), toast: $('toast'),
    hostLabel: $('host-label'), pill: $('state-pill'), log: $('log'),
    low: $('btn-low'), normal: $('btn-normal'), pinForm: $('pin-form'), pin: $('pin'),
    pinButton: $('btn-pin'), leave: $('btn-leave'),
    conn: $('st-conn'), codec: $('st-codec'), size: $('st-size'), fps: $('st-fps'),
    frames: $('st-frames'), bitrate: $('st-bitrate'), first: $('st-first'), route: $('st-route'),
  };

  // Tests read this object; keep its shape stable.
  const viewer = {
    state: 'idle',
    hostId: null,
    viewerId: null,
    stats: { codec: null, width: 0, height: 0, fps: 0, framesDecoded: 0, at: 0, bitrate: 0, bytesReceived: 0, jitterBufferDelay: 0, jitterBufferEmitted: 0, totalDecodeTime: 0, totalProcessingDelay: 0, freezeCount: 0, totalFreezesDuration: 0 },
    messages: [],
    rejected: null,
    closed: null,
    streamId: null,         // the id of the stream the video came in
    connection: 'new',      // the peer connection's state
    inputClosedAt: null,    // when the control channel closed (performance.now())
    firstFrameMs: null,
    // Milestones of the join, in ms after it: offer, answered, ice, connected, track, frame.
    timeline: {},
    route: null,
    fileChannel: null,      // the "file" data channel once the host opens it
    send,
    leave,
    log,
    showToast,
  };
  window.viewer = viewer;

  let ws = null;
  let pc = null;
  let inputChannel = null;
  let fileChannel = null;
  let remoteSet = false;
  let pendingCandidates = [];
  let joinedAt = null;
  let left = false;
  let statsTimer = null;
  let firstFrameTimer = null;
  let lastBytes = null;
  let toastTimer = null;
  let lockTimer = null;

  function normaliseCodec(value) {
    const v = String(value || '').toUpperCase();
    return v === 'H264' || v === 'VP8' ? v : null;
  }

  function isLoopbackName(name) {
    return name === 'localhost' || name === '::1' || name === '[::1]' || /^127\./.test(name);
  }

  function setState(state) {
    viewer.state = state;
    ui.pill.textContent = state;
    ui.pill.className = 'pill ' + ({
      connected: 'ok', streaming: 'ok',
      connecting: 'busy', signaling: 'busy', 'finding-host': 'busy', checking: 'busy', new: 'busy',
      failed: 'bad', rejected: 'bad', closed: 'bad', disconnected: 'bad',
    }[state] || '');
  }

  function log(text, kind) {
    // Mirrored to the console so automated runs can show what the page saw.
    (kind === 'err' ? console.warn : console.log)('[viewer] ' + text);
    const li = document.createElement('li');
    const time = document.createElement('span');
    time.className = 'time';
    time.textContent = new Date().toLocaleTimeString([], { hour12: false });
    const body = document.createElement('span');
    body.className = kind || '';
    body.textContent = text;
    li.append(time, body);
    ui.log.append(li);
    while (ui.log.children.length > 200) ui.log.firstChild.remove();
    ui.log.scrollTop = ui.log.scrollHeight;
  }

  function showBanner(text) {
    ui.banner.textContent = text;
    ui.banner.hidden = !text;
  }

  // Counts the host's PIN lock down in the banner.
  function showLockout(seconds) {
    const ends = performance.now() + seconds * 1000;
    clearInterval(lockTimer);
    const tick = () => {
      const left = Math.max(0, Math.ceil((ends - performance.now()) / 1000));
      showBanner(`Too many wrong PINs: try again in ${Math.floor(left / 60)}:${String(left % 60).padStart(2, '0')}`);
      if (left === 0) clearInterval(lockTimer);
    };
    tick();
    lockTimer = setInterval(tick, 1000);
  }

  function showToast(text) {
    ui.toast.textContent = text;
    ui.toast.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { ui.toast.hidden = true; }, 3000);
  }

  function setControlsEnabled(on) {
    ui.low.disabled = !on;
    ui.normal.disabled = !on;
    ui.pinButton.disabled = !on;
    // Other scripts keep their own buttons in step with these.
    window.dispatchEvent(new CustomEvent('viewer-controls', { detail: on }));
  }

  // ---- signaling -------------------------------------------------------------------------

  function signal(msg) {
    if (ws && ws.readyState === WebSocket.OPEN) ws.send(JSON.stringify(msg));
  }

  async function findHost() {
    setState('finding-host');
    while (!left) {
      try {
        const res = await fetch('/control/state', { cache: 'no-store' });
        const state = await res.json();
        if (state.hosts && state.hosts.length) return state.hosts[0].id;
        ui.placeholder.textContent = 'No host online yet…';
      } catch (err) {
        ui.placeholder.textContent = 'Cannot reach the server';
      }
      await new Promise((r) => setTimeout(r, 1500));
    }
    return null;
  }

  function connect(hostId) {
    viewer.hostId = hostId;
    ui.hostLabel.textContent = 'host: ' + hostId;
    const scheme = location.protocol === 'https:' ? 'wss:' : 'ws:';
    const url = `${scheme}//${location.host}/ws?role=viewer&host=${encodeURIComponent(hostId)}`;
    setState('signaling');
    ws = new WebSocket(url);
    ws.onopen = () => {
      // The host hears of us the moment the socket opens: that is "join".
      joinedAt = performance.now();
      log('signaling connected');
    };
    ws.onmessage = (event) => {
      let msg;
      try { msg = JSON.parse(event.data); } catch (err) { log('bad signaling frame', 'err'); return; }
      if (!msg || typeof msg !== 'object') return;
      onSignal(msg).catch((err) => log(`${msg.type}: ${err.message || err}`, 'err'));
    };
    ws.onclose = (event) => {
      viewer.closed = { code: event.code, reason: event.reason };
      if (left) return;
      const why = event.code === 4404 ? 'host is not online'
        : event.code === 4000 ? 'rejected by the host'
        : event.reason || `code ${event.code}`;
      log(`signaling closed: ${why}`, 'err');
      if (!viewer.rejected && event.code === 4404) showBanner('The host is not online.');
      // A closed socket does not end a running stream; a peer that never connected is done.
      if (!pc || pc.connectionState !== 'connected') {
        setState(viewer.rejected ? 'rejected' : 'closed');
        ui.placeholder.textContent = viewer.rejected ? 'Not admitted.' : 'Disconnected.';
      }
    };
  }

  async function onSignal(msg) {
    switch (msg.type) {
      case 'hello':
        viewer.viewerId = msg.viewer;
        log(`joined as ${msg.viewer}`);
        break;
      case 'offer':
        await onOffer(msg.sdp);
        break;
      case 'candidate':
        await onRemoteCandidate(msg.candidate);
        break;
      case 'rejected':
        viewer.rejected = msg.reason || 'rejected';
        setState('rejected');
        showBanner('Rejected: ' + viewer.rejected);
        log(`rejected: ${viewer.rejected}`, 'err');
        break;
      default:
        log(`signaling: ${JSON.stringify(msg)}`, 'in');
    }
  }

  // ---- peer connection -------------------------------------------------------------------

  // The browser gathers only on its default route (never loopback) until the page has been
  // granted a camera; a granted request, even of a fake device, lets it use every interface.
  // Only automated runs ask (their fake camera needs no prompt); a person is never asked.
  async function unlockInterfaces() {
    if (!loopbackOnly || !navigator.webdriver || !navigator.mediaDevices || !navigator.mediaDevices.getUserMedia) return;
    try {
      const stream = await navigator.mediaDevices.getUserMedia({ video: true });
      stream.getTracks().forEach((t) => t.stop());
    } catch (e) {
      log(`no media permission (${e.name}); loopback candidates may be missing`);
    }
  }

  function createPeer() {
    pc = new RTCPeerConnection({ iceServers: [], bundlePolicy: 'max-bundle' });
    pc.ontrack = (event) => {
      if (event.track.kind !== 'video') return;
      viewer.streamId = event.streams[0] ? event.streams[0].id : null;
      mark('track');
      ui.video.srcObject = event.streams[0] || new MediaStream([event.track]);
      ui.video.play().catch(() => { /* autoplay is muted; a refusal only delays it */ });
      watchFirstFrame();
    };
    pc.ondatachannel = (event) => adoptChannel(event.channel);
    pc.onicecandidate = (event) => {
      const c = event.candidate;
      if (!c || !c.candidate) return;
      if (loopbackOnly && !isLoopbackCandidate(c.candidate)) return;
      log(`our candidate ${c.candidate.split(' ').slice(4, 8).join(' ')}`, 'out');
      signal({ type: 'candidate', candidate: { candidate: c.candidate, sdpMid: c.sdpMid, sdpMLineIndex: c.sdpMLineIndex } });
    };
    pc.oniceconnectionstatechange = () => {
      if (pc.iceConnectionState === 'connected') mark('ice');
      log(`ice: ${pc.iceConnectionState}`);
    };
    pc.onconnectionstatechange = () => {
      const s = pc.connectionState;
      viewer.connection = s;
      log(`connection: ${s}`);
      if (left) return;
      if (s === 'connected') mark('connected');
      if (s === 'connected') setState(viewer.firstFrameMs !== null ? 'streaming' : 'connected');
      else setState(s);
    };
    statsTimer = setInterval(updateStats, 500);
  }

  function isLoopbackCandidate(line) {
    // candidate:<foundation> <component> <proto> <priority> <address> <port> typ ...
    const address = line.split(' ')[4] || '';
    return address === '::1' || /^127\./.test(address);
  }

  function adoptChannel(channel) {
    if (channel.label === 'input') {
      inputChannel = channel;
      channel.onopen = () => {
        setControlsEnabled(true);
        log('input channel open');
        window.dispatchEvent(new CustomEvent('viewer-open'));
      };
      channel.onclose = () => {
        viewer.inputClosedAt = performance.now();
        setControlsEnabled(false);
        log('input channel closed');
        // The host ended the session: its picture will not change again.
        if (!left) {
          setState('closed');
          ui.placeholder.textContent = 'Disconnected.';
        }
      };
      channel.onmessage = (event) => onControlMessage(event.data);
      if (channel.readyState === 'open') channel.onopen();
    } else if (channel.label === 'file') {
      // Transfers are handled in files.js; it hears of the channel through this event.
      fileChannel = channel;
      viewer.fileChannel = channel;
      channel.binaryType = 'arraybuffer';
      channel.onopen = () => log('file channel open');
      channel.onclose = () => log('file channel closed');
      window.dispatchEvent(new CustomEvent('viewer-file-channel', { detail: channel }));
    } else {
      log(`unexpected data channel "${channel.label}"`, 'err');
    }
  }

  function onControlMessage(data) {
    if (typeof data !== 'string') { log(`input: binary message (${data.byteLength} bytes)`, 'in'); return; }
    let msg;
    try { msg = JSON.parse(data); } catch (err) { log(`input: not JSON: ${data}`, 'err'); return; }
    if (!msg || typeof msg !== 'object') { log(`input: not an object: ${data}`, 'err'); return; }
    // The pointer's reports come up to 60 a second: passed on, not kept or logged.
    if (msg.t !== 'cur') {
      viewer.messages.push(msg);
      log('← ' + (msg.t === 'shape' ? `shape ${msg.w}×${msg.h}` : data), 'in');
    }
    window.dispatchEvent(new CustomEvent('viewer-message', { detail: msg }));
    if (msg.t === 'toast' && typeof msg.text === 'string') showToast(msg.text);
    if (msg.t === 'auth-required') {
      ui.pinForm.classList.add('wanted');
      const min = msg.min || 4;
      const max = msg.max || 8;
      ui.pin.placeholder = `PIN (${min}–${max} digits)`;
      ui.pin.focus();
    }
    if (msg.t === 'auth-ok') {
      ui.pinForm.classList.remove('wanted');
      clearInterval(lockTimer);
      showBanner('');
    }
    if (msg.t === 'auth-fail' && Number.isInteger(msg.left)) {
      showBanner(msg.left > 0
        ? `Wrong PIN: ${msg.left} more wrong ${msg.left === 1 ? 'try locks' : 'tries lock'} it for 5 minutes`
        : 'Wrong PIN');
      ui.pin.focus();
    }
    if (msg.t === 'auth-locked' && Number.isInteger(msg.seconds)) showLockout(msg.seconds);
  }

  function mark(milestone) {
    if (joinedAt !== null && viewer.timeline[milestone] === undefined)
      viewer.timeline[milestone] = Math.round(performance.now() - joinedAt);
  }

  async function onOffer(sdp) {
    mark('offer');
    if (!pc) createPeer();
    await pc.setRemoteDescription({ type: 'offer', sdp });
    remoteSet = true;
    const queued = pendingCandidates;
    pendingCandidates = [];
    for (const c of queued) await addRemoteCandidate(c);

    preferCodec();
    const answer = await pc.createAnswer();
    const sdpOut = wantedCodec ? reorderVideoPayloads(answer.sdp, wantedCodec) : answer.sdp;
    await pc.setLocalDescription({ type: 'answer', sdp: sdpOut });
    signal({ type: 'answer', sdp: pc.localDescription.sdp });
    mark('answered');
    log(`answered (${wantedCodec || 'host order'})`, 'out');
  }

  function preferCodec() {
    if (!wantedCodec || typeof RTCRtpTransceiver === 'undefined'
        || !RTCRtpTransceiver.prototype.setCodecPreferences || !RTCRtpReceiver.getCapabilities) return;
    const transceiver = pc.getTransceivers().find((t) => t.receiver.track && t.receiver.track.kind === 'video');
    const caps = RTCRtpReceiver.getCapabilities('video');
    if (!transceiver || !caps) return;
    const mime = 'video/' + wantedCodec;
    const first = caps.codecs.filter((c) => c.mimeType.toUpperCase() === mime.toUpperCase());
    const rest = caps.codecs.filter((c) => c.mimeType.toUpperCase() !== mime.toUpperCase());
    if (!first.length) { log(`${wantedCodec} is not supported here`, 'err'); return; }
    try {
      transceiver.setCodecPreferences(first.concat(rest));
    } catch (err) {
      log(`setCodecPreferences: ${err.message}; reordering the answer instead`, 'err');
    }
  }

  // Moves the wanted codec's payload types to the front of the m=video line.
  function reorderVideoPayloads(sdp, codec) {
    const eol = sdp.includes('\r\n') ? '\r\n' : '\n';
    const lines = sdp.split(eol);
    const start = lines.findIndex((l) => l.startsWith('m=video '));
    if (start < 0) return sdp;
    let end = lines.findIndex((l, i) => i > start && l.startsWith('m='));
    if (end < 0) end = lines.length;
    const wanted = new Set();
    for (let i = start + 1; i < end; i += 1) {
      const m = /^a=rtpmap:(\d+) ([^/]+)\//.exec(lines[i]);
      if (m && m[2].toUpperCase() === codec) wanted.add(m[1]);
    }
    if (!wanted.size) return sdp;
    const parts = lines[start].split(' ');
    const head = parts.slice(0, 3);
    const pts = parts.slice(3);
    if (wanted.has(pts[0])) return sdp;
    const reordered = pts.filter((p) => wanted.has(p)).concat(pts.filter((p) => !wanted.has(p)));
    lines[start] = head.concat(reordered).join(' ');
    return lines.join(eol);
  }

  async function onRemoteCandidate(candidate) {
    if (!candidate) return;
    const c = typeof candidate === 'string' ? { candidate, sdpMLineIndex: 0 } : candidate;
    if (!c.candidate) return; // end of candidates
    log(`host candidate ${c.candidate.split(' ').slice(4, 8).join(' ')}`, 'in');
    if (!pc || !remoteSet) { pendingCandidates.push(c); return; }
    await addRemoteCandidate(c);
  }

  async function addRemoteCandidate(c) {
    const init = { candidate: c.candidate };
    if (c.sdpMid !== undefined && c.sdpMid !== null) init.sdpMid = c.sdpMid;
    if (c.sdpMLineIndex !== undefined && c.sdpMLineIndex !== null) init.sdpMLineIndex = c.sdpMLineIndex;
    if (init.sdpMid === undefined && init.sdpMLineIndex === undefined) init.sdpMLineIndex = 0;
    try {
      await pc.addIceCandidate(init);
    } catch (err) {
      log(`candidate refused: ${err.message}`, 'err');
    }
  }

  // ---- first frame and stats -------------------------------------------------------------

  function markFirstFrame() {
    if (viewer.firstFrameMs !== null || joinedAt === null) return;
    viewer.firstFrameMs = Math.round(performance.now() - joinedAt);
    mark('frame');
    ui.first.textContent = `${viewer.firstFrameMs} ms after join`;
    ui.placeholder.hidden = true;
    clearInterval(firstFrameTimer);
    firstFrameTimer = null;
    if (viewer.state === 'connected') setState('streaming');
    log(`first frame after ${viewer.firstFrameMs} ms`);
  }

  function watchFirstFrame() {
    if (viewer.firstFrameMs !== null) return;
    if (ui.video.requestVideoFrameCallback) ui.video.requestVideoFrameCallback(() => markFirstFrame());
    // Rendering can be throttled (hidden or headless page); decoded frames are the fallback.
    if (!firstFrameTimer) {
      firstFrameTimer = setInterval(async () => {
        const inbound = await videoInbound();
        if (inbound && inbound.framesDecoded > 0) markFirstFrame();
      }, 10); // only until the first frame; finer steps measure the join more truly
    }
  }

  async function videoInbound() {
    if (!pc) return null;
    const report = await pc.getStats();
    let inbound = null;
    report.forEach((s) => {
      if (s.type === 'inbound-rtp' && (s.kind === 'video' || s.mediaType === 'video')) inbound = s;
    });
    return inbound ? { inbound, report, framesDecoded: inbound.framesDecoded || 0 } : null;
  }

  async function updateStats() {
    if (!pc) return;
    const found = await videoInbound();
    const st = viewer.stats;
    if (found) {
      const { inbound, report } = found;
      const codec = inbound.codecId && report.get(inbound.codecId);
      st.codec = codec ? codec.mimeType : null;
      st.width = inbound.frameWidth || 0;
      st.height = inbound.frameHeight || 0;
      st.fps = inbound.framesPerSecond || 0;
      st.framesDecoded = inbound.framesDecoded || 0;
      st.at = performance.now(); // when these were read
      const now = inbound.timestamp;
      const bytes = inbound.bytesReceived || 0;
      st.bytesReceived = bytes;
      // Cumulative: seconds frames waited in the jitter buffer, and how many left it.
      st.jitterBufferDelay = inbound.jitterBufferDelay || 0;
      st.jitterBufferEmitted = inbound.jitterBufferEmittedCount || 0;
      // Cumulative seconds: decoding, and first packet in → decoded (jitter buffer included).
      st.totalDecodeTime = inbound.totalDecodeTime || 0;
      st.totalProcessingDelay = inbound.totalProcessingDelay || 0;
      st.freezeCount = inbound.freezeCount || 0;
      st.totalFreezesDuration = inbound.totalFreezesDuration || 0; // seconds
      if (lastBytes && now > lastBytes.at) st.bitrate = Math.round(((bytes - lastBytes.bytes) * 8 * 1000) / (now - lastBytes.at));
      lastBytes = { bytes, at: now };
      if (st.framesDecoded > 0) markFirstFrame();
      viewer.route = selectedRoute(report);
      ui.route.textContent = viewer.route || '–';
    }
    ui.conn.textContent = pc.connectionState;
    ui.codec.textContent = st.codec || '–';
    ui.size.textContent = st.width ? `${st.width} × ${st.height}` : '–';
    ui.fps.textContent = st.fps ? String(st.fps) : '–';
    ui.frames.textContent = String(st.framesDecoded);
    ui.bitrate.textContent = formatBitrate(st.bitrate);
  }

  function selectedRoute(report) {
    let pair = null;
    report.forEach((s) => {
      if (s.type === 'transport' && s.selectedCandidatePairId) pair = report.get(s.selectedCandidatePairId);
    });
    if (!pair) return null;
    const local = report.get(pair.localCandidateId);
    const remote = report.get(pair.remoteCandidateId);
    // Chromium leaves out the address of a local candidate it hides behind mDNS.
    const addr = (c) => (c ? `${c.address || c.ip || '(hidden)'}:${c.port}` : '?');
    return `${addr(local)} → ${addr(remote)}`;
  }

  function formatBitrate(bps) {
    if (!bps) return '–';
    if (bps >= 1e6) return `${(bps / 1e6).toFixed(2)} Mbit/s`;
    return `${Math.round(bps / 1e3)} kbit/s`;
  }

  // ---- actions ---------------------------------------------------------------------------

  // Sends one control message; { quiet: true } keeps it out of the log (input, many a second).
  function send(obj, { quiet = false } = {}) {
    if (!inputChannel || inputChannel.readyState !== 'open') return false;
    const text = JSON.stringify(obj);
    inputChannel.send(text);
    if (!quiet) log('→ ' + text, 'out');
    return true;
  }

  function leave() {
    if (left) return;
    left = true;
    clearInterval(statsTimer);
    clearInterval(firstFrameTimer);
    setControlsEnabled(false);
    for (const ch of [inputChannel, fileChannel]) if (ch) ch.close();
    if (pc) pc.close();
    if (ws) ws.close(1000, 'left');
    ui.video.srcObject = null;
    ui.placeholder.hidden = false;
    ui.placeholder.textContent = 'Left the session.';
    ui.leave.disabled = true;
    setState('left');
    log('left');
  }

  ui.low.addEventListener('click', () => send({ t: 'quality', level: 'low' }));
  ui.normal.addEventListener('click', () => send({ t: 'quality', level: 'normal' }));
  ui.pinForm.addEventListener('submit', (event) => {
    event.preventDefault();
    const pin = ui.pin.value.trim();
    if (!pin) return;
    send({ t: 'auth', pin });
    ui.pin.value = '';
  });
  ui.leave.addEventListener('click', leave);
  window.addEventListener('pagehide', leave);

  (async function start() {
    if (wantedCodec) log(`preferring ${wantedCodec}`);
    await unlockInterfaces();
    const hostId = params.get('host') || (await findHost());
    if (hostId && !left) connect(hostId);
  })();
})();
