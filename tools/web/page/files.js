// Files through the session's clipboard: files dropped on the desktop are offered to it, ready
// to paste there, each read from the dropped File as the server asks; files copied in the
// session are listed for download, and a click fetches one in 1 MiB ranges (four in flight,
// under a lock) with its progress shown, then saves it. Everything rides the tab's WebSocket,
// behind the gateway's token and origin checks.
import { CMD, EVT, frame, formatList, parseNamedFormats } from './protocol.js';

export const FILE_LIST_FORMAT = 'FileGroupDescriptorW';
const OFFER_ID = 0xc0f1;
const RANGE = 1 << 20, WINDOW = 4, DESCRIPTOR = 592, NAME_AT = 72, NAME_UNITS = 260;
const ASK_SIZE = 1, ASK_RANGE = 2, OK = 0, FAILED = 1;

// FILEGROUPDESCRIPTORW: a count, then per file its flags (attributes, size, progress shown,
// Unicode), attributes (0x80 a file), size (high, low) and UTF-16 name. Names too long are cut.
export function encodeFileList(files) {
  const out = new Uint8Array(4 + files.length * DESCRIPTOR);
  const view = new DataView(out.buffer);
  view.setUint32(0, files.length, true);
  files.forEach((f, i) => {
    const at = 4 + i * DESCRIPTOR;
    view.setUint32(at, 0x80004044, true);
    view.setUint32(at + 36, 0x80, true);
    view.setUint32(at + 64, Math.floor(f.size / 2 ** 32), true);
    view.setUint32(at + 68, f.size >>> 0, true);
    const name = f.name.slice(0, NAME_UNITS - 1);
    for (let k = 0; k < name.length; k++) view.setUint16(at + NAME_AT + 2 * k, name.charCodeAt(k), true);
  });
  return out;
}

// The files of a server's list ({ name, size, folder }); null for a list shorter than its count.
// A name is only shown and offered as the saved file's name: the browser keeps it to a name.
export function parseFileList(bytes) {
  const view = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (bytes.byteLength < 4) return null;
  const count = view.getUint32(0, true);
  if (count > (bytes.byteLength - 4) / DESCRIPTOR) return null;
  const out = [];
  for (let i = 0; i < count; i++) {
    const at = 4 + i * DESCRIPTOR;
    let name = '';
    for (let k = 0; k < NAME_UNITS; k++) {
      const unit = view.getUint16(at + NAME_AT + 2 * k, true);
      if (!unit) break;
      name += String.fromCharCode(unit);
    }
    const folder = (view.getUint32(at + 36, true) & 0x10) !== 0;
    const size = view.getUint32(at + 64, true) * 2 ** 32 + view.getUint32(at + 68, true);
    out.push({ name, size: folder ? 0 : size, folder });
  }
  return out;
}

function request(stream, index, what, position, length, lock) {
  return frame(CMD.CLIP_FILE_REQUEST, [['u32', stream], ['u32', index], ['u8', what],
    ['u32', position % 2 ** 32], ['u32', Math.floor(position / 2 ** 32)], ['u32', length],
    ['u32', lock]]);
}

export function createFiles(send, listEl) {
  // What the browser tests read.
  const readout = { offered: 0, served: 0, listed: [], downloads: [] };
  let offered = [];       // the dropped File objects, by list index
  let serverListId = null;
  let lockId = 0;
  let nextStream = 1;
  const waiting = new Map();  // stream: { d (a download), position }

  function offer(files) {
    offered = Array.from(files).filter((f) => f.size > 0 || f.type !== '');
    if (!offered.length) return;
    readout.offered = offered.length;
    send(frame(CMD.CLIP_DATA, [['u32', OFFER_ID], ['bytes', encodeFileList(offered)]]));
    send(frame(CMD.CLIP_FORMATS, [['bytes', formatList([{ id: OFFER_ID, name: FILE_LIST_FORMAT }])]]));
  }

  // The server reads a dropped file: its size, or a range, read from the File as it comes.
  async function answer(f) {
    if (f.bytes.byteLength < 21) return;
    const stream = f.view.getUint32(0, true), index = f.view.getUint32(4, true);
    const what = f.view.getUint8(8);
    const position = f.view.getUint32(9, true) + f.view.getUint32(13, true) * 2 ** 32;
    const length = f.view.getUint32(17, true);
    const file = offered[index];
    let bytes = null;
    if (file && what === ASK_SIZE) {
      bytes = new Uint8Array(8);
      new DataView(bytes.buffer).setUint32(0, file.size >>> 0, true);
      new DataView(bytes.buffer).setUint32(4, Math.floor(file.size / 2 ** 32), true);
    } else if (file && what === ASK_RANGE) {
      try {
        bytes = new Uint8Array(await file.slice(position, position + length).arrayBuffer());
        readout.served += bytes.byteLength;
      } catch { bytes = null; }
    }
    send(frame(CMD.CLIP_FILE_DATA, [['u32', stream], ['u8', bytes ? OK : FAILED], ['bytes', bytes || new Uint8Array(0)]]));
  }

  function show(files) {
    listEl.replaceChildren();
    readout.listed = files.map((f) => f.name);
    readout.downloads = [];
    files.forEach((file, index) => {
      if (file.folder) return;
      const item = document.createElement('li');
      const button = document.createElement('button');
      button.type = 'button';
      button.textContent = `${file.name} (${(file.size / 1048576).toFixed(1)} MiB)`;
      const progress = document.createElement('progress');
      progress.max = file.size || 1;
      progress.value = 0;
      item.append(button, progress);
      listEl.append(item);
      button.addEventListener('click', () => download(index, file, progress, button));
    });
    listEl.hidden = !listEl.children.length;
  }

  function download(index, file, progress, button) {
    button.disabled = true;
    const d = { name: file.name, size: file.size, index, received: 0, next: 0, parts: new Map(),
      state: 'running', sha256: '', progress, button };
    readout.downloads.push(d);
    lockId++;
    d.lock = lockId;
    send(frame(CMD.CLIP_LOCK, [['u32', d.lock], ['u8', 1]]));
    askMore(d);
  }

  function askMore(d) {
    let inFlight = 0;
    for (const w of waiting.values()) if (w.d === d) inFlight++;
    while (inFlight < WINDOW && d.next < d.size) {
      const length = Math.min(RANGE, d.size - d.next);
      waiting.set(nextStream, { d, position: d.next });
      send(request(nextStream++, d.index, ASK_RANGE, d.next, length, d.lock));
      d.next += length;
      inFlight++;
    }
    if (d.received === d.size && d.state === 'running') finish(d);
  }

  async function finish(d) {
    send(frame(CMD.CLIP_LOCK, [['u32', d.lock], ['u8', 0]]));
    const parts = [...d.parts.keys()].sort((a, b) => a - b).map((k) => d.parts.get(k));
    const blob = new Blob(parts);
    d.parts.clear();
    if (crypto.subtle) {
      const digest = new Uint8Array(await crypto.subtle.digest('SHA-256', await blob.arrayBuffer()));
      d.sha256 = Array.from(digest, (b) => b.toString(16).padStart(2, '0')).join('');
    }
    d.state = 'done';
    d.button.disabled = false;
    const a = document.createElement('a');
    a.href = URL.createObjectURL(blob);
    a.download = d.name.split(/[\\/]/).pop() || 'file';
    a.click();
    setTimeout(() => URL.revokeObjectURL(a.href), 60000);
  }

  function received(f) {
    if (f.bytes.byteLength < 5) return;
    const stream = f.view.getUint32(0, true);
    const w = waiting.get(stream);
    if (!w) return;
    waiting.delete(stream);
    const { d } = w;
    const want = Math.min(RANGE, d.size - w.position);
    const bytes = f.bytes.subarray(5);
    if (f.view.getUint8(4) !== OK || bytes.byteLength !== want) {
      d.state = `failed at ${w.position}`;
      d.button.disabled = false;
      send(frame(CMD.CLIP_LOCK, [['u32', d.lock], ['u8', 0]]));
      return;
    }
    d.parts.set(w.position, bytes.slice());
    d.received += bytes.byteLength;
    d.progress.value = d.received;
    if (d.state === 'running') askMore(d);
  }

  // Every frame; true for those that are the files' alone.
  function onFrame(f) {
    switch (f.type) {
      case EVT.CLIP_FORMATS: {
        const list = parseNamedFormats(f.bytes).find((x) => x.name === FILE_LIST_FORMAT);
        serverListId = list ? list.id : null;
        if (list) send(frame(CMD.CLIP_REQUEST, [['u32', list.id]]));
        else show([]);
        return false;
      }
      case EVT.CLIP_DATA:
        if (serverListId === null || f.bytes.byteLength < 4 || f.view.getUint32(0, true) !== serverListId) return false;
        show(parseFileList(f.bytes.subarray(4)) || []);
        return true;
      case EVT.CLIP_FILE_REQUEST: answer(f); return true;
      case EVT.CLIP_FILE_DATA: received(f); return true;
      case EVT.CLIP_LOCK: return true;  // the dropped files stay until the next drop
      default: return false;
    }
  }

  return { readout, offer, onFrame };
}
