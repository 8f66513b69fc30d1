// The microphone's samples, each render quantum's channels copied to the page.
class KorvaneMic extends AudioWorkletProcessor {
  process(inputs) {
    const input = inputs[0];
    if (input && input.length) this.port.postMessage(input.map((c) => c.slice(0)));
    return true;
  }
}
registerProcessor('korvane-mic', KorvaneMic);
