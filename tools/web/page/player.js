// Recordings played back in the page: the file (its format in the README's "Recordings") is
// fetched whole, its blocks inflated by the browser, and korvane's frames handed to the page as
// a live session's, on the recording's clock at 1x, 2x or 4x. Seeking starts the picture over
// and plays everything up to the place at once.
const MAGIC = [0x4B, 0x56, 0x52, 0x45, 0x43, 0x0D, 0x0A, 0x1A];

async function inflate(bytes) {
  const stream = new Blob([bytes]).stream().pipeThrough(new DecompressionStream('deflate'));
  return new Uint8Array(await new Response(stream).arrayBuffer());
}

// { records: [{ t (ms), host, frame (type, length, payload) }], duration (ms), end }: end is
// 'whole', or what stopped the reading ('cut' for a file being written or cut by a crash, whose
// whole blocks all play).
export async function parseRecording(bytes) {
  if (bytes.length < 32 || MAGIC.some((b, i) => bytes[i] !== b)) throw new Error('not a recording');
  const dv = new DataView(bytes.buffer, bytes.byteOffset, bytes.byteLength);
  if (dv.getUint16(8, true) > 1) throw new Error('a recording of a newer version');
  const records = [];
  let at = dv.getUint16(10, true), end = 'whole';
  blocks: while (at < bytes.length) {
    if (at + 12 > bytes.length) { end = 'cut'; break; }
    if (String.fromCharCode(...bytes.subarray(at, at + 4)) !== 'KVRB') { end = 'corrupt'; break; }
    const stored = dv.getUint32(at + 4, true), plainSize = dv.getUint32(at + 8, true);
    if (at + 12 + stored > bytes.length) { end = 'cut'; break; }
    let plain;
    try {
      plain = await inflate(bytes.subarray(at + 12, at + 12 + stored));
    } catch {
      end = 'corrupt';
      break;
    }
    if (plain.length !== plainSize) { end = 'corrupt'; break; }
    const pv = new DataView(plain.buffer);
    for (let p = 0; p < plain.length;) {
      if (p + 14 > plain.length) { end = 'corrupt'; break blocks; }
      const length = pv.getUint32(p + 10, true);
      if (p + 14 + length > plain.length) { end = 'corrupt'; break blocks; }
      const t = (pv.getUint32(p, true) + pv.getUint32(p + 4, true) * 2 ** 32) / 1000;
      records.push({ t, host: plain[p + 8] === 1, frame: plain.subarray(p + 9, p + 14 + length) });
      p += 14 + length;
    }
    at += 12 + stored;
  }
  return { records, duration: records.length ? records[records.length - 1].t : 0, end };
}

// deliver(frameBytes) shows one of korvane's frames; reset() starts the picture over.
export function createPlayer(recording, deliver, reset, panel) {
  const { records } = recording;
  const readout = {
    time: 0, duration: recording.duration, speed: 1, playing: false, ended: false,
    records: records.length, end: recording.end,
  };
  const play = panel.querySelector('#play'), speed = panel.querySelector('#speed');
  const seekBar = panel.querySelector('#seek'), clock = panel.querySelector('#clock');
  seekBar.max = String(Math.ceil(recording.duration));
  let next = 0, last = null;
  const advanceTo = (ms) => {
    while (next < records.length && records[next].t <= ms) {
      const r = records[next++];
      if (!r.host) deliver(r.frame);
    }
    readout.time = ms;
    readout.ended = next >= records.length;
  };
  const seconds = (ms) => (ms / 1000).toFixed(1);
  const show = () => {
    play.textContent = readout.playing ? 'Pause' : 'Play';
    seekBar.value = String(Math.round(readout.time));
    clock.textContent = `${seconds(readout.time)} / ${seconds(readout.duration)} s`;
  };
  const player = {
    readout,
    seek(ms) {
      reset();
      next = 0;
      advanceTo(Math.max(0, Math.min(ms, readout.duration)));
      show();
    },
    setSpeed(x) {
      readout.speed = [1, 2, 4].includes(x) ? x : 1;
      speed.value = String(readout.speed);
    },
    toggle() {
      if (!readout.playing && readout.ended) player.seek(0);
      readout.playing = !readout.playing;
      show();
    },
  };
  const tick = (now) => {
    if (readout.playing && last !== null) {
      advanceTo(Math.min(readout.duration, readout.time + (now - last) * readout.speed));
      if (readout.ended) readout.playing = false;
      show();
    }
    last = now;
    requestAnimationFrame(tick);
  };
  play.addEventListener('click', () => player.toggle());
  speed.addEventListener('change', () => player.setSpeed(Number(speed.value)));
  seekBar.addEventListener('input', () => player.seek(Number(seekBar.value)));
  panel.hidden = false;
  show();
  requestAnimationFrame(tick);
  return player;
}
