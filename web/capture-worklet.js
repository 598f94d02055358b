// Audio rendering thread: hands the microphone's first channel to the page in blocks of
// BLOCK frames. The blocks travel back and forth as transferred buffers, so the audio thread
// allocates nothing once the pool is made; when the page falls behind and no block is free,
// frames are dropped and counted.
const BLOCK = 2048;
const POOL = 16;

class HovTap extends AudioWorkletProcessor {
  constructor() {
    super();
    this.free = [];
    for (let i = 0; i < POOL; ++i) this.free.push(new Float32Array(BLOCK));
    this.block = this.free.pop();
    this.fill = 0;
    this.dropped = 0;
    this.port.onmessage = (e) => this.free.push(e.data);
  }

  process(inputs) {
    const input = inputs[0] && inputs[0][0];
    if (!input) return true;
    let i = 0;
    while (i < input.length) {
      if (!this.block) {
        this.block = this.free.pop();
        if (!this.block) {
          this.dropped += input.length - i;
          return true;
        }
      }
      const n = Math.min(input.length - i, BLOCK - this.fill);
      this.block.set(input.subarray(i, i + n), this.fill);
      this.fill += n;
      i += n;
      if (this.fill === BLOCK) {
        this.port.postMessage({ samples: this.block, dropped: this.dropped }, [this.block.buffer]);
        this.block = null;
        this.fill = 0;
      }
    }
    return true;
  }
}

registerProcessor('hov-tap', HovTap);
