// Files, screenshots and the clipboard. Files and clipboard images go to the host on the "file"
// data channel; what the host sends back there (screenshots, copied files, clipboard images,
// clipboard text too long for a control message) is listed for download. Clipboard text and
// the screenshot requests go on the "input" channel.
// On the file channel a text message {"t":"begin",...} starts a transfer, the binary messages
// after it are its bytes in order and {"t":"end","id":...} ends it; one transfer each way at a time.
(function () {
  'use strict';

  const viewer = window.viewer;
  const $ = (id) => document.getElementById(id);
  const ui = {
    shot: $('btn-shot'), shotUi: $('btn-shot-ui'),
    fileSend: $('file-send'), clipImage: $('clip-image'),
    upload: $('upload'), uploadBar: $('upload-bar'), uploadText: $('upload-text'), cancel: $('btn-upload-cancel'),
    download: $('download'), downloadBar: $('download-bar'), downloadText: $('download-text'),
    clipText: $('clip-text'), clipNote: $('clip-note'),
    clipSet: $('btn-clip-set'), clipPaste: $('btn-clip-paste'), clipGet: $('btn-clip-get'),
    received: $('received'), clear: $('btn-received-clear'),
  };

  const CHUNK = 16384;
  const READ_SLICE = 1 << 20;       // read the file a megabyte at a time, sent as chunks
  const MAX_MESSAGE = 65536;        // the largest message either channel carries
  const HIGH_WATER = 1000000;       // queued bytes above which sending waits
  const LOW_WATER = 262144;
  const LIMITS = { clipboard: 31457280, file: 209715200 };
  const DRAW_MS = 100;              // progress redraws at most this often
  const OPEN_WAIT_MS = 10000;       // the file channel may open a little after the input one

  // Tests read this object; keep its shape stable.
  const api = {
    received: [],       // { id, name, size, mime, kind, sha256, url, beganAt, endedAt } per finished host transfer
    incoming: null,     // { id, name, size, mime, kind, received } while one arrives
    progress: null,     // { name, sent, size } of the current or last upload
    clipNotes: [],      // the {"t":"clip"} messages, as they came
    send,
    clipText: () => ui.clipText.value,
  };
  viewer.files = api;

  const log = (text, kind) => viewer.log(text, kind);
  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
  const utf8Length = (text) => new TextEncoder().encode(text).length;

  let channel = null;
  let enabled = false;

  // ---- formatting ----------------------------------------------------------------------------

  const MB = 1048576;
  const megabytes = (n) => (n / MB).toFixed(n < 10 * MB ? 2 : 1);

  function formatSize(n) {
    if (n < 1024) return `${n} B`;
    if (n < MB) return `${(n / 1024).toFixed(1)} KB`;
    return `${megabytes(n)} MB`;
  }

  function hex(buffer) {
    return Array.from(new Uint8Array(buffer), (b) => b.toString(16).padStart(2, '0')).join('');
  }

  function newId() {
    if (crypto.randomUUID) return crypto.randomUUID().toUpperCase();
    // Plain http from another machine is not a secure context and has no randomUUID: build a v4 one.
    const b = crypto.getRandomValues(new Uint8Array(16));
    b[6] = (b[6] & 0x0f) | 0x40;
    b[8] = (b[8] & 0x3f) | 0x80;
    const h = hex(b);
    return `${h.slice(0, 8)}-${h.slice(8, 12)}-${h.slice(12, 16)}-${h.slice(16, 20)}-${h.slice(20)}`.toUpperCase();
  }

  function stamp() {
    const d = new Date();
    const p = (n) => String(n).padStart(2, '0');
    return `${d.getFullYear()}${p(d.getMonth() + 1)}${p(d.getDate())}-${p(d.getHours())}${p(d.getMinutes())}${p(d.getSeconds())}`;
  }

  // ---- the channel ---------------------------------------------------------------------------

  function adopt(ch) {
    if (!ch || ch === channel) return;
    channel = ch;
    ch.binaryType = 'arraybuffer';
    ch.bufferedAmountLowThreshold = LOW_WATER;
    ch.addEventListener('message', (event) => onFileMessage(event.data));
    ch.addEventListener('close', () => {
      if (rx) log(`discarded "${rx.name}": the file channel closed at ${rx.received} of ${rx.size} bytes`, 'err');
      dropIncoming();
    });
  }

  function openChannel() {
    return new Promise((resolve, reject) => {
      const until = performance.now() + OPEN_WAIT_MS;
      const check = () => {
        const state = channel ? channel.readyState : 'none';
        if (state === 'open') resolve(channel);
        else if (state === 'closing' || state === 'closed') reject(new Error('the file channel is closed'));
        else if (performance.now() > until) reject(new Error('the file channel did not open'));
        else setTimeout(check, 50);
      };
      check();
    });
  }

  // ---- sending -------------------------------------------------------------------------------

  let queue = Promise.resolve();
  let current = null;     // the job being sent
  let waiting = 0;        // jobs queued behind it
  let generation = 0;     // Cancel drops every job queued before it
  let lastDraw = 0;

  // Sends one file or image after any already queued; resolves with { sent, ms } once "end"
  // is sent and the channel's buffer is empty.
  function send(blob, { name, mime, kind } = {}) {
    const job = {
      blob,
      name: String(name || (blob && blob.name) || 'file'),
      mime: String(mime || (blob && blob.type) || 'application/octet-stream'),
      kind: String(kind || 'file'),
      cancelled: false,
      generation,
    };
    waiting += 1;
    drawUpload();
    const run = queue.then(() => {
      waiting -= 1;
      if (job.generation !== generation) throw cancelledError();
      return upload(job);
    });
    queue = run.catch(() => {});
    return run;
  }

  function cancelledError() {
    const err = new Error('cancelled');
    err.name = 'AbortError';
    return err;
  }

  function checkJob(job) {
    if (!(job.blob instanceof Blob)) throw new Error('not a file');
    const limit = job.kind === 'clipboard' ? LIMITS.clipboard : LIMITS.file;
    if (job.blob.size > limit) throw new Error(`larger than the ${limit / MB} MB limit`);
  }

  async function upload(job) {
    api.progress = { name: job.name, sent: 0, size: job.blob && job.blob.size ? job.blob.size : 0 };
    current = job;
    drawUpload();
    try {
      checkJob(job);
      const ch = await openChannel();
      if (job.cancelled) throw cancelledError();
      const { blob } = job;
      const id = newId();
      const begin = JSON.stringify({ t: 'begin', id, name: job.name, size: blob.size, mime: job.mime, kind: job.kind });
      if (utf8Length(begin) > MAX_MESSAGE) throw new Error('the name is too long');
      const started = performance.now();
      ch.send(begin);
      let sent = 0;
      for (let at = 0; at < blob.size; at += READ_SLICE) {
        const buffer = await blob.slice(at, at + READ_SLICE).arrayBuffer();
        for (let off = 0; off < buffer.byteLength; off += CHUNK) {
          await roomFor(ch, job);
          const chunk = buffer.slice(off, off + CHUNK);
          ch.send(chunk);
          sent += chunk.byteLength;
          api.progress.sent = sent;
          drawUploadSoon();
        }
      }
      await roomFor(ch, job);
      ch.send(JSON.stringify({ t: 'end', id }));
      await drained(ch);
      const ms = Math.round(performance.now() - started);
      job.result = `Sent ${job.name} — ${megabytes(sent)} MB`;
      log(`sent ${job.kind} "${job.name}" (${sent} bytes in ${ms} ms)`, 'out');
      return { sent, ms };
    } catch (err) {
      job.result = err.name === 'AbortError' ? `Cancelled ${job.name}` : `${job.name}: ${err.message}`;
      if (err.name === 'AbortError') log(`cancelled sending "${job.name}"`);
      else log(`sending "${job.name}" failed: ${err.message}`, 'err');
      throw err;
    } finally {
      current = null;
      drawUpload(job.result);
    }
  }

  // Waits while the channel holds more than it should; the event may not come, so a timer checks too.
  async function roomFor(ch, job) {
    for (;;) {
      if (job.cancelled) throw cancelledError();
      if (ch.readyState !== 'open') throw new Error('the file channel closed');
      if (ch.bufferedAmount <= HIGH_WATER) return;
      await new Promise((resolve) => {
        const done = () => {
          clearTimeout(timer);
          ch.removeEventListener('bufferedamountlow', done);
          ch.removeEventListener('close', done);
          resolve();
        };
        const timer = setTimeout(done, 100);
        ch.addEventListener('bufferedamountlow', done);
        ch.addEventListener('close', done);
      });
    }
  }

  // The last bytes have left only when nothing is buffered; no event says so, hence the polling.
  async function drained(ch) {
    for (;;) {
      if (ch.readyState !== 'open') throw new Error('the file channel closed');
      if (ch.bufferedAmount === 0) return;
      await sleep(10);
    }
  }

  function cancelUploads() {
    generation += 1;
    if (current) current.cancelled = true;
    drawUpload();
  }

  function drawUploadSoon() {
    if (performance.now() - lastDraw >= DRAW_MS) drawUpload();
  }

  function drawUpload(result) {
    lastDraw = performance.now();
    const busy = Boolean(current) || waiting > 0;
    ui.cancel.disabled = !busy;
    const p = api.progress;
    if (!p && !busy) return;
    ui.upload.hidden = false;
    const more = waiting > 0 ? ` (+${waiting} waiting)` : '';
    if (current && p) {
      ui.uploadBar.value = p.size ? p.sent / p.size : 0;
      ui.uploadText.textContent = `${p.name} — ${megabytes(p.sent)} of ${megabytes(p.size)} MB${more}`;
    } else if (result) {
      ui.uploadBar.value = p && p.size && p.sent === p.size ? 1 : ui.uploadBar.value;
      ui.uploadText.textContent = result + more;
    } else if (busy) {
      ui.uploadText.textContent = `Waiting${more}`;
    }
  }

  // From a button or the page: failures show in the panel and the log, not as unhandled errors.
  function sendFromPage(blob, options) {
    send(blob, options).catch((err) => {
      if (err.name !== 'AbortError') viewer.showToast(`Not sent: ${err.message}`);
    });
  }

  function sendClipboardImage(blob) {
    if (!blob.type.startsWith('image/')) { viewer.showToast('Only images go to the clipboard'); return; }
    const ext = (blob.type.split('/')[1] || 'png').split(/[+;]/)[0];
    const name = blob.name && blob.name !== 'image.png' ? blob.name : `pasted-${stamp()}.${ext}`;
    sendFromPage(blob, { name, mime: blob.type, kind: 'clipboard' });
  }

  // ---- receiving -----------------------------------------------------------------------------

  let rx = null;                      // the transfer arriving: api.incoming plus its chunks
  let finishing = Promise.resolve();  // finished transfers are listed in the order they ended
  let strayChunks = 0;

  function onFileMessage(data) {
    if (typeof data === 'string') { onFileControl(data); return; }
    if (!(data instanceof ArrayBuffer)) { log('file: unexpected message type', 'err'); return; }
    if (!rx) {
      // Bytes of a transfer already discarded; said once, not per chunk.
      if (strayChunks++ === 0) log('file: bytes outside a transfer ignored', 'err');
      return;
    }
    rx.received += data.byteLength;
    // More than announced cannot be right: stop holding it, the end discards it.
    if (rx.chunks && rx.received <= rx.size) rx.chunks.push(data);
    else rx.chunks = null;
    api.incoming.received = rx.received;
    drawDownloadSoon();
  }

  function onFileControl(text) {
    let msg;
    try { msg = JSON.parse(text); } catch (err) { log(`file: not JSON: ${text.slice(0, 200)}`, 'err'); return; }
    if (!msg || typeof msg !== 'object') { log('file: not an object', 'err'); return; }
    if (msg.t === 'begin') onBegin(msg);
    else if (msg.t === 'end') onEnd(msg);
    else log(`file: unknown message ${text.slice(0, 200)}`, 'err');
  }

  function onBegin(msg) {
    if (rx) log(`discarded "${rx.name}": a new transfer began at ${rx.received} of ${rx.size} bytes`, 'err');
    dropIncoming();
    if (typeof msg.id !== 'string' || !msg.id || !Number.isSafeInteger(msg.size) || msg.size < 0) {
      log(`file: bad begin ${JSON.stringify(msg).slice(0, 200)}`, 'err');
      return;
    }
    strayChunks = 0;
    const info = {
      id: msg.id,
      name: typeof msg.name === 'string' && msg.name ? msg.name : 'file',
      size: msg.size,
      mime: typeof msg.mime === 'string' && msg.mime ? msg.mime : 'application/octet-stream',
      kind: typeof msg.kind === 'string' ? msg.kind : '',
      received: 0,
      beganAt: performance.now(),
    };
    api.incoming = info;
    rx = Object.assign({ chunks: [] }, info);
    drawDownload();
  }

  function onEnd(msg) {
    if (!rx || msg.id !== rx.id) { log(`file: end of an unknown transfer ${msg.id}`, 'err'); return; }
    const done = rx;
    done.endedAt = performance.now();
    dropIncoming();
    if (done.received !== done.size || !done.chunks) {
      log(`discarded "${done.name}": ${done.received} of ${done.size} bytes arrived`, 'err');
      return;
    }
    finishing = finishing.then(() => finish(done))
      .catch((err) => log(`keeping "${done.name}" failed: ${err.message}`, 'err'));
  }

  function dropIncoming() {
    rx = null;
    api.incoming = null;
    drawDownload();
  }

  async function finish(t) {
    const blob = new Blob(t.chunks, { type: t.mime });
    t.chunks = null; // the Blob holds the bytes now
    const sha256 = await digest(blob);
    const entry = {
      id: t.id, name: t.name, size: t.size, mime: t.mime, kind: t.kind, sha256, url: URL.createObjectURL(blob),
      beganAt: t.beganAt, endedAt: t.endedAt, // performance.now() at "begin" and "end"
    };
    if (t.kind === 'clipboard' && /^text\/plain\b/i.test(t.mime)) {
      ui.clipText.value = await blob.text();
      showClipNote('computer copied (long text)');
    }
    api.received.push(entry);
    ui.received.prepend(receivedItem(entry));
    log(`received ${t.kind || 'file'} "${t.name}" (${t.size} bytes, ${t.mime}, sha256 ${sha256 || 'n/a'})`, 'in');
    if (t.kind === 'screenshot') viewer.showToast('Screenshot received');
  }

  async function digest(blob) {
    // crypto.subtle exists only in secure contexts (https, or this machine over http).
    if (!crypto.subtle) return null;
    return hex(await crypto.subtle.digest('SHA-256', await blob.arrayBuffer()));
  }

  function receivedItem(entry) {
    const li = document.createElement('li');
    const head = document.createElement('div');
    head.className = 'received-head';
    const link = document.createElement('a');
    link.href = entry.url;
    link.download = entry.name;
    link.textContent = entry.name;
    const meta = document.createElement('span');
    meta.className = 'muted';
    meta.textContent = `${entry.kind || 'file'} · ${formatSize(entry.size)}`;
    head.append(link, meta);
    li.append(head);
    if (entry.mime.toLowerCase().startsWith('image/')) {
      const img = document.createElement('img');
      img.className = 'preview';
      img.alt = entry.name;
      img.src = entry.url;
      const open = document.createElement('a');
      open.href = entry.url;
      open.target = '_blank';
      open.rel = 'noopener';
      open.append(img);
      li.append(open);
    }
    return li;
  }

  function clearReceived() {
    for (const entry of api.received) URL.revokeObjectURL(entry.url);
    api.received.length = 0;
    ui.received.replaceChildren();
  }

  let lastDownloadDraw = 0;
  function drawDownloadSoon() {
    if (performance.now() - lastDownloadDraw >= DRAW_MS) drawDownload();
  }

  function drawDownload() {
    lastDownloadDraw = performance.now();
    const t = api.incoming;
    ui.download.hidden = !t;
    if (!t) return;
    ui.downloadBar.value = t.size ? Math.min(1, t.received / t.size) : 0;
    ui.downloadText.textContent = `Receiving ${t.name} — ${megabytes(t.received)} of ${megabytes(t.size)} MB`;
  }

  // ---- clipboard text and screenshots ----------------------------------------------------------

  let noteTimer = null;
  function showClipNote(text) {
    ui.clipNote.textContent = `${text} · ${new Date().toLocaleTimeString([], { hour12: false })}`;
    clearTimeout(noteTimer);
    noteTimer = setTimeout(() => { ui.clipNote.textContent = ''; }, 10000);
  }

  function sendClipText(paste) {
    const text = ui.clipText.value;
    const msg = paste ? { t: 'clip-set', text, paste: true } : { t: 'clip-set', text };
    if (utf8Length(JSON.stringify(msg)) > MAX_MESSAGE) {
      viewer.showToast('Too much text to send at once (64 KB at most)');
      return;
    }
    // Clipboard text stays out of the log: it may be a password.
    if (viewer.send(msg, { quiet: true })) {
      log(`→ clip-set (${text.length} characters${paste ? ', paste' : ''})`, 'out');
      showClipNote(paste ? 'sent and pasted' : 'sent');
    }
  }

  window.addEventListener('viewer-message', (event) => {
    const msg = event.detail;
    if (msg.t !== 'clip' || typeof msg.text !== 'string') return;
    api.clipNotes.push(msg);
    ui.clipText.value = msg.text;
    showClipNote(msg.auto ? 'computer copied' : 'from computer');
  });

  // An image pasted anywhere on the page goes to the computer's clipboard; text pasted into
  // the clipboard box stays an ordinary paste.
  document.addEventListener('paste', (event) => {
    if (!enabled || !event.clipboardData) return;
    const data = event.clipboardData;
    if (event.target === ui.clipText && data.types.includes('text/plain')) return;
    const item = Array.from(data.items).find((i) => i.kind === 'file' && i.type.startsWith('image/'));
    const file = item && item.getAsFile();
    if (!file) return;
    event.preventDefault();
    sendClipboardImage(file);
  });

  // ---- controls ------------------------------------------------------------------------------

  const controls = [ui.shot, ui.shotUi, ui.clipSet, ui.clipPaste, ui.clipGet, ui.fileSend, ui.clipImage];

  function setEnabled(on) {
    enabled = on;
    for (const control of controls) {
      control.disabled = !on;
      // The file inputs hide inside labels that look like buttons.
      const label = control.closest('label');
      if (label) label.classList.toggle('disabled', !on);
    }
  }

  ui.shot.addEventListener('click', () => viewer.send({ t: 'screenshot' }));
  ui.shotUi.addEventListener('click', () => viewer.send({ t: 'screenshot-ui' }));
  ui.clipGet.addEventListener('click', () => viewer.send({ t: 'clip-get' }));
  ui.clipSet.addEventListener('click', () => sendClipText(false));
  ui.clipPaste.addEventListener('click', () => sendClipText(true));
  ui.cancel.addEventListener('click', cancelUploads);
  ui.clear.addEventListener('click', clearReceived);
  ui.fileSend.addEventListener('change', () => {
    const files = Array.from(ui.fileSend.files);
    ui.fileSend.value = ''; // so the same file can be chosen again
    for (const file of files) sendFromPage(file, { name: file.name, mime: file.type, kind: 'file' });
  });
  ui.clipImage.addEventListener('change', () => {
    const file = ui.clipImage.files[0];
    ui.clipImage.value = '';
    if (file) sendClipboardImage(file);
  });

  window.addEventListener('viewer-controls', (event) => setEnabled(Boolean(event.detail)));
  window.addEventListener('viewer-file-channel', (event) => adopt(event.detail));
  if (viewer.fileChannel) adopt(viewer.fileChannel);
  setEnabled(false);
  drawUpload();
})();
