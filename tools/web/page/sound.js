// Sound both ways: the server's sound played through Web Audio (PCM as it comes; Opus, AAC and
// MP3 through WebCodecs' AudioDecoder), and the person's microphone sent as 16-bit PCM at 48 kHz
// from an AudioWorklet, once they press the microphone button and the browser asks them.
import { AUDIO_TAG, CMD, EVT, frame } from './protocol.js';

// The codecs this browser decodes, as the gateway's form names them.
const CODECS = { opus: 'opus', aac: 'mp4a.40.2', mp3: 'mp3' };
const CODEC_OF_TAG = {
  [AUDIO_TAG.OPUS]: 'opus', [AUDIO_TAG.AAC]: 'mp4a.40.2', [AUDIO_TAG.MP3]: 'mp3',
};
// Play this far behind the newest block: room for the network's jitter.
const LEAD_S = 0.12;
// A backlog longer than this (the tab was in the background) is dropped, not played late.
const MOST_BEHIND_S = 1.0;
const MIC_BLOCK_MS = 20;

export async function decodableCodecs() {
  if (!('AudioDecoder' in window)) return [];
  const names = [];
  for (const [name, codec] of Object.entries(CODECS)) {
    try {
      const r = await AudioDecoder.isConfigSupported({ codec, sampleRate: 48000, numberOfChannels: 2 });
      if (r.supported) names.push(name);
    } catch { /* not this one */ }
  }
  return names;
}

export function createSound(send) {
  // Read by the browser tests and shown to nobody: what the sound is doing.
  const readout = {
    format: null, blocks: 0, decoded: 0, errors: 0, errorText: '', played: 0, dropped: 0,
    context: 'none', volume: 1, mic: 'off', micOpen: null, micBlocks: 0,
  };
  let ctx = null, gain = null, playhead = 0, format = null, decoder = null, sequence = 0;

  // Made from a click or key (the connect button), so the browser lets it play.
  function context() {
    if (!ctx) {
      ctx = new AudioContext({ latencyHint: 'interactive' });
      gain = ctx.createGain();
      gain.gain.value = readout.volume;
      gain.connect(ctx.destination);
      ctx.onstatechange = () => { readout.context = ctx.state; };
      readout.context = ctx.state;
    }
    if (ctx.state === 'suspended') ctx.resume().catch(() => {});
    return ctx;
  }

  function play(channels, rate) {
    const c = context();
    const frames = channels[0].length;
    if (!frames) return;
    const buffer = c.createBuffer(channels.length, frames, rate);
    channels.forEach((samples, i) => buffer.copyToChannel(samples, i));
    const now = c.currentTime;
    if (playhead < now) playhead = now + LEAD_S;
    if (playhead > now + MOST_BEHIND_S + LEAD_S) {
      readout.dropped += frames / rate;
      return;
    }
    const source = c.createBufferSource();
    source.buffer = buffer;
    source.connect(gain);
    source.start(playhead);
    playhead += frames / rate;
    readout.played += frames / rate;
  }

  function onFormat(view, bytes) {
    if (bytes.byteLength < 18) return;
    const cb = view.getUint16(16, true);
    format = {
      tag: view.getUint16(0, true), channels: view.getUint16(2, true),
      rate: view.getUint32(4, true), bits: view.getUint16(14, true),
      data: bytes.slice(18, 18 + cb),
    };
    readout.format = `0x${format.tag.toString(16).padStart(4, '0')} ${format.channels} ch ${format.rate} Hz`;
    if (decoder && decoder.state !== 'closed') decoder.close();
    decoder = null;
    const codec = CODEC_OF_TAG[format.tag];
    if (!codec) return;
    const f = format;
    decoder = new AudioDecoder({
      // Played at the format's rate: xrdp's Opus says 44.1 kHz and its samples are that.
      output: (data) => {
        const channels = [];
        for (let i = 0; i < data.numberOfChannels; i++) {
          const samples = new Float32Array(data.numberOfFrames);
          data.copyTo(samples, { planeIndex: i, format: 'f32-planar' });
          channels.push(samples);
        }
        data.close();
        readout.decoded++;
        play(channels, f.tag === AUDIO_TAG.OPUS ? f.rate : data.sampleRate);
      },
      error: (e) => { readout.errors++; readout.errorText = String(e); },
    });
    const config = { codec, sampleRate: format.rate, numberOfChannels: format.channels };
    if (format.data.byteLength) config.description = format.data;
    try { decoder.configure(config); } catch (e) { readout.errors++; readout.errorText = String(e); }
  }

  function onData(bytes) {
    if (!format || bytes.byteLength < 8) return;
    readout.blocks++;
    const block = bytes.subarray(8);
    if (format.tag === AUDIO_TAG.PCM && format.bits === 16) {
      const n = Math.floor(block.byteLength / 2 / format.channels);
      const view = new DataView(block.buffer, block.byteOffset, block.byteLength);
      const channels = [];
      for (let c = 0; c < format.channels; c++) {
        const samples = new Float32Array(n);
        for (let i = 0; i < n; i++) samples[i] = view.getInt16((i * format.channels + c) * 2, true) / 32768;
        channels.push(samples);
      }
      play(channels, format.rate);
    } else if (decoder && decoder.state === 'configured') {
      decoder.decode(new EncodedAudioChunk({ type: 'key', timestamp: sequence++ * 20000, data: block }));
    }
  }

  // ---- the microphone

  let mic = null;  // { stream, ctx, node, pending: Float32Array[] }
  let open = null;  // the server's EVT_MIC_OPEN: { channels, rate }

  function onMicSamples(input) {
    if (!open || !input.length) return;
    const frames = (open.rate * MIC_BLOCK_MS) / 1000;
    for (let c = 0; c < open.channels; c++) {
      // A mono microphone feeds both channels of a stereo open; a stereo one is mixed for mono.
      const samples = open.channels === input.length ? input[c]
        : input.length === 1 ? input[0]
          : input[0].map((v, i) => (v + input[1][i]) / 2);
      mic.pending[c] = concat(mic.pending[c], samples);
    }
    while (mic.pending[0].length >= frames) {
      const out = new Uint8Array(8 + frames * open.channels * 2);
      const view = new DataView(out.buffer);
      view.setUint16(0, AUDIO_TAG.PCM, true);
      view.setUint16(2, open.channels, true);
      view.setUint32(4, open.rate, true);
      for (let i = 0; i < frames; i++) {
        for (let c = 0; c < open.channels; c++) {
          const v = Math.max(-1, Math.min(1, mic.pending[c][i]));
          view.setInt16(8 + (i * open.channels + c) * 2, Math.round(v * 32767), true);
        }
      }
      for (let c = 0; c < open.channels; c++) mic.pending[c] = mic.pending[c].subarray(frames);
      send(frame(CMD.AUDIO_IN, [['bytes', out]]));
      readout.micBlocks++;
    }
  }

  async function micStart() {
    readout.mic = 'asking';
    try {
      const stream = await navigator.mediaDevices.getUserMedia({ audio: true });
      // The format the gateway asks korvane for: 48 kHz, whatever the device's rate.
      const c = new AudioContext({ sampleRate: 48000 });
      await c.audioWorklet.addModule('mic-worklet.js');
      const node = new AudioWorkletNode(c, 'korvane-mic');
      const silent = c.createGain();
      silent.gain.value = 0;
      c.createMediaStreamSource(stream).connect(node);
      node.connect(silent).connect(c.destination);
      mic = { stream, ctx: c, node, pending: [new Float32Array(0), new Float32Array(0)] };
      node.port.onmessage = (e) => onMicSamples(e.data);
      readout.mic = 'on';
    } catch (e) {
      readout.mic = `refused: ${e.message || e}`;
    }
  }

  function micStop() {
    if (mic) {
      mic.stream.getTracks().forEach((t) => t.stop());
      mic.ctx.close();
    }
    mic = null;
    readout.mic = 'off';
  }

  return {
    readout,
    // The connect button's click: the browser lets a context made now play.
    unlock: context,
    onFrame(f) {
      switch (f.type) {
        case EVT.AUDIO_FORMAT: onFormat(f.view, f.bytes); break;
        case EVT.AUDIO_DATA: onData(f.bytes); break;
        case EVT.AUDIO_VOLUME: {
          // Low word left, high word right: one gain, the louder of the two.
          const v = f.view.getUint32(0, true);
          readout.volume = Math.max(v & 0xffff, v >>> 16) / 0xffff;
          if (gain) gain.gain.value = readout.volume;
          break;
        }
        case EVT.MIC_OPEN: {
          if (f.bytes.byteLength < 22) break;
          open = { channels: f.view.getUint16(6, true), rate: f.view.getUint32(8, true) };
          readout.micOpen = `${open.channels} ch ${open.rate} Hz`;
          if (mic) mic.pending = [new Float32Array(0), new Float32Array(0)];
          break;
        }
        case EVT.MIC_CLOSED: open = null; readout.micOpen = null; break;
        default: return false;
      }
      return true;
    },
    toggleMic() { return mic ? micStop() : micStart(); },
    close() { micStop(); if (ctx) ctx.close(); },
  };
}

function concat(a, b) {
  const out = new Float32Array(a.length + b.length);
  out.set(a);
  out.set(b, a.length);
  return out;
}
