// korvane's host protocol as the page speaks it: the gateway forwards korvane's frames unchanged,
// one per WebSocket message, and takes commands framed the same way.

export const EVT = {
  CONNECTED: 1, RECT: 2, RESIZE: 3, ERROR: 4, DISCONNECTED: 5, H264: 6, CLIP_FORMATS: 7,
  CLIP_DATA: 8, EXTENSIONS: 9, CURSOR_SHAPE: 10, CURSOR_USE: 11, CURSOR_HIDDEN: 12,
  CURSOR_DEFAULT: 13, CURSOR_POSITION: 14, RESIZE_REFUSED: 15, H264_CODEC: 16,
  CERTIFICATE: 17, PROGRESS: 18, END_REASON: 19, REFUSED: 20, AUDIO_FORMAT: 23, AUDIO_DATA: 24,
  AUDIO_VOLUME: 25, RECT_DEFLATE: 26, GATEWAY_MESSAGE: 27, MIC_OPEN: 30, MIC_CLOSED: 31,
  CLIP_FILE_DATA: 32, CLIP_FILE_REQUEST: 33, CLIP_LOCK: 34,
};

export const CMD = {
  MOUSE_MOVE: 2, MOUSE_BUTTON: 3, MOUSE_WHEEL: 4, KEY: 5, DISCONNECT: 6, CLIP_FORMATS: 7,
  CLIP_DATA: 8, CLIP_REQUEST: 9, RESIZE: 10, CURSOR_STATE: 11, UNICODE: 13, SYNC_LOCKS: 14,
  GATEWAY_VERDICT: 16, AUDIO_IN: 18, CLIP_FILE_REQUEST: 19, CLIP_FILE_DATA: 20, CLIP_LOCK: 21,
};

// The wave format tags the host sees: one per codec.
export const AUDIO_TAG = { PCM: 0x0001, AAC: 0xa106, OPUS: 0x704f, MP3: 0x0055 };

export const CF_UNICODETEXT = 13;
export const CODEC_AVC420 = 0x000b;

// A frame as { type, view: DataView over the payload, bytes: Uint8Array of the payload }.
export function parseFrame(buffer) {
  if (buffer.byteLength < 5) return null;
  const head = new DataView(buffer, 0, 5);
  const length = head.getUint32(1, true);
  if (length !== buffer.byteLength - 5) return null;
  return {
    type: head.getUint8(0),
    view: new DataView(buffer, 5, length),
    bytes: new Uint8Array(buffer, 5, length),
  };
}

// Builds a command frame from a list of [kind, value] fields.
export function frame(type, fields = []) {
  let size = 0;
  for (const [kind, value] of fields) {
    size += kind === 'u8' ? 1 : kind === 'bytes' ? value.byteLength : 4;
  }
  const out = new Uint8Array(5 + size);
  const view = new DataView(out.buffer);
  view.setUint8(0, type);
  view.setUint32(1, size, true);
  let at = 5;
  for (const [kind, value] of fields) {
    if (kind === 'u8') { view.setUint8(at, value); at += 1; }
    else if (kind === 'u32') { view.setUint32(at, value >>> 0, true); at += 4; }
    else if (kind === 'i32') { view.setInt32(at, value | 0, true); at += 4; }
    else { out.set(value, at); at += value.byteLength; }
  }
  return out;
}

// A format list: count (u32), then id (u32), name length (u16), name bytes (UTF-8).
export function parseNamedFormats(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.byteLength < 4) return [];
  const count = view.getUint32(0, true);
  const out = [];
  let at = 4;
  for (let i = 0; i < count && at + 6 <= bytes.byteLength; i++) {
    const id = view.getUint32(at, true);
    const len = view.getUint16(at + 4, true);
    const name = new TextDecoder().decode(bytes.subarray(at + 6, Math.min(at + 6 + len, bytes.byteLength)));
    at += 6 + len;
    out.push({ id, name });
  }
  return out;
}

export function parseFormats(bytes) {
  return parseNamedFormats(bytes).map((f) => f.id);
}

// From ids, or { id, name } entries.
export function formatList(entries) {
  const named = entries.map((e) => (typeof e === 'number'
    ? { id: e, name: new Uint8Array(0) } : { id: e.id, name: new TextEncoder().encode(e.name) }));
  const out = new Uint8Array(4 + named.reduce((n, e) => n + 6 + e.name.byteLength, 0));
  const view = new DataView(out.buffer);
  view.setUint32(0, named.length, true);
  let at = 4;
  for (const e of named) {
    view.setUint32(at, e.id, true);
    view.setUint16(at + 4, e.name.byteLength, true);
    out.set(e.name, at + 6);
    at += 6 + e.name.byteLength;
  }
  return out;
}

// Plain words for the typed endings of EVT_END_REASON.
export const END_WORDS = [
  'The session ended.',
  'The computer could not be reached.',
  'The connection took too long.',
  'A secure connection could not be made.',
  "The computer's certificate was not accepted.",
  'The user name or password was not accepted.',
  'There is a problem with this account (expired, locked, disabled, or the password must change).',
  'The computer refused the connection.',
  'You were logged off.',
  'Someone else connected to this session.',
  'The remote computer shut down or the connection broke.',
  'The remote computer sent something unexpected.',
  'You ended the session.',
  'The remote computer ended the session.',
  'The gateway asked for something the remote computer cannot use.',
  'The Remote Desktop Gateway could not be reached.',
  'The Remote Desktop Gateway did not accept the sign-in.',
  'The Remote Desktop Gateway will not connect to this computer.',
  "The Remote Desktop Gateway's certificate was not accepted.",
  'The connection through the Remote Desktop Gateway broke.',
  "The Remote Desktop Gateway's message was declined.",
];

// EVT_GATEWAY_MESSAGE's kinds.
export const GATEWAY_MESSAGE_CONSENT = 1;

export const PROGRESS_WORDS = {
  1: 'Connecting…',
  2: 'Secure connection up, signing in…',
  3: 'Signed in, starting the session…',
  4: 'Session ready.',
};
