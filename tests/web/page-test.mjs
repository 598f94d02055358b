// The page in real headless Chromium: it hears keys that hov encode wrote (fed to the browser
// as its microphone, at 48000 and at 44100 Hz), its download of a key's signal is hov encode's
// samples and decodes with hov decode, and its analysis of a file gives hov analyze's verdict.
//
// Usage: node page-test.mjs SITE_DIR HOV WORK_DIR [SCREENSHOT.png]
//   SITE_DIR: the built page (build/web); HOV: the hov tool; WORK_DIR: scratch files.
// Prints one line per case and exits non-zero when any fails.
import { execFileSync } from 'node:child_process';
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
const types = { '.html': 'text/html', '.css': 'text/css', '.js': 'text/javascript', '.wasm': 'application/wasm' };
const server = http.createServer((req, res) => {
  const name = path.normalize(decodeURIComponent(new URL(req.url, 'http://x').pathname)).replace(/^\/+/, '') || 'index.html';
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

async function browse(capture, fn) {
  const args = [
    '--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--use-fake-ui-for-media-stream', '--use-fake-device-for-media-stream',
    '--autoplay-policy=no-user-gesture-required',
  ];
  if (capture) args.push(`--use-file-for-fake-audio-capture=${capture}`);
  const browser = await puppeteer.launch({ executablePath: '/usr/bin/chromium', headless: true, args });
  try {
    const page = await browser.newPage();
    await page.setViewport({ width: 760, height: 980 });
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
  { key: 'QWERTY', rate: 48000 },
  { key: 'HOVKEY', rate: 44100 },
];

async function receive({ key, rate }) {
  const at48 = path.join(work, `${key}-48000.wav`);
  run(hov, ['encode', key, at48, '--seconds', '6']);
  let wav = at48;
  if (rate !== 48000) {
    wav = path.join(work, `${key}-${rate}.wav`);
    run('sox', ['-V1', at48, wav, 'gain', '-1', 'rate', String(rate)]);
  }
  return browse(wav, async (page) => {
    const t0 = Date.now();
    await page.goto(`${origin}/?listen&rate=${rate}`);
    await page.waitForFunction(() => document.getElementById('key').textContent !== '' ||
      /error|cannot|not a share key/.test(document.getElementById('state').textContent),
    { timeout: RECEIVE_LIMIT_MS });
    const got = await page.$eval('#key', (e) => e.textContent);
    const state = await page.$eval('#state', (e) => e.textContent);
    const shown = await page.$eval('#rate', (e) => e.textContent);
    if (got !== key) throw new Error(`heard '${got}' (state '${state}'), sent ${key}`);
    if (shown !== `${rate} Hz`) throw new Error(`listened at ${shown}, asked for ${rate} Hz`);
    if (screenshot && rate === 48000) await page.screenshot({ path: screenshot });
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

async function analyse(key) {
  const wav = path.join(work, `${key}-analyze.wav`);
  run(hov, ['encode', key, wav, '--seconds', '3']);
  const theirs = run(hov, ['analyze', wav]).split('\n')[0];
  const mine = await browse(null, async (page) => {
    await page.goto(`${origin}/`);
    await page.waitForFunction(() => document.getElementById('state').textContent === 'idle');
    await page.click('.tab[data-tab="analyze"]');
    const input = await page.$('#wav-file');
    await input.uploadFile(wav);
    await page.waitForFunction(() => !/^Reading|^$/.test(document.getElementById('verdict').textContent));
    return page.$eval('#verdict', (e) => e.textContent);
  });
  if (mine !== theirs) throw new Error(`page: '${mine}', hov analyze: '${theirs}'`);
  return mine;
}

const cases = [
  ...receiveCases.map((c) => [`receive ${c.key} from a ${c.rate} Hz microphone`, () => receive(c)]),
  ['download PLAYED and compare', () => download('PLAYED')],
  ['analyze a file of FILEKY', () => analyse('FILEKY')],
];
let failed = 0;
for (const [name, fn] of cases) {
  try {
    console.log(`ok   ${name}: ${await fn()}`);
  } catch (err) {
    ++failed;
    console.log(`FAIL ${name}: ${err.message}`);
  }
}
server.close();
console.log(`${cases.length - failed} of ${cases.length} page cases passed`);
process.exit(failed ? 1 : 0);
