// The page in real headless Chromium: it hears keys that hov encode wrote (fed to the browser
// as its microphone, at 48000 and at 44100 Hz), its download of a key's signal is hov encode's
// samples and decodes with hov decode, and its analysis of a file gives hov analyze's verdict.
//
// Usage: node page-test.mjs SITE_DIR HOV WORK_DIR [SCREENSHOT.png]
//   SITE_DIR: the built page (build/web); HOV: the hov tool; WORK_DIR: scratch files.
// Prints one line per case and exits non-zero when any fails. HOV_PAGE_CASES=REGEX runs only the
// cases whose names match.
import { execFileSync, spawn } from 'node:child_process';
import fs from 'node:fs';
import http from 'node:http';
import path from 'node:path';
import puppeteer from 'puppeteer-core';

const [siteArg, hov, work, screenshot] = process.argv.slice(2);
const site = path.resolve(siteArg || '.');
if (!work || !hov) {
  console.error('usage: node page-test.mjs SITE_DIR HOV WORK_DIR [SCREENSHOT.png]');
  process.exit(64);
}
fs.mkdirSync(work, { recursive: true });
const RECEIVE_LIMIT_MS = 30000;

// ---- the site, served on 127.0.0.1 (a secure context for the microphone) ----
const types = {
  '.html': 'text/html', '.css': 'text/css', '.js': 'text/javascript', '.wasm': 'application/wasm',
};
const server = http.createServer((req, res) => {
  const asked = decodeURIComponent(new URL(req.url, 'http://x').pathname);
  const name = path.normalize(asked).replace(/^\/+/, '') || 'index.html';
  const file = path.join(site, name);
  if (!file.startsWith(site + path.sep) || !fs.existsSync(file) || fs.statSync(file).isDirectory()) {
    res.writeHead(404).end();
    return;
  }
  res.writeHead(200, { 'Content-Type': types[path.extname(file)] || 'application/octet-stream' });
  fs.createReadStream(file).pipe(res);
});
await new Promise((ok) => server.listen(0, '127.0.0.1', ok));
const origin = `http://127.0.0.1:${server.address().port}`;

// ---- helpers ----
function run(cmd, args) { return execFileSync(cmd, args, { encoding: 'utf8' }); }

const sleep = (ms) => new Promise((ok) => setTimeout(ok, ms));

// The bytes of a WAV file's data chunk.
function wavData(file) {
  const b = fs.readFileSync(file);
  for (let at = 12; at + 8 <= b.length;) {
    const size = b.readUInt32LE(at + 4);
    if (b.toString('latin1', at, at + 4) === 'data') return b.subarray(at + 8, at + 8 + size);
    at += 8 + size + (size & 1);
  }
  throw new Error(`${file}: no data chunk`);
}

// A mono 16-bit 48000 Hz WAV file of samples.
function wavFile(samples) {
  const h = Buffer.alloc(44);
  h.write('RIFF', 0); h.writeUInt32LE(36 + samples.byteLength, 4); h.write('WAVEfmt ', 8);
  h.writeUInt32LE(16, 16); h.writeUInt16LE(1, 20); h.writeUInt16LE(1, 22);
  h.writeUInt32LE(48000, 24); h.writeUInt32LE(96000, 28); h.writeUInt16LE(2, 32);
  h.writeUInt16LE(16, 34); h.write('data', 36); h.writeUInt32LE(samples.byteLength, 40);
  return Buffer.concat([h, Buffer.from(samples.buffer, samples.byteOffset, samples.byteLength)]);
}

async function browse(capture, fn) {
  const args = [
    '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
    '--autoplay-policy=no-user-gesture-required',
  ];
  if (capture) args.push(`--use-file-for-fake-audio-capture=${capture}`);
  // Sound on: the play case records what the browser plays.
  const browser = await puppeteer.launch({
    executablePath: '/usr/bin/chromium', headless: true, args, ignoreDefaultArgs: ['--mute-audio'],
  });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 760, height: 760 });
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    const result = await fn(page);
    if (errors.length) throw new Error(`page errors: ${errors.join('; ')}`);
    return result;
  } finally {
    await browser.close();
  }
}

// ---- the cases ----
const receiveCases = [
  { key: 'QWERTY', rate: 48000, receiver: 'design' },
  { key: 'HOVKEY', rate: 44100, receiver: 'design' },
  { key: 'ROBUST', rate: 44100, receiver: 'robust' },
];

async function receive({ key, rate, receiver }) {
  const at48 = path.join(work, `${key}-48000.wav`);
  run(hov, ['encode', key, at48, '--seconds', '6']);
  let wav = at48;
  if (rate !== 48000) {
    wav = path.join(work, `${key}-${rate}.wav`);
    run('sox', ['-V1', at48, wav, 'gain', '-1', 'rate', String(rate)]);
  }
  return browse(wav, async (page) => {
    const t0 = Date.now();
    await page.goto(`${origin}/?listen&rate=${rate}&receiver=${receiver}`);
    await page.waitForFunction(() => document.getElementById('key').textContent !== '' ||
      /error|cannot|not a share key/.test(document.getElementById('state').textContent),
    { timeout: RECEIVE_LIMIT_MS });
    const got = await page.$eval('#key', (e) => e.textContent);
    const state = await page.$eval('#state', (e) => e.textContent);
    const shown = await page.$eval('#rate', (e) => e.textContent);
    if (got !== key) throw new Error(`heard '${got}' (state '${state}'), sent ${key}`);
    if (shown !== `${rate} Hz`) throw new Error(`listened at ${shown}, asked for ${rate} Hz`);
    if (screenshot && rate === 48000 && receiver === 'design') {
      await sleep(4000);  // more of the spectrogram
      await page.screenshot({ path: screenshot });
    }
    return `${got} at ${shown}, state '${state}', ${((Date.now() - t0) / 1000).toFixed(1)} s`;
  });
}

async function download(key) {
  const dir = path.join(work, 'downloads');
  fs.rmSync(dir, { recursive: true, force: true });
  fs.mkdirSync(dir);
  const theirs = path.join(work, `${key}-encode.wav`);
  run(hov, ['encode', key, theirs]);
  const file = await browse(null, async (page) => {
    const cdp = await page.createCDPSession();
    await cdp.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: dir });
    await page.goto(`${origin}/`);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'idle');
    await page.click('.tab[data-tab="send"]');
    await page.type('#send-key', key.toLowerCase());
    await page.click('#download');
    const want = path.join(dir, `${key}.wav`);
    for (let i = 0; i < 100 && !fs.existsSync(want); ++i) await new Promise((ok) => setTimeout(ok, 100));
    if (!fs.existsSync(want)) throw new Error('no download');
    return want;
  });
  const mine = wavData(file);
  const ref = wavData(theirs);
  if (!mine.equals(ref)) {
    let i = 0;
    while (i < Math.min(mine.length, ref.length) && mine[i] === ref[i]) ++i;
    throw new Error(`${mine.length} bytes differ from hov encode's ${ref.length} at byte ${i}`);
  }
  const heard = run(hov, ['decode', file]).trim();
  if (heard !== key) throw new Error(`hov decode heard '${heard}'`);
  return `${mine.length / 2} samples equal hov encode's; hov decode: ${heard}`;
}

// The verdict on each file, which the page reads and analyses itself, is hov analyze's.
async function analyse(files) {
  const theirs = files.map((f) => run(hov, ['analyze', f]).split('\n')[0]);
  const mine = await browse(null, async (page) => {
    await page.goto(`${origin}/`);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'idle');
    await page.click('.tab[data-tab="analyze"]');
    const verdicts = [];
    for (const f of files) {
      await page.$eval('#verdict', (e) => { e.textContent = ''; });
      await (await page.$('#wav-file')).uploadFile(f);
      await page.waitForFunction(() => !/^Reading|^$/.test(document.getElementById('verdict').textContent));
      verdicts.push(await page.$eval('#verdict', (e) => e.textContent));
    }
    return verdicts;
  });
  files.forEach((f, i) => {
    if (mine[i] !== theirs[i]) {
      throw new Error(`${path.basename(f)}: page '${mine[i]}', hov analyze '${theirs[i]}'`);
    }
  });
  return mine.map((v, i) => `${path.basename(files[i])}: ${v}`).join('; ');
}

// What the page plays for ?send=KEY, recorded from the sound server (the test runs under
// scripts/with-pulse): every stretch between the server's own gaps is hov encode's signal
// sample for sample, and hov decode hears the key in it.
async function play(key) {
  const theirs = path.join(work, `${key}-encode.wav`);
  run(hov, ['encode', key, theirs, '--seconds', '20']);
  const ref = new Int16Array(Uint8Array.from(wavData(theirs)).buffer);
  const file = path.join(work, `${key}-played.wav`);
  const recorder = spawn('parecord', ['--device=air.monitor', '--rate=48000', '--channels=1',
    '--format=s16le', '--file-format=wav', file], { stdio: 'inherit' });
  const recorded = new Promise((ok) => recorder.on('exit', ok));
  await sleep(500);
  const state = await browse(null, async (page) => {
    await page.goto(`${origin}/?send=${key}`);
    await page.waitForFunction(() => /^Playing/.test(document.getElementById('send-state').textContent));
    await sleep(3500);
    return page.$eval('#send-state', (e) => e.textContent);
  });
  recorder.kill('SIGTERM');
  await recorded;
  const rec = new Int16Array(Uint8Array.from(wavData(file)).buffer);
  // Stretches of sound: the signal itself is never silent for more than a few samples.
  const stretches = [];
  for (let k = 0, start = -1, zeros = 0; k <= rec.length; ++k) {
    if (k < rec.length && rec[k] !== 0) {
      if (start < 0) start = k;
      zeros = 0;
    } else if (start >= 0 && (++zeros >= 64 || k === rec.length)) {
      stretches.push([start, k - zeros + 1]);
      start = -1;
    }
  }
  let matched = 0;
  for (const [a, b] of stretches.filter(([a, b]) => b - a >= 4096)) {
    let at = -1;
    for (let o = 0; o + (b - a) <= ref.length && at < 0; ++o) {
      let i = 0;
      while (a + i < b && rec[a + i] === ref[o + i]) ++i;
      if (a + i === b) at = o;
    }
    if (at < 0) throw new Error(`recorded samples ${a}..${b} are not a stretch of hov encode's signal`);
    matched += b - a;
  }
  if (matched < 96000) throw new Error(`only ${matched} samples of the key recorded (state '${state}')`);
  // The receiver hears a key that starts within its first seconds: the sound, without the
  // silence recorded before the page played.
  const [a, b] = stretches.reduce((x, y) => (y[1] - y[0] > x[1] - x[0] ? y : x));
  const sound = path.join(work, `${key}-sound.wav`);
  fs.writeFileSync(sound, wavFile(rec.subarray(a, b)));
  const heard = run(hov, ['decode', sound]).trim();
  if (heard !== key) throw new Error(`hov decode heard '${heard}'`);
  return `${matched} samples in ${stretches.length} stretch(es) equal hov encode's; hov decode: ${heard}`;
}

// Three seconds of FILEKY at 48000 Hz, the same at 44100 Hz, and a 44100 Hz file of
// silence with a little noise.
function analyzeFiles() {
  const at48 = path.join(work, 'FILEKY-48000.wav');
  const at44 = path.join(work, 'FILEKY-44100.wav');
  const noise = path.join(work, 'noise-44100.wav');
  run(hov, ['encode', 'FILEKY', at48, '--seconds', '3']);
  run('sox', ['-V1', at48, at44, 'gain', '-1', 'rate', '44100']);
  run('sox', ['-V1', '-n', '-r', '44100', '-b', '16', '-c', '1', noise,
    'synth', '2', 'whitenoise', 'vol', '0.01']);
  return [at48, at44, noise];
}

const cases = [
  ...receiveCases.map((c) => [
    `receive ${c.key} from a ${c.rate} Hz microphone (${c.receiver} receiver)`, () => receive(c),
  ]),
  ['download PLAYED and compare', () => download('PLAYED')],
  ['play SOUNDS on a sound server', () => play('SOUNDS')],
  ['analyze files at 48000 and 44100 Hz', () => analyse(analyzeFiles())],
];
const only = new RegExp(process.env.HOV_PAGE_CASES || '');
const chosen = cases.filter(([name]) => only.test(name));
let failed = 0;
for (const [name, fn] of chosen) {
  try {
    console.log(`ok   ${name}: ${await fn()}`);
  } catch (err) {
    ++failed;
    console.log(`FAIL ${name}: ${err.message}`);
  }
}
server.close();
console.log(`${chosen.length - failed} of ${chosen.length} page cases passed`);
process.exit(failed ? 1 : 0);
