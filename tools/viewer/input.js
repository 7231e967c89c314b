// Drives the host's desktop from this page: pointer, buttons, wheel, keys, typed text, media
// keys and input methods, and draws the host's pointer over the video.
//   mouse: the pointer goes where the mouse is over the picture; buttons and wheel as they are
//   touch: a touch pad — one finger moves, tap = click, tap then drag = drag,
//          long press = right click, two fingers scroll
//   keys:  physical keys go as keys (the host's layout applies); text from the on-screen
//          keyboard or an input method goes as text
(function () {
  'use strict';

  const viewer = window.viewer;
  const $ = (id) => document.getElementById(id);
  const stage = $('stage');
  const video = $('video');
  const cursorImage = $('cursor');
  const keys = $('keys');

  // The 92 key names the host accepts as keys; anything else is typed as text.
  const KEY_CODES = new Set([
    ...'ABCDEFGHIJKLMNOPQRSTUVWXYZ'.split('').map((c) => `Key${c}`),
    ...'0123456789'.split('').map((d) => `Digit${d}`),
    'Minus', 'Equal', 'BracketLeft', 'BracketRight', 'Backslash', 'Semicolon', 'Quote', 'Backquote',
    'Comma', 'Period', 'Slash', 'IntlBackslash', 'Enter', 'NumpadEnter', 'Tab', 'Space', 'Backspace',
    'Delete', 'Escape', 'ArrowLeft', 'ArrowRight', 'ArrowUp', 'ArrowDown', 'Home', 'End', 'PageUp',
    'PageDown', ...Array.from({ length: 12 }, (_, i) => `F${i + 1}`),
    ...'0123456789'.split('').map((d) => `Numpad${d}`),
    'NumpadDecimal', 'NumpadAdd', 'NumpadSubtract', 'NumpadMultiply', 'NumpadDivide', 'Lang1', 'Lang2',
  ]);
  const TAP_MS = 250;
  const TAP_SLOP = 8;          // CSS pixels a tap may wander
  const LONG_PRESS_MS = 550;
  const DOUBLE_TAP_MS = 300;   // a touch this soon after a tap may start a drag
  const LINE_PIXELS = 40;      // wheel lines → pixels

  // What tests and the page read: the host's pointer and input methods.
  const state = { cur: null, shape: null, screen: null, ime: null, imeList: [] };
  viewer.input = state;

  const send = (msg) => viewer.send(msg, { quiet: true });
  const mods = (e) => ({ shift: e.shiftKey, ctrl: e.ctrlKey, alt: e.altKey, meta: e.metaKey });

  // ---- where the picture is ----------------------------------------------------------------

  // The picture's rectangle inside the video element (object-fit: contain letterboxes it).
  function pictureRect() {
    const r = video.getBoundingClientRect();
    const vw = video.videoWidth;
    const vh = video.videoHeight;
    if (!vw || !vh) return { left: r.left, top: r.top, width: r.width, height: r.height };
    const scale = Math.min(r.width / vw, r.height / vh);
    const width = vw * scale;
    const height = vh * scale;
    return { left: r.left + (r.width - width) / 2, top: r.top + (r.height - height) / 2, width, height };
  }

  // The desktop's width in points: from the host when it says so, else the video's.
  const desktopWidth = () => (state.screen && state.screen.w) || video.videoWidth || 1;

  function fractionOf(e) {
    const p = pictureRect();
    const clamp = (v) => Math.min(1, Math.max(0, v));
    return { x: clamp((e.clientX - p.left) / p.width), y: clamp((e.clientY - p.top) / p.height) };
  }

  // ---- mouse -------------------------------------------------------------------------------

  let pendingMove = null;
  function moveSoon(position) {
    // At most one move a frame: the host's pointer cannot show more.
    const first = pendingMove === null;
    pendingMove = position;
    if (first) requestAnimationFrame(() => {
      if (pendingMove) send({ t: 'abs', x: pendingMove.x, y: pendingMove.y });
      pendingMove = null;
    });
  }
  function moveNow(position) {
    pendingMove = null;
    send({ t: 'abs', x: position.x, y: position.y });
  }

  const BUTTONS = { 0: 0, 1: 1, 2: 2 };

  function onMouse(e) {
    if (e.type === 'pointermove') { moveSoon(fractionOf(e)); return; }
    const b = BUTTONS[e.button];
    if (b === undefined) return;
    if (e.type === 'pointerdown') {
      keys.focus({ preventScroll: true });
      video.setPointerCapture(e.pointerId);
      moveNow(fractionOf(e));
      send({ t: 'btn', b, d: true, mods: mods(e) });
    } else {
      moveNow(fractionOf(e));
      send({ t: 'btn', b, d: false, mods: mods(e) });
    }
  }

  video.addEventListener('wheel', (e) => {
    e.preventDefault();
    const unit = e.deltaMode === 1 ? LINE_PIXELS : e.deltaMode === 2 ? pictureRect().height : 1;
    // The host's wheel goes up for positive "dy"; the browser's delta is positive downwards.
    send({ t: 'wheel', dx: -e.deltaX * unit, dy: -e.deltaY * unit });
  }, { passive: false });
  video.addEventListener('contextmenu', (e) => e.preventDefault());

  // ---- touch pad -----------------------------------------------------------------------------

  const touches = new Map();
  let gesture = null; // { kind: 'pending'|'move'|'drag'|'scroll'|'done', ... }
  let lastTapEnd = 0;
  let carry = { x: 0, y: 0 };

  function click(b) {
    send({ t: 'btn', b, d: true });
    send({ t: 'btn', b, d: false });
  }

  // Finger movement in CSS pixels → desktop points, so a swipe across the picture crosses the desktop.
  function relative(dx, dy) {
    const scale = desktopWidth() / pictureRect().width;
    carry.x += dx * scale;
    carry.y += dy * scale;
    const x = Math.trunc(carry.x);
    const y = Math.trunc(carry.y);
    carry.x -= x;
    carry.y -= y;
    if (x || y) send({ t: 'rel', dx: x, dy: y });
  }

  function onTouchDown(e) {
    touches.set(e.pointerId, { x: e.clientX, y: e.clientY, x0: e.clientX, y0: e.clientY });
    video.setPointerCapture(e.pointerId);
    if (touches.size === 2) {
      clearTimeout(gesture && gesture.longPress);
      if (gesture && gesture.kind === 'drag') send({ t: 'btn', b: 0, d: false });
      gesture = { kind: 'scroll' };
      return;
    }
    if (touches.size > 2) return;
    const now = performance.now();
    gesture = { kind: 'pending', at: now, afterTap: now - lastTapEnd < DOUBLE_TAP_MS };
    gesture.longPress = setTimeout(() => {
      if (gesture && gesture.kind === 'pending' && !gesture.afterTap) {
        gesture.kind = 'done';
        click(2);
      }
    }, LONG_PRESS_MS);
  }

  function onTouchMove(e) {
    const t = touches.get(e.pointerId);
    if (!t || !gesture) return;
    const dx = e.clientX - t.x;
    const dy = e.clientY - t.y;
    t.x = e.clientX;
    t.y = e.clientY;
    if (gesture.kind === 'scroll') {
      // Two fingers: the content follows them, halved since both fingers report the move.
      send({ t: 'wheel', dx: dx / 2, dy: dy / 2 });
      return;
    }
    if (gesture.kind === 'pending') {
      if (Math.hypot(e.clientX - t.x0, e.clientY - t.y0) < TAP_SLOP) return;
      clearTimeout(gesture.longPress);
      gesture.kind = gesture.afterTap ? 'drag' : 'move';
      if (gesture.kind === 'drag') send({ t: 'btn', b: 0, d: true });
    }
    if (gesture.kind === 'move' || gesture.kind === 'drag') relative(dx, dy);
  }

  function onTouchUp(e) {
    if (!touches.delete(e.pointerId) || !gesture) return;
    if (touches.size > 0) return;
    clearTimeout(gesture.longPress);
    const now = performance.now();
    if (gesture.kind === 'drag') send({ t: 'btn', b: 0, d: false });
    if (gesture.kind === 'pending' && now - gesture.at <= TAP_MS) {
      click(0);
      lastTapEnd = now;
    }
    gesture = null;
  }

  video.addEventListener('pointerdown', (e) => {
    e.preventDefault();
    if (e.pointerType === 'touch') onTouchDown(e); else onMouse(e);
  });
  video.addEventListener('pointermove', (e) => {
    if (e.pointerType === 'touch') onTouchMove(e); else onMouse(e);
  });
  for (const type of ['pointerup', 'pointercancel']) {
    video.addEventListener(type, (e) => {
      if (e.pointerType === 'touch') onTouchUp(e); else if (e.type === 'pointerup') onMouse(e);
    });
  }

  // ---- keys and text -------------------------------------------------------------------------

  const held = new Set();

  function tapKey(code) {
    send({ t: 'key', code, d: true });
    send({ t: 'key', code, d: false });
  }
  function sendText(text) {
    if (text) send({ t: 'text', s: text });
  }

  keys.addEventListener('keydown', (e) => {
    // An input method at work, or a soft keyboard that does not say which key: text follows.
    if (e.isComposing || e.key === 'Process' || e.key === 'Unidentified' || e.keyCode === 229) return;
    if (!KEY_CODES.has(e.code)) {
      if (/^(Shift|Control|Alt|Meta)/.test(e.code) || e.code === 'CapsLock') e.preventDefault();
      return;
    }
    e.preventDefault();
    held.add(e.code);
    send({ t: 'key', code: e.code, d: true, mods: mods(e), rep: e.repeat });
  });
  keys.addEventListener('keyup', (e) => {
    if (!held.delete(e.code)) return;
    e.preventDefault();
    send({ t: 'key', code: e.code, d: false, mods: mods(e) });
  });
  keys.addEventListener('blur', () => {
    for (const code of held) send({ t: 'key', code, d: false });
    held.clear();
  });
  keys.addEventListener('input', (e) => {
    if (e.isComposing) return;
    if (e.inputType === 'insertText' || e.inputType === 'insertReplacementText') sendText(e.data);
    else if (e.inputType === 'insertLineBreak' || e.inputType === 'insertParagraph') tapKey('Enter');
    else if (e.inputType === 'deleteContentBackward') tapKey('Backspace');
    else if (e.inputType === 'deleteContentForward') tapKey('Delete');
    keys.value = '';
  });
  keys.addEventListener('compositionend', (e) => {
    sendText(e.data);
    keys.value = '';
  });

  // ---- buttons -------------------------------------------------------------------------------

  $('btn-keyboard').addEventListener('click', () => {
    if (document.activeElement === keys) keys.blur(); else keys.focus({ preventScroll: true });
  });
  for (const button of document.querySelectorAll('[data-media]')) {
    button.addEventListener('click', () => send({ t: 'media', k: button.dataset.media }));
  }
  const imePicker = $('ime-picker');
  imePicker.addEventListener('focus', () => send({ t: 'ime-list' }));
  imePicker.addEventListener('change', () => send({ t: 'ime-select', id: imePicker.value }));
  $('btn-ime-next').addEventListener('click', () => send({ t: 'ime-next' }));

  function showImeList() {
    imePicker.replaceChildren(...state.imeList.map((source) => {
      const option = new Option(source.name || source.id, source.id);
      option.selected = state.ime ? state.ime.id === source.id : source.selected;
      return option;
    }));
  }

  // ---- the host's pointer --------------------------------------------------------------------

  function drawCursor() {
    if (!state.cur || !state.shape || !video.videoWidth) { cursorImage.hidden = true; return; }
    const p = pictureRect();
    const s = stage.getBoundingClientRect();
    const scale = p.width / desktopWidth();
    const { x, y } = state.cur;
    const inside = x >= 0 && x <= 1 && y >= 0 && y <= 1;
    cursorImage.hidden = !inside;
    cursorImage.style.width = `${state.shape.w * scale}px`;
    cursorImage.style.height = `${state.shape.h * scale}px`;
    cursorImage.style.transform = `translate(${p.left - s.left + x * p.width - state.shape.hx * scale}px, `
      + `${p.top - s.top + y * p.height - state.shape.hy * scale}px)`;
  }

  window.addEventListener('viewer-message', (event) => {
    const msg = event.detail;
    switch (msg.t) {
      case 'cur':
        if (typeof msg.x === 'number' && typeof msg.y === 'number') state.cur = { x: msg.x, y: msg.y };
        break;
      case 'shape':
        if (typeof msg.png !== 'string') return;
        state.shape = { w: +msg.w || 0, h: +msg.h || 0, hx: +msg.hx || 0, hy: +msg.hy || 0 };
        cursorImage.src = `data:image/png;base64,${msg.png}`;
        break;
      case 'screen':
        state.screen = { w: +msg.w || 0, h: +msg.h || 0 };
        break;
      case 'ime':
        state.ime = msg;
        $('ime-current').textContent = msg.name || msg.id || '–';
        showImeList();
        return;
      case 'ime-list':
        state.imeList = Array.isArray(msg.list) ? msg.list : [];
        showImeList();
        return;
      default:
        return;
    }
    drawCursor();
  });
  window.addEventListener('viewer-open', () => send({ t: 'ime-list' }));
  window.addEventListener('resize', drawCursor);
  video.addEventListener('resize', drawCursor);
})();
