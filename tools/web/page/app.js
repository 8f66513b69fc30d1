// The page: one remote desktop per tab, through korvane-web and its korvane child.
import {
  CF_UNICODETEXT, CMD, CODEC_AVC420, END_WORDS, EVT, GATEWAY_MESSAGE_CONSENT, PROGRESS_WORDS,
  formatList, frame, parseFormats, parseFrame,
} from './protocol.js';
import { scanCodeOf } from './keys.js';
import { createSound, decodableCodecs } from './sound.js';
import { createFiles } from './files.js';
import { createShare } from './share.js';
import { createPlayer, parseRecording } from './player.js';

const EXT_CURSOR = 0x01, EXT_RESIZE = 0x02, EXT_H264 = 0x04, EXT_TEXT = 0x20;
const EXT_MICROPHONE = 0x4000, EXT_FILES = 0x8000;

const canvas = document.getElementById('screen');
const ctx = canvas.getContext('2d', { alpha: false });
const statusEl = document.getElementById('status');
const rateEl = document.getElementById('rate');
const bar = document.getElementById('bar');

// Everything a person sees, also read by the browser tests.
const state = window.korvane = {
  phase: 'idle', width: 0, height: 0, granted: 0, codecs: 0, cursor: 'default',
  rects: 0, deflatedRects: 0, h264Chunks: 0, decodedFrames: 0, decodeErrors: 0, decoderErrorText: '',
  bytes: 0, fps: 0, kbps: 0, status: '', endReason: null, error: null, remoteClipboard: null,
  resizes: 0,
};

let ws = null;
let painted = false;
const micButton = document.getElementById('mic');

function say(text, isError = false) {
  state.status = text;
  statusEl.textContent = text;
  bar.classList.toggle('error', isError);
}

function send(bytes) {
  // A viewer without input sends nothing (the gateway would let it go anyway).
  if (state.viewer === 'view') return;
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(bytes);
}

const sound = createSound(send);
state.sound = sound.readout;
const files = createFiles(send, document.getElementById('downloads'));
state.files = files.readout;
const share = createShare((text) => {
  if (ws && ws.readyState === WebSocket.OPEN) ws.send(text);
}, document.getElementById('share'));
state.share = share.readout;

// ---- pictures

// The canvas holds the desktop's pixels one to one; shown at one desktop pixel a device pixel,
// so that text is as sharp as on the remote screen, unless the desktop is larger than the
// window: then it is shrunk to fit, keeping its aspect.
function fitCanvas() {
  if (!state.width || !state.height) return;
  const dpr = window.devicePixelRatio || 1;
  const shrink = Math.min(1, innerWidth * dpr / state.width, innerHeight * dpr / state.height);
  canvas.style.width = `${state.width * shrink / dpr}px`;
  canvas.style.height = `${state.height * shrink / dpr}px`;
}

function setSize(width, height) {
  state.width = width;
  state.height = height;
  canvas.width = width;
  canvas.height = height;
  fitCanvas();
  ctx.fillStyle = '#000';
  ctx.fillRect(0, 0, width, height);
}

// The window in device pixels, and the ratio of device to CSS pixels in percent: what the page
// asks the server's desktop to be.
function screenWanted() {
  const dpr = window.devicePixelRatio || 1;
  return {
    width: Math.round(innerWidth * dpr), height: Math.round(innerHeight * dpr),
    scale: Math.round(dpr * 100),
  };
}

function paintPixels(x, y, w, h, px) {
  // The server's pixels carry no meaningful alpha; the canvas must show them opaque.
  for (let i = 3; i < px.length; i += 4) px[i] = 255;
  ctx.putImageData(new ImageData(px, w, h), x, y);
  state.rects++;
  painted = true;
}

function paintRect(f) {
  if (f.bytes.byteLength < 16) return;
  const x = f.view.getInt32(0, true), y = f.view.getInt32(4, true);
  const w = f.view.getInt32(8, true), h = f.view.getInt32(12, true);
  if (w <= 0 || h <= 0 || f.bytes.byteLength !== 16 + w * h * 4) return;
  paintPixels(x, y, w, h, new Uint8ClampedArray(f.bytes.buffer, f.bytes.byteOffset + 16, w * h * 4));
}

// EVT_RECT_DEFLATE: the same pixels as one zlib stream, which the browser inflates.
async function paintDeflatedRect(f, started) {
  if (f.bytes.byteLength <= 16) return;
  const x = f.view.getInt32(0, true), y = f.view.getInt32(4, true);
  const w = f.view.getInt32(8, true), h = f.view.getInt32(12, true);
  if (w <= 0 || h <= 0 || x + w > state.width || y + h > state.height) return;
  try {
    const stream = new Blob([f.bytes.subarray(16)]).stream().pipeThrough(new DecompressionStream('deflate'));
    const px = new Uint8ClampedArray(await new Response(stream).arrayBuffer());
    if (px.length === w * h * 4 && started === generation) {
      paintPixels(x, y, w, h, px);
      state.deflatedRects++;
    }
  } catch (e) {
    // A broken stream paints nothing; the next change of that area repaints it.
  }
}

// Frames wait here while a deflated rectangle inflates (asynchronously), so that everything
// reaches the canvas in korvane's order.
let backlog = null;
// Counts the picture's fresh starts (a recording's seek): what was still inflating for an
// earlier one is dropped.
let generation = 0;

function deliver(f) {
  if (backlog) {
    backlog.push(f);
  } else if (f.type === EVT.RECT_DEFLATE) {
    backlog = [];
    const started = generation;
    paintDeflatedRect(f, started).finally(() => {
      if (started !== generation) return;
      const waiting = backlog;
      backlog = null;
      for (const next of waiting) deliver(next);
    });
  } else {
    onFrame(f);
  }
}

// One VideoDecoder per picture origin, as the graphics pipeline keeps one stream per surface.
const decoders = new Map();

function nalTypes(bytes) {
  const types = [];
  for (let i = 0; i + 3 < bytes.length; i++) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      types.push({ type: bytes[i + 3] & 0x1f, at: i + 3 });
      i += 2;
    }
  }
  return types;
}

function codecString(bytes, nals) {
  const sps = nals.find((n) => n.type === 7);
  if (!sps || sps.at + 3 >= bytes.length) return null;
  const hex = (v) => v.toString(16).padStart(2, '0');
  return `avc1.${hex(bytes[sps.at + 1])}${hex(bytes[sps.at + 2])}${hex(bytes[sps.at + 3])}`;
}

function decoderFor(key) {
  let d = decoders.get(key);
  if (d) return d;
  d = { decoder: null, places: [], timestamp: 0, configured: false };
  d.decoder = new VideoDecoder({
    output: (picture) => {
      const place = d.places.shift();
      if (place) {
        const w = Math.min(picture.displayWidth, place.width);
        const h = Math.min(picture.displayHeight, place.height);
        ctx.drawImage(picture, 0, 0, w, h, place.left, place.top, w, h);
        state.decodedFrames++;
        painted = true;
      }
      picture.close();
    },
    error: (e) => {
      state.decodeErrors++;
      state.decoderErrorText = String(e);
      decoders.delete(key);  // a new decoder starts at the next key frame
    },
  });
  decoders.set(key, d);
  return d;
}

function paintH264(f) {
  const v = f.view;
  if (f.bytes.byteLength < 36) return;
  const codec = v.getUint16(0, true);
  const left = v.getUint32(4, true), top = v.getUint32(8, true);
  const width = v.getUint32(20, true), height = v.getUint32(24, true);
  const mainLength = v.getUint32(28, true);
  if (codec !== CODEC_AVC420 || 36 + mainLength > f.bytes.byteLength || mainLength === 0) return;
  state.h264Chunks++;
  const main = f.bytes.subarray(36, 36 + mainLength);
  const nals = nalTypes(main);
  const key = nals.some((n) => n.type === 5);
  const d = decoderFor(`${left},${top}`);
  if (!d.configured) {
    const codecName = key && codecString(main, nals);
    if (!codecName) return;  // nothing can be decoded before a key frame with its parameters
    d.decoder.configure({ codec: codecName, optimizeForLatency: true });
    d.configured = true;
  }
  d.places.push({ left, top, width, height });
  d.decoder.decode(new EncodedVideoChunk({
    type: key ? 'key' : 'delta', timestamp: d.timestamp++, data: main,
  }));
}

// ---- cursor

const cursors = new Map();

function cursorShape(f) {
  if (f.bytes.byteLength < 20) return;
  const v = f.view;
  const id = v.getUint32(0, true), hx = v.getUint32(4, true), hy = v.getUint32(8, true);
  const w = v.getUint32(12, true), h = v.getUint32(16, true);
  if (f.bytes.byteLength !== 20 + w * h * 4) return;
  if (w === 0 || h === 0) {
    cursors.set(id, 'none');
    return;
  }
  const c = document.createElement('canvas');
  c.width = w;
  c.height = h;
  const px = new Uint8ClampedArray(f.bytes.buffer, f.bytes.byteOffset + 20, w * h * 4);
  c.getContext('2d').putImageData(new ImageData(px, w, h), 0, 0);
  cursors.set(id, `url(${c.toDataURL('image/png')}) ${hx} ${hy}, auto`);
}

function useCursor(css) {
  state.cursor = css;
  canvas.style.cursor = css;
}

// ---- clipboard

function utf16le(text) {
  const out = new Uint8Array((text.length + 1) * 2);
  for (let i = 0; i < text.length; i++) {
    out[i * 2] = text.charCodeAt(i) & 0xff;
    out[i * 2 + 1] = text.charCodeAt(i) >> 8;
  }
  return out;
}

let offeredText = null;

function offerText(text) {
  if (typeof text !== 'string' || text === offeredText) return;
  offeredText = text;
  send(frame(CMD.CLIP_FORMATS, [['bytes', formatList([CF_UNICODETEXT])]]));
  send(frame(CMD.CLIP_DATA, [['u32', CF_UNICODETEXT], ['bytes', utf16le(text)]]));
}
window.korvaneOfferText = offerText;

function clipboardData(f) {
  if (f.bytes.byteLength < 4 || f.view.getUint32(0, true) !== CF_UNICODETEXT) return;
  const data = f.bytes.subarray(4);
  let text = new TextDecoder('utf-16le').decode(data.subarray(0, data.byteLength & ~1));
  const nul = text.indexOf('\0');
  if (nul >= 0) text = text.slice(0, nul);
  state.remoteClipboard = text;
  offeredText = text;  // what came from the server is not offered back to it
  if (navigator.clipboard && document.hasFocus()) navigator.clipboard.writeText(text).catch(() => {});
}

// ---- events from korvane

function onFrame(f) {
  if (files.onFrame(f)) return;
  switch (f.type) {
    case EVT.EXTENSIONS:
      state.granted = f.view.getUint32(0, true);
      state.codecs = f.bytes.byteLength > 4 ? f.view.getUint8(4) : 0;
      micButton.hidden = !(state.granted & EXT_MICROPHONE);
      break;
    case EVT.PROGRESS: {
      const step = f.view.getUint8(0);
      if (PROGRESS_WORDS[step]) say(PROGRESS_WORDS[step]);
      break;
    }
    case EVT.CONNECTED:
      state.phase = 'connected';
      setSize(f.view.getUint32(0, true), f.view.getUint32(4, true));
      canvas.hidden = false;
      canvas.focus();
      say('Connected.');
      if (state.granted & EXT_CURSOR) send(frame(CMD.CURSOR_STATE));
      if (navigator.clipboard && document.hasFocus()) navigator.clipboard.readText().then(offerText, () => {});
      break;
    case EVT.RESIZE:
      setSize(f.view.getUint32(0, true), f.view.getUint32(4, true));
      state.resizes++;
      break;
    case EVT.RECT: paintRect(f); break;
    case EVT.H264_CODEC: paintH264(f); break;
    case EVT.CURSOR_SHAPE: cursorShape(f); break;
    case EVT.CURSOR_USE: useCursor(cursors.get(f.view.getUint32(0, true)) || 'default'); break;
    case EVT.CURSOR_HIDDEN: useCursor('none'); break;
    case EVT.CURSOR_DEFAULT: useCursor('default'); break;
    case EVT.CLIP_FORMATS:
      if (parseFormats(f.bytes).includes(CF_UNICODETEXT)) {
        send(frame(CMD.CLIP_REQUEST, [['u32', CF_UNICODETEXT]]));
      }
      break;
    case EVT.CLIP_DATA: clipboardData(f); break;
    case EVT.GATEWAY_MESSAGE: {
      // The gateway's terms (or an administrator's notice): the person at the page consents, not
      // korvane-web. korvane waits up to 60 s for the answer.
      if (f.bytes.byteLength < 1) break;
      const text = new TextDecoder().decode(f.bytes.subarray(1));
      const title = f.bytes[0] === GATEWAY_MESSAGE_CONSENT
        ? 'The Remote Desktop Gateway asks you to accept this before connecting:'
        : 'A message from the Remote Desktop Gateway:';
      const accept = window.confirm(`${title}\n\n${text}`);
      send(frame(CMD.GATEWAY_VERDICT, [['u8', accept ? 1 : 0]]));
      break;
    }
    case EVT.END_REASON: {
      const category = f.view.getUint8(0);
      state.endReason = category;
      say(END_WORDS[category] || END_WORDS[0], category !== 12 && category !== 8);
      break;
    }
    case EVT.ERROR: {
      state.error = new TextDecoder().decode(f.bytes);
      state.phase = 'ended';
      const words = state.endReason !== null ? END_WORDS[state.endReason] || END_WORDS[0] : '';
      say(`${words} (${state.error})`.trim(), true);
      break;
    }
    case EVT.DISCONNECTED:
      sessionStorage.removeItem('korvane-resume');
      state.phase = 'ended';
      if (state.endReason === null) say('The session ended.');
      sound.close();
      break;
    default:
      sound.onFrame(f);
      break;
  }
}

// ---- input to korvane

function desktopPoint(e) {
  const r = canvas.getBoundingClientRect();
  const x = Math.round((e.clientX - r.left) * (canvas.width / r.width));
  const y = Math.round((e.clientY - r.top) * (canvas.height / r.height));
  return [Math.max(0, Math.min(canvas.width - 1, x)), Math.max(0, Math.min(canvas.height - 1, y))];
}

const BUTTONS = { 0: 1, 1: 3, 2: 2 };

function bindInput() {
  canvas.addEventListener('mousemove', (e) => {
    const [x, y] = desktopPoint(e);
    send(frame(CMD.MOUSE_MOVE, [['u32', x], ['u32', y]]));
  });
  for (const [kind, pressed] of [['mousedown', 1], ['mouseup', 0]]) {
    canvas.addEventListener(kind, (e) => {
      const button = BUTTONS[e.button];
      if (!button) return;
      e.preventDefault();
      canvas.focus();
      const [x, y] = desktopPoint(e);
      send(frame(CMD.MOUSE_BUTTON, [['u32', x], ['u32', y], ['u8', button], ['u8', pressed]]));
    });
  }
  canvas.addEventListener('contextmenu', (e) => e.preventDefault());
  canvas.addEventListener('wheel', (e) => {
    e.preventDefault();
    const [x, y] = desktopPoint(e);
    const notches = (d) => (e.deltaMode === 0 ? d / 100 : e.deltaMode === 1 ? d / 3 : d);
    // The browser's positive delta scrolls down or right; RDP's positive delta is up.
    if (e.deltaY) send(frame(CMD.MOUSE_WHEEL, [['u32', x], ['u32', y], ['i32', Math.round(-notches(e.deltaY) * 120) || -Math.sign(e.deltaY) * 120], ['u8', 0]]));
    if (e.deltaX) send(frame(CMD.MOUSE_WHEEL, [['u32', x], ['u32', y], ['i32', Math.round(notches(e.deltaX) * 120) || Math.sign(e.deltaX) * 120], ['u8', 1]]));
  }, { passive: false });

  const down = new Set();
  canvas.addEventListener('keydown', (e) => {
    const key = scanCodeOf(e.code);
    if (key) {
      // Ctrl+V goes to the remote side and also lets the browser raise its paste event.
      if (!((e.ctrlKey || e.metaKey) && e.code === 'KeyV')) e.preventDefault();
      down.add(e.code);
      send(frame(CMD.KEY, [['u8', key[0]], ['u8', 1], ['u8', key[1]]]));
      return;
    }
    // A key the scan-code table does not know, producing a character: send the character.
    if (e.key.length >= 1 && [...e.key].length === 1 && (state.granted & EXT_TEXT)) {
      e.preventDefault();
      const cp = e.key.codePointAt(0);
      send(frame(CMD.UNICODE, [['u32', cp], ['u8', 1]]));
      send(frame(CMD.UNICODE, [['u32', cp], ['u8', 0]]));
    }
  });
  canvas.addEventListener('keyup', (e) => {
    const key = scanCodeOf(e.code);
    if (!key) return;
    e.preventDefault();
    down.delete(e.code);
    send(frame(CMD.KEY, [['u8', key[0]], ['u8', 0], ['u8', key[1]]]));
  });
  // Text that no key gives (an input method, a dead-key composition).
  canvas.addEventListener('compositionend', (e) => {
    if (!(state.granted & EXT_TEXT)) return;
    for (const ch of e.data || '') {
      const cp = ch.codePointAt(0);
      send(frame(CMD.UNICODE, [['u32', cp], ['u8', 1]]));
      send(frame(CMD.UNICODE, [['u32', cp], ['u8', 0]]));
    }
  });
  // Keys held while the focus leaves would stay pressed on the server.
  canvas.addEventListener('blur', () => {
    for (const code of down) {
      const key = scanCodeOf(code);
      send(frame(CMD.KEY, [['u8', key[0]], ['u8', 0], ['u8', key[1]]]));
    }
    down.clear();
  });
  document.addEventListener('paste', (e) => offerText(e.clipboardData.getData('text/plain')));
  window.addEventListener('focus', () => {
    if (navigator.clipboard && state.phase === 'connected') navigator.clipboard.readText().then(offerText, () => {});
  });

  let resizeTimer = null;
  const windowChanged = () => {
    fitCanvas();
    clearTimeout(resizeTimer);
    // A window being dragged sends many sizes; the server gets the one it settles on.
    resizeTimer = setTimeout(() => {
      if (!(state.granted & EXT_RESIZE) || state.phase !== 'connected') return;
      // The same scale for the desktop and the device: korvane clamps the device's to one the
      // server knows.
      const want = screenWanted();
      send(frame(CMD.RESIZE, [['u32', want.width], ['u32', want.height], ['u32', want.scale], ['u32', want.scale]]));
    }, 300);
  };
  window.addEventListener('resize', windowChanged);
  // A window moved to a screen of another density, or zoomed, may keep its CSS size: only the
  // ratio says so. A query matches one ratio, so each change sets up the next.
  const watchRatio = () => {
    matchMedia(`(resolution: ${window.devicePixelRatio || 1}dppx)`).addEventListener('change', () => {
      windowChanged();
      watchRatio();
    }, { once: true });
  };
  watchRatio();
}

// ---- the readout

let frames = 0;
let lastBytes = 0;
let lastTime = performance.now();
function tick(now) {
  if (painted) frames++;
  painted = false;
  if (now - lastTime >= 1000) {
    const seconds = (now - lastTime) / 1000;
    state.fps = frames / seconds;
    state.kbps = ((state.bytes - lastBytes) * 8) / 1000 / seconds;
    rateEl.textContent = `${state.fps.toFixed(0)} frames/s · ${(state.kbps / 1000).toFixed(1)} Mbit/s`;
    frames = 0;
    lastBytes = state.bytes;
    lastTime = now;
  }
  requestAnimationFrame(tick);
}

// Starts the picture over: a recording's seek plays it again from its start.
function resetDesktop() {
  generation++;
  backlog = null;
  for (const d of decoders.values()) {
    try { d.decoder.close(); } catch { /* already closed */ }
  }
  decoders.clear();
  if (state.width && state.height) setSize(state.width, state.height);
}

// ---- playing a recording

async function playRecording(target, name, params) {
  state.viewer = 'view';  // a recording is only watched
  say('Loading the recording…');
  let recording;
  try {
    const res = await fetch(`/recording?target=${encodeURIComponent(target)}&name=${encodeURIComponent(name)}`);
    if (!res.ok) throw new Error((await res.text()).trim() || res.statusText);
    recording = await parseRecording(new Uint8Array(await res.arrayBuffer()));
  } catch (e) {
    state.phase = 'ended';
    say(`The recording cannot be played: ${e.message}`, true);
    return;
  }
  const player = createPlayer(recording, (bytes) => {
    const f = parseFrame(bytes.slice().buffer);
    if (f) deliver(f);
  }, resetDesktop, document.getElementById('player'));
  state.player = player.readout;
  state.phase = 'playing';
  canvas.hidden = false;
  say(`${name}: ${recording.records.length} frames${recording.end === 'whole' ? '' : ` (${recording.end})`}.`);
  player.setSpeed(Number(params.get('speed')) || 1);
  player.seek(Number(params.get('at')) * 1000 || 0);
  if (params.get('autoplay') === '1') player.toggle();
  window.korvanePlayer = player;
}

// The recordings a target lets the page play, as links under the form.
async function listRecordings(target) {
  const list = document.getElementById('recordings');
  list.hidden = true;
  const res = await fetch(`/recordings?target=${encodeURIComponent(target)}`).catch(() => null);
  if (!res || !res.ok) return;
  const files = await res.json();
  list.replaceChildren(...files.map((f) => {
    const li = document.createElement('li');
    const a = document.createElement('a');
    a.href = `/?target=${encodeURIComponent(target)}&play=${encodeURIComponent(f.name)}`;
    a.textContent = `${f.name} (${(f.bytes / 1048576).toFixed(1)} MiB)`;
    li.append(a);
    return li;
  }));
  list.hidden = files.length === 0;
}

// ---- connecting

async function connect(target, options) {
  say('Asking the gateway…');
  const want = screenWanted();
  const body = new URLSearchParams({
    target,
    width: String(want.width),
    height: String(want.height),
    scale: String(want.scale),
    codec: options.h264 && 'VideoDecoder' in window ? 'h264' : 'raw',
    sound: options.sound ? '1' : '0',
    audio_codecs: options.sound ? (await decodableCodecs()).join(',') : '',
    microphone: options.microphone ? '1' : '0',
    files: options.files ? '1' : '0',
  });
  if (options.user) body.set('user', options.user);
  if (options.password) body.set('password', options.password);
  let token;
  try {
    const res = await fetch('/session', { method: 'POST', body });
    if (!res.ok) throw new Error((await res.text()).trim() || res.statusText);
    token = (await res.json()).token;
  } catch (e) {
    state.phase = 'ended';
    say(`The gateway refused: ${e.message}`, true);
    return;
  }
  open(`token.${token}`);
  share.show();
}

// The WebSocket: an owner's with its session token, a viewer's with its share link.
function open(protocol) {
  state.phase = 'connecting';
  ws = new WebSocket(`${location.protocol === 'https:' ? 'wss' : 'ws'}://${location.host}/ws`,
                     ['korvane', protocol]);
  ws.binaryType = 'arraybuffer';
  ws.onmessage = (m) => {
    if (typeof m.data === 'string') {
      // Kept for this tab only: a reload takes the session back (see main).
      if (m.data.startsWith('resume ')) sessionStorage.setItem('korvane-resume', m.data.slice(7));
      else share.onText(m.data);
      return;
    }
    state.bytes += m.data.byteLength;
    const f = parseFrame(m.data);
    if (f) deliver(f);
  };
  ws.onclose = () => {
    // The session to resume was gone: the page starts over, without it.
    if (state.resuming && state.phase === 'connecting') {
      location.reload();
      return;
    }
    if (state.phase !== 'ended') {
      state.phase = 'ended';
      say('The connection to the gateway closed.', true);
    }
  };
}

async function main() {
  bindInput();
  requestAnimationFrame(tick);
  const params = new URLSearchParams(location.search);
  if (params.get('share')) {
    state.viewer = params.get('input') === '1' ? 'input' : 'view';
    say(state.viewer === 'input' ? 'Joining a shared session…'
      : 'Joining a shared session (view only)…');
    open(`share.${params.get('share')}`);
    return;
  }
  // A reloaded tab whose gateway keeps sessions for their page (resume_seconds) takes its
  // session back; the gateway gives the token again once it has.
  const resume = sessionStorage.getItem('korvane-resume');
  if (resume) {
    sessionStorage.removeItem('korvane-resume');
    state.resuming = true;
    say('Resuming the session…');
    open(`resume.${resume}`);
    share.show();
    return;
  }
  let targets = [];
  try {
    targets = await (await fetch('/targets')).json();
  } catch {
    say('The gateway cannot be reached.', true);
    return;
  }
  const form = document.getElementById('login');
  const select = document.getElementById('target');
  for (const t of targets) select.add(new Option(t.name, t.name));
  const wanted = params.get('target');
  if (wanted) select.value = wanted;
  if (wanted && params.get('play')) {
    playRecording(wanted, params.get('play'), params);
    return;
  }
  const h264Box = document.getElementById('h264');
  if (params.get('codec') === 'raw') h264Box.checked = false;
  const soundBox = document.getElementById('sound');
  if (params.get('sound') === '0') soundBox.checked = false;
  const micBox = document.getElementById('microphone');
  if (params.get('mic') === '1') micBox.checked = true;
  const filesBox = document.getElementById('files');
  if (params.get('files') === '0') filesBox.checked = false;
  // Files dropped on the desktop go to the session's clipboard, once korvane took files.
  canvas.addEventListener('dragover', (e) => {
    if (state.granted & EXT_FILES) e.preventDefault();
  });
  canvas.addEventListener('drop', (e) => {
    if (!(state.granted & EXT_FILES)) return;
    e.preventDefault();
    files.offer(e.dataTransfer.files);
    say(`${files.readout.offered} file(s) on the remote clipboard: paste them there.`);
  });
  micButton.addEventListener('click', () => {
    sound.toggleMic().then(() => {
      micButton.classList.toggle('on', sound.readout.mic === 'on');
      if (sound.readout.mic.startsWith('refused')) say('The microphone was not allowed.', true);
    });
  });
  const showCredentials = () => {
    const t = targets.find((x) => x.name === select.value);
    document.getElementById('credentials').hidden = !(t && t.needs_login);
    listRecordings(select.value);
  };
  select.addEventListener('change', showCredentials);
  showCredentials();
  const start = () => {
    form.hidden = true;
    // In the click's turn: the browser lets sound made now play.
    if (soundBox.checked) sound.unlock();
    connect(select.value, {
      h264: h264Box.checked,
      sound: soundBox.checked,
      microphone: micBox.checked,
      files: filesBox.checked,
      user: document.getElementById('user').value,
      password: document.getElementById('password').value,
    });
  };
  form.addEventListener('submit', (e) => { e.preventDefault(); start(); });
  const t = targets.find((x) => x.name === wanted);
  if (params.get('connect') === '1' && t && !t.needs_login) start();
  else {
    form.hidden = false;
    say(targets.length ? 'Choose a computer.' : 'The gateway has no computers configured.');
  }
}

main();
