// The hov page: receives a share key from the microphone, plays one, and analyses a recording,
// all through the modem library compiled to WebAssembly (hov_modem.js). Plain script, no build
// step; everything runs on the main thread except the capture tap (capture-worklet.js).
'use strict';

(() => {
  const $ = (id) => document.getElementById(id);
  const params = new URLSearchParams(location.search);

  // The spectrograms show this band; the tones lie inside it.
  const VIEW_LOW_HZ = 18500;
  const VIEW_HIGH_HZ = 20500;
  // dBFS mapped onto the colour scale and the level bars.
  const DB_FLOOR = -120;
  const DB_CEIL = -20;
  // How fast a tone's level bar falls, in dB per drawn frame, and the span the bars show.
  const LEVEL_FALL_DB = 2;
  const LEVEL_RANGE_DB = 40;
  // Seconds of signal a download holds (as hov encode writes by default).
  const DOWNLOAD_SECONDS = 5;
  // Playback: each scheduled buffer holds CHUNK_SECONDS; LEAD_SECONDS stay queued ahead. Every
  // buffer starts at a whole multiple of CHUNK_SECONDS, a time exact in binary and on a sample
  // frame, so that the browser plays the samples as they are rather than between two frames.
  const CHUNK_SECONDS = 0.5;
  const LEAD_SECONDS = 1.5;

  let M = null;  // the WebAssembly module
  let format = null;
  let toneHz = [];

  // ---- the module's calls ----
  function text(ptr) { return M.UTF8ToString(ptr); }
  function json(ptr) { return JSON.parse(text(ptr)); }
  function withText(str, fn) {
    const n = M.lengthBytesUTF8(str) + 1;
    const p = M._malloc(n);
    M.stringToUTF8(str, p, n);
    try { return fn(p); } finally { M._free(p); }
  }

  // ---- tabs ----
  function showTab(name) {
    for (const b of document.querySelectorAll('.tab')) {
      b.setAttribute('aria-selected', String(b.dataset.tab === name));
      $(b.dataset.tab).hidden = b.dataset.tab !== name;
    }
  }
  for (const b of document.querySelectorAll('.tab')) b.onclick = () => showTab(b.dataset.tab);

  // ---- spectrogram drawing ----
  function colour(db) {
    const t = Math.min(1, Math.max(0, (db - DB_FLOOR) / (DB_CEIL - DB_FLOOR)));
    // dark blue, through teal and amber, to white
    const r = Math.round(255 * Math.min(1, Math.max(0, 2.2 * t - 0.9)));
    const g = Math.round(255 * Math.min(1, Math.max(0, 1.6 * t - 0.25)));
    const b = Math.round(255 * Math.min(1, 0.25 + 1.2 * t * (1 - t) + Math.max(0, 3 * t - 2)));
    return [r, g, b];
  }

  // A canvas whose x is time and y is 18.5..20.5 kHz (high at the top), with the tone lines.
  class Spectrogram {
    constructor(canvas) {
      this.canvas = canvas;
      this.ctx = canvas.getContext('2d');
      this.image = this.ctx.createImageData(canvas.width, canvas.height);
      this.clear();
    }
    clear() {
      const d = this.image.data;
      for (let i = 0; i < d.length; i += 4) { d[i] = 13; d[i + 1] = 17; d[i + 2] = 23; d[i + 3] = 255; }
    }
    y(hz) { return (VIEW_HIGH_HZ - hz) / (VIEW_HIGH_HZ - VIEW_LOW_HZ) * this.canvas.height; }
    // Paints column x from dbAt(hz), the level at a frequency.
    column(x, dbAt) {
      const { width, height } = this.canvas;
      const d = this.image.data;
      for (let row = 0; row < height; ++row) {
        const hz = VIEW_HIGH_HZ - (row + 0.5) / height * (VIEW_HIGH_HZ - VIEW_LOW_HZ);
        const [r, g, b] = colour(dbAt(hz));
        const i = (row * width + x) * 4;
        d[i] = r; d[i + 1] = g; d[i + 2] = b;
      }
    }
    // Moves the picture one column left and paints the newest column on the right.
    scroll(dbAt) {
      const { width, height } = this.canvas;
      const d = this.image.data;
      for (let row = 0; row < height; ++row) {
        const start = row * width * 4;
        d.copyWithin(start, start + 4, start + width * 4);
      }
      this.column(width - 1, dbAt);
    }
    show() {
      const { ctx } = this;
      const { width } = this.canvas;
      ctx.putImageData(this.image, 0, 0);
      // The tone lines: ticks at both edges, so they do not hide what is heard.
      ctx.strokeStyle = 'rgba(255,255,255,0.45)';
      ctx.lineWidth = 1;
      ctx.beginPath();
      for (const hz of toneHz) {
        const y = Math.round(this.y(hz)) + 0.5;
        ctx.moveTo(0, y); ctx.lineTo(10, y);
        ctx.moveTo(width - 10, y); ctx.lineTo(width, y);
      }
      ctx.stroke();
      ctx.font = '11px system-ui, sans-serif';
      const label = (t, x, y) => {
        ctx.fillStyle = 'rgba(13,17,23,0.7)';
        ctx.fillRect(x - 3, y - 10, ctx.measureText(t).width + 6, 14);
        ctx.fillStyle = 'rgba(255,255,255,0.8)';
        ctx.fillText(t, x, y);
      };
      for (const hz of [19000, 20000]) label(`${hz / 1000} kHz`, 14, this.y(hz) + 4);
      label('tone 0', width - 58, this.y(toneHz[0]) + 14);
      label(`tone ${toneHz.length - 1}`, width - 58, this.y(toneHz[toneHz.length - 1]) - 6);
    }
  }

  // A browser starts the sound of a page opened without a tap (?listen, ?send=KEY) only after
  // one: says so with blocked(), and with running() once the sound runs.
  function whenBlocked(ctx, blocked, running) {
    if (ctx.state === 'running') return;
    blocked();
    ctx.onstatechange = () => { if (ctx.state === 'running') running(); };
    document.addEventListener('pointerdown', () => ctx.resume(), { once: true });
  }

  // ---- receive ----
  const live = {
    ctx: null, stream: null, tap: null, analyser: null, spectrum: null,
    decoder: 0, buffer: 0, bufferFrames: 0, done: false, draw: 0, dropped: 0,
    fed: 0, span: Infinity, starts: 0,
  };
  const liveView = new Spectrogram($('live-spectrogram'));
  const bars = [];
  const levels = [];

  function setState(s) { $('state').textContent = s; }

  function freeDecoder() {
    if (live.decoder) M._hov_web_decoder_free(live.decoder);
    live.decoder = 0;
  }

  async function listen() {
    stopListening();
    $('listen').disabled = true;
    $('listen-stop').disabled = false;
    $('key').textContent = '';
    $('copy').disabled = true;
    setState('asking for the microphone');
    try {
      live.stream = await navigator.mediaDevices.getUserMedia({
        audio: {
          channelCount: 1,
          echoCancellation: false,
          noiseSuppression: false,
          autoGainControl: false,
        },
      });
      const rate = Number(params.get('rate')) || undefined;
      live.ctx = new AudioContext(rate ? { sampleRate: rate, latencyHint: 'playback' }
                                       : { latencyHint: 'playback' });
      await live.ctx.audioWorklet.addModule('capture-worklet.js');
      const source = live.ctx.createMediaStreamSource(live.stream);
      live.tap = new AudioWorkletNode(live.ctx, 'hov-tap', { numberOfOutputs: 0 });
      live.analyser = live.ctx.createAnalyser();
      live.analyser.fftSize = 2048;
      live.analyser.smoothingTimeConstant = 0;
      live.spectrum = new Float32Array(live.analyser.frequencyBinCount);
      source.connect(live.tap);
      source.connect(live.analyser);
      newDecoder();
      live.starts = 1;
      live.tap.port.onmessage = (e) => feed(e.data);
      $('rate').textContent = `${live.ctx.sampleRate} Hz`;
      setState('listening');
      whenBlocked(live.ctx, () => setState('tap the page to start listening'),
        () => setState('listening'));
      live.draw = requestAnimationFrame(drawLive);
    } catch (err) {
      stopListening();
      setState(`cannot listen: ${err.message || err}`);
    }
  }

  function newDecoder() {
    freeDecoder();
    const receiver = $('receiver').value;
    live.decoder = withText(receiver, (p) => M._hov_web_decoder_new(live.ctx.sampleRate, p));
    if (!live.decoder) throw new Error(`no ${receiver} receiver at ${live.ctx.sampleRate} Hz in this build`);
    live.done = false;
    live.fed = 0;
    // The design receiver hears a key only within its decoders' windows, the first seconds of
    // its input; after them a fresh one takes over, as hov receive does.
    live.span = receiver === 'design'
      ? Math.ceil(format.designSpanFrames * live.ctx.sampleRate / format.sampleRate) : Infinity;
  }

  function feed({ samples, dropped }) {
    live.dropped = dropped;
    if (live.decoder && !live.done && live.fed >= live.span) {
      newDecoder();
      live.starts += 1;
    }
    if (live.decoder && !live.done) {
      live.fed += samples.length;
      if (live.bufferFrames < samples.length) {
        if (live.buffer) M._free(live.buffer);
        live.buffer = M._malloc(samples.length * 4);
        live.bufferFrames = samples.length;
      }
      M.HEAPF32.set(samples, live.buffer >> 2);
      const code = M._hov_web_decoder_write(live.decoder, live.buffer, samples.length);
      showDecoderState(code);
    }
    live.tap.port.postMessage(samples, [samples.buffer]);
  }

  function showDecoderState(code) {
    const s = json(M._hov_web_decoder_state(live.decoder));
    if (code === 0) {
      live.done = true;
      $('key').textContent = s.key;
      $('copy').disabled = false;
      setState('received');
    } else if (code === -3) {
      live.done = true;
      setState('heard a packet that is not a share key');
    } else if (code < 0) {
      live.done = true;
      setState(`decoder error ${code}`);
    } else if (s.search) {
      setState(`listening: ${s.search.verdict} (${s.search.repetitions} packets summed)`);
    } else if (s.lastKey) {
      setState(`hearing ${s.lastKey} (${s.votes} of ${format.acceptVotes} votes)`);
    } else if (s.packets > 0) {
      setState(`listening: ${s.packets} of ${s.windows} windows held a packet, none a key`);
    } else {
      const notes = [];
      if (live.starts > 1) notes.push(`receiver ${live.starts}`);
      if (live.dropped) notes.push(`${live.dropped} frames dropped`);
      setState(`listening${notes.length ? ` (${notes.join(', ')})` : ''}`);
    }
  }

  function drawLive() {
    if (!live.analyser) return;
    live.analyser.getFloatFrequencyData(live.spectrum);
    const binHz = live.ctx.sampleRate / live.analyser.fftSize;
    const at = (hz) => live.spectrum[Math.round(hz / binHz)];
    liveView.scroll(at);
    liveView.show();
    // Each bar holds its peak and falls back slowly, so that symbols as short as a twelfth
    // of a second stay readable; the loudest tone fills its bar, the others are shown against
    // it over LEVEL_RANGE_DB.
    for (let i = 0; i < bars.length; ++i) levels[i] = Math.max(at(toneHz[i]), levels[i] - LEVEL_FALL_DB);
    const top = Math.max(...levels);
    for (let i = 0; i < bars.length; ++i) {
      const t = (levels[i] - Math.max(DB_FLOOR, top - LEVEL_RANGE_DB)) / LEVEL_RANGE_DB;
      bars[i].style.height = `${Math.round(100 * Math.min(1, Math.max(0, t)))}%`;
      bars[i].title = `tone ${i}, ${toneHz[i]} Hz: ${Math.round(levels[i])} dBFS`;
    }
    live.draw = requestAnimationFrame(drawLive);
  }

  function stopListening() {
    cancelAnimationFrame(live.draw);
    if (live.tap) live.tap.port.onmessage = null;
    if (live.stream) for (const t of live.stream.getTracks()) t.stop();
    if (live.ctx) live.ctx.close();
    freeDecoder();
    Object.assign(live, { ctx: null, stream: null, tap: null, analyser: null });
    $('listen').disabled = false;
    $('listen-stop').disabled = true;
  }

  $('listen').onclick = listen;
  $('listen-stop').onclick = () => { stopListening(); setState('stopped'); };
  $('copy').onclick = () => navigator.clipboard.writeText($('key').textContent);

  // ---- send ----
  // next: the number of the next buffer, which starts at next × CHUNK_SECONDS.
  const play = { ctx: null, encoder: 0, buffer: 0, next: 0, timer: 0, nodes: [] };

  function keyValue() {
    const input = $('send-key');
    input.value = input.value.toUpperCase().replace(/[^A-Z]/g, '').slice(0, 6);
    return input.checkValidity() ? input.value : null;
  }

  // A new encoder of key, or 0 when the library refuses the key.
  function newEncoder(key) { return withText(key, (p) => M._hov_web_encoder_new(p)); }

  function schedule() {
    const rate = format.sampleRate;
    const frames = Math.round(CHUNK_SECONDS * rate);
    while (play.next * CHUNK_SECONDS < play.ctx.currentTime + LEAD_SECONDS) {
      M._hov_modem_encoder_read_f32(play.encoder, play.buffer, frames);
      const buffer = play.ctx.createBuffer(1, frames, rate);
      buffer.copyToChannel(M.HEAPF32.subarray(play.buffer >> 2, (play.buffer >> 2) + frames), 0);
      const node = play.ctx.createBufferSource();
      node.buffer = buffer;
      node.connect(play.ctx.destination);
      node.start(play.next * CHUNK_SECONDS);
      node.onended = () => play.nodes.splice(play.nodes.indexOf(node), 1);
      play.nodes.push(node);
      play.next += 1;
    }
  }

  function startPlaying(key) {
    stopPlaying();
    play.encoder = newEncoder(key);
    if (!play.encoder) {
      $('send-state').textContent = `${key} is not a share key.`;
      return;
    }
    // The signal is made at the library's rate and played at that rate, sample for sample.
    play.ctx = new AudioContext({ sampleRate: format.sampleRate, latencyHint: 'playback' });
    play.buffer = M._malloc(Math.round(CHUNK_SECONDS * format.sampleRate) * 4);
    play.next = Math.floor(play.ctx.currentTime / CHUNK_SECONDS) + 1;
    schedule();
    play.timer = setInterval(schedule, 200);
    $('play-stop').disabled = false;
    const playing = () => { $('send-state').textContent = `Playing ${key} at ${play.ctx.sampleRate} Hz.`; };
    playing();
    const blocked = () => { $('send-state').textContent = 'Tap the page to start the sound.'; };
    whenBlocked(play.ctx, blocked, playing);
  }

  function stopPlaying() {
    clearInterval(play.timer);
    for (const node of play.nodes) node.stop();
    play.nodes = [];
    if (play.ctx) play.ctx.close();
    if (play.encoder) M._hov_modem_encoder_destroy(play.encoder);
    if (play.buffer) M._free(play.buffer);
    Object.assign(play, { ctx: null, encoder: 0, buffer: 0, timer: 0 });
    $('play-stop').disabled = true;
  }

  // The signal of key as a mono 16-bit WAV file's bytes: the samples hov encode writes.
  function renderWav(key, seconds) {
    const encoder = newEncoder(key);
    if (!encoder) return null;
    const rate = format.sampleRate;
    const frames = Math.round(seconds * rate);
    const p = M._malloc(frames * 2);
    M._hov_modem_encoder_read_s16(encoder, p, frames);
    const bytes = new Uint8Array(44 + frames * 2);
    const v = new DataView(bytes.buffer);
    const tag = (at, s) => { for (let i = 0; i < 4; ++i) v.setUint8(at + i, s.charCodeAt(i)); };
    tag(0, 'RIFF'); v.setUint32(4, 36 + frames * 2, true); tag(8, 'WAVE');
    tag(12, 'fmt '); v.setUint32(16, 16, true); v.setUint16(20, 1, true); v.setUint16(22, 1, true);
    v.setUint32(24, rate, true); v.setUint32(28, rate * 2, true);
    v.setUint16(32, 2, true); v.setUint16(34, 16, true);
    tag(36, 'data'); v.setUint32(40, frames * 2, true);
    bytes.set(M.HEAPU8.subarray(p, p + frames * 2), 44);
    M._free(p);
    M._hov_modem_encoder_destroy(encoder);
    return bytes;
  }

  $('send-form').onsubmit = (e) => {
    e.preventDefault();
    const key = keyValue();
    if (key) startPlaying(key);
  };
  $('send-key').oninput = () => {
    const key = keyValue();
    $('send-state').textContent = key ? `${key}: ready.` : 'Six letters A to Z.';
    // A new key while playing takes over through the library's cross-fade.
    if (key && play.encoder && withText(key, (p) => M._hov_modem_encoder_update(play.encoder, p)) === 0) {
      $('send-state').textContent = `Playing ${key} (after the queued ${LEAD_SECONDS} s).`;
    }
  };
  $('play-stop').onclick = () => {
    stopPlaying();
    $('send-state').textContent = 'Stopped.';
  };
  $('download').onclick = () => {
    const key = keyValue();
    if (!key) { $('send-state').textContent = 'Six letters A to Z.'; return; }
    const url = URL.createObjectURL(new Blob([renderWav(key, DOWNLOAD_SECONDS)], { type: 'audio/wav' }));
    const a = document.createElement('a');
    a.href = url;
    a.download = `${key}.wav`;
    a.click();
    setTimeout(() => URL.revokeObjectURL(url), 10000);
  };

  // ---- analyze ----
  const fileView = new Spectrogram($('file-spectrogram'));

  // The first channel of a WAV file, full scale at +-1.0, and its rate.
  function parseWav(buf) {
    const v = new DataView(buf);
    const tag = (at) => String.fromCharCode(...new Uint8Array(buf, at, 4));
    if (buf.byteLength < 12 || tag(0) !== 'RIFF' || tag(8) !== 'WAVE') throw new Error('not a WAV file');
    let fmt = null;
    for (let at = 12; at + 8 <= buf.byteLength;) {
      const id = tag(at);
      const size = v.getUint32(at + 4, true);
      const body = at + 8;
      if (id === 'fmt ') {
        let kind = v.getUint16(body, true);
        if (kind === 0xfffe && size >= 26) kind = v.getUint16(body + 24, true);
        fmt = {
          kind, channels: v.getUint16(body + 2, true), rate: v.getUint32(body + 4, true),
          bits: v.getUint16(body + 14, true),
        };
      } else if (id === 'data') {
        if (!fmt) throw new Error('no format before the data');
        const bytes = fmt.bits / 8;
        const stride = bytes * fmt.channels;
        const frames = Math.floor(Math.min(size, buf.byteLength - body) / stride);
        const out = new Float32Array(frames);
        const read = {
          '1/8': (p) => (v.getUint8(p) - 128) / 128,
          '1/16': (p) => v.getInt16(p, true) / 32768,
          '1/24': (p) => ((v.getInt8(p + 2) << 16) | v.getUint16(p, true)) / 8388608,
          '1/32': (p) => v.getInt32(p, true) / 2147483648,
          '3/32': (p) => v.getFloat32(p, true),
          '3/64': (p) => v.getFloat64(p, true),
        }[`${fmt.kind}/${fmt.bits}`];
        if (!read) throw new Error(`unsupported WAV encoding ${fmt.kind}, ${fmt.bits} bits`);
        for (let i = 0; i < frames; ++i) out[i] = read(body + i * stride);
        return { samples: out, rate: fmt.rate };
      }
      at = body + size + (size & 1);
    }
    throw new Error('no audio data');
  }

  function analyse(name, buf) {
    let wav;
    try {
      wav = parseWav(buf);
    } catch (err) {
      $('verdict').textContent = `${name}: ${err.message}`;
      return;
    }
    const p = M._malloc(Math.max(1, wav.samples.length) * 4);
    M.HEAPF32.set(wav.samples, p >> 2);
    const r = json(M._hov_web_analyze(p, wav.samples.length, wav.rate));
    M._free(p);
    $('verdict').textContent = r.verdict;
    const lines = [
      `${name}: ${r.sampleRate} Hz, ${(r.frames / r.sampleRate).toFixed(2)} s`,
      `band ${format.bandLowHz / 1000}-${format.bandHighHz / 1000} kHz ${r.bandDb} dB, ` +
        `band noise ${r.noiseDb} dB per bin, ` +
        `tones ${r.tonesAboveNoiseDb} dB above it`,
      '',
      ' #  tones of the best phase          key',
    ];
    for (const d of r.decoders) {
      const tones = d.complete ? d.tones.join(' ') : 'window not complete';
      lines.push(`${String(d.number).padStart(2)}  ${tones.padEnd(31)}` +
        `  ${d.key || (d.packet ? 'check failed' : d.complete ? 'no separator' : '')}` +
        `${d.votes ? `  vote ${d.votes}` : ''}${d.accepting ? ', accepted' : ''}`);
    }
    $('details').textContent = lines.join('\n');
    drawFileSpectrogram(r);
  }

  function drawFileSpectrogram(r) {
    const s = r.spectrogram;
    const bins = s.lastBin - s.firstBin + 1;
    if (s.columns <= 0 || bins <= 0) { $('file-spectrogram').hidden = true; return; }
    const db = M.HEAPF32.subarray(s.db >> 2, (s.db >> 2) + s.columns * bins);
    const binHz = r.sampleRate / s.frameLength;
    fileView.clear();
    const width = fileView.canvas.width;
    for (let x = 0; x < width; ++x) {
      const c = Math.min(s.columns - 1, Math.floor(x * s.columns / width));
      fileView.column(x, (hz) => {
        const b = Math.round(hz / binHz) - s.firstBin;
        return b >= 0 && b < bins ? db[c * bins + b] : DB_FLOOR;
      });
    }
    $('file-spectrogram').hidden = false;
    fileView.show();
  }

  function openFile(file) {
    $('verdict').textContent = `Reading ${file.name}…`;
    file.arrayBuffer().then((buf) => analyse(file.name, buf));
  }
  $('wav-file').onchange = (e) => { if (e.target.files[0]) openFile(e.target.files[0]); };
  const drop = $('drop');
  drop.ondragover = (e) => { e.preventDefault(); drop.classList.add('over'); };
  drop.ondragleave = () => drop.classList.remove('over');
  drop.ondrop = (e) => {
    e.preventDefault();
    drop.classList.remove('over');
    if (e.dataTransfer.files[0]) openFile(e.dataTransfer.files[0]);
  };

  // ---- start ----
  showTab(params.has('send') ? 'send' : 'receive');
  if (params.get('receiver')) $('receiver').value = params.get('receiver');
  setState('loading');
  HovModem().then((module) => {
    M = module;
    format = json(M._hov_web_format());
    toneHz = Array.from({ length: format.toneCount }, (_, i) => format.firstToneHz + i * format.toneStepHz);
    for (let i = 0; i < format.toneCount; ++i) {
      const bar = document.createElement('div');
      bar.title = `tone ${i}: ${toneHz[i]} Hz`;
      $('levels').append(bar);
      bars.push(bar);
      levels.push(DB_FLOOR);
    }
    $('last-tone').textContent = `tone ${format.toneCount - 1}`;
    liveView.show();
    $('about').textContent = `modem ${format.version} · ${format.toneCount} tones, ` +
      `${toneHz[0]}–${toneHz[toneHz.length - 1]} Hz · runs in this browser, nothing is uploaded`;
    setState('idle');
    if (params.has('listen')) listen();
    if (params.has('send')) {
      $('send-key').value = params.get('send');
      const key = keyValue();
      if (key) startPlaying(key);
      else $('send-state').textContent = `${params.get('send')} is not a share key.`;
    }
  }, (err) => setState(`cannot load the modem: ${err}`));
})();
