// The page in headless Chromium, as a person uses it: files chosen and
// dropped, options set, a run, every download and the zip read back and
// compared with what tonvell-cli writes and prints for the same files and
// options; a result heard; nothing asked of any host but the page's own.
//
//   node --test web/tests/page.test.mjs
// Environment: TONVELL_SITE (build-web/site), TONVELL_CLI (build/tonvell-cli),
// TONVELL_SONGS (build/songs, optional), TONVELL_SCREENSHOT, CHROMIUM.
import { test, before, after } from 'node:test';
import assert from 'node:assert/strict';
import { execFileSync } from 'node:child_process';
import { mkdtempSync, readFileSync, readdirSync, writeFileSync, existsSync, rmSync, copyFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import path from 'node:path';
import { fileURLToPath } from 'node:url';
import puppeteer from 'puppeteer-core';
import { unzipSync } from 'fflate';
import { serve, trap } from './static-server.mjs';

const top = path.resolve(path.dirname(fileURLToPath(import.meta.url)), '../..');
const site = path.resolve(process.env.TONVELL_SITE || path.join(top, 'build-web/site'));
const cli = path.resolve(process.env.TONVELL_CLI || path.join(top, 'build/tonvell-cli'));
const songsDir = path.resolve(process.env.TONVELL_SONGS || path.join(top, 'build/songs'));
const screenshot = path.resolve(process.env.TONVELL_SCREENSHOT || path.join(top, 'build-web/screenshot.png'));
const chromium = process.env.CHROMIUM || '/usr/bin/chromium';

const scratch = mkdtempSync(path.join(tmpdir(), 'tonvell-page-'));
const downloads = path.join(scratch, 'downloads');

// A format-0 file: one track, notes on channels 1 and 10.
function formatZeroFile() {
  const events = [
    0x00, 0xff, 0x03, 0x04, ...Buffer.from('zero'),
    0x00, 0xc0, 0x10,
    0x00, 0x90, 60, 100, 0x00, 0x99, 36, 100,
    0x60, 0x80, 60, 0, 0x00, 0x89, 36, 0,
    0x00, 0x90, 64, 90, 0x60, 0x80, 64, 0,
    0x00, 0xff, 0x2f, 0x00,
  ];
  const header = [0x4d, 0x54, 0x68, 0x64, 0, 0, 0, 6, 0, 0, 0, 1, 0, 96];
  const length = [(events.length >>> 24) & 255, (events.length >>> 16) & 255, (events.length >>> 8) & 255, events.length & 255];
  return Buffer.from([...header, 0x4d, 0x54, 0x72, 0x6b, ...length, ...events]);
}

// The test's MIDI files, all in one folder: the examples, a few real songs,
// a format-0 file, a file that is no MIDI file at all.
function gatherInputs() {
  const folder = path.join(scratch, 'in');
  execFileSync('mkdir', ['-p', folder]);
  const names = [];
  for (const name of readdirSync(path.join(top, 'examples')).filter((n) => n.endsWith('.mid')).sort()) {
    copyFileSync(path.join(top, 'examples', name), path.join(folder, name));
    names.push(name);
  }
  if (existsSync(songsDir)) {
    const songs = readdirSync(songsDir).filter((n) => n.endsWith('.mid')).sort();
    for (const name of songs.filter((_, i) => i % 5 === 0)) {
      copyFileSync(path.join(songsDir, name), path.join(folder, name));
      names.push(name);
    }
  }
  writeFileSync(path.join(folder, 'zero.mid'), formatZeroFile());
  writeFileSync(path.join(folder, '不是midi.mid'), 'no MIDI here\n');
  names.push('zero.mid', '不是midi.mid');
  return { folder, names };
}

// What tonvell-cli prints and writes for these files, run in `folder`
// (the outputs land there and are taken away again).
function nativeRun(folder, names, options) {
  const args = ['--quiet', '--overwrite', 'all', '-j', '1', '--date', options.date];
  if (options.title !== undefined) args.push('--title', options.title);
  if (options.copyright !== undefined) args.push('--copyright', options.copyright);
  for (const flag of ['no-smf-title', 'no-smf-copyright', 'copy-prohibit', 'format0', 'handset', 'no-master-volume']) {
    if (options[flag]) args.push(`--${flag}`);
  }
  if (options['master-volume'] !== undefined) args.push('--master-volume', String(options['master-volume']));
  if (options.loop === false) args.push('--no-loop');
  const started = process.hrtime.bigint();
  let log;
  try {
    log = execFileSync(cli, [...args, ...names], { cwd: folder, encoding: 'utf8', stdio: ['ignore', 'pipe', 'ignore'] });
  } catch (error) {
    log = error.stdout;  // a file that failed makes the status 1; the log is what counts
  }
  const ms = Number(process.hrtime.bigint() - started) / 1e6;
  const files = {};
  for (const name of readdirSync(folder).filter((n) => n.endsWith('.mld'))) {
    files[name] = readFileSync(path.join(folder, name));
    rmSync(path.join(folder, name));
  }
  return { log, files, ms };
}

let browser;
let server;
let proxy;
let page;
const pageErrors = [];
const pageRequests = [];  // every URL the page and its workers asked for

// Notes every request a page and its workers make (CDP's view, which
// holds back nothing: no interception, so no request waits on the test).
function recordRequests(target, into) {
  target.on('request', (request) => into.push(request.url()));
}

async function waitForFiles(folder, names, timeoutMs = 20000) {
  const deadline = Date.now() + timeoutMs;
  for (;;) {
    const present = existsSync(folder) ? readdirSync(folder) : [];
    if (names.every((n) => present.includes(n)) && !present.some((n) => n.endsWith('.crdownload'))) return;
    if (Date.now() > deadline) {
      throw new Error(`downloads missing: ${names.filter((n) => !present.includes(n))} (there: ${present})`);
    }
    await new Promise((resolve) => setTimeout(resolve, 100));
  }
}

async function runConversion(expectedRuns) {
  await page.click('#start');
  try {
    await page.waitForFunction((n) => document.body.dataset.runs === String(n), { timeout: 60000 }, expectedRuns);
  } catch (error) {
    const shown = await page.evaluate(() => `${document.querySelector('#status').textContent}\n${document.querySelector('#log').textContent}`);
    throw new Error(`the run did not finish: ${error.message}\n${shown}`);
  }
  return page.$eval('#log', (log) => log.textContent);
}

async function setCheck(id, on) {
  if ((await page.$eval(`#${id}`, (box) => box.checked)) !== on) await page.click(`#${id}`);
}

async function setText(id, text) {
  await page.$eval(`#${id}`, (field) => { field.value = ''; });
  await page.type(`#${id}`, text);
  await page.$eval(`#${id}`, (field) => field.dispatchEvent(new Event('change')));
}

// Every download link's file and the zip, read back from the download folder.
async function downloadAll(folder) {
  rmSync(folder, { recursive: true, force: true });
  const session = await page.target().createCDPSession();
  await session.send('Browser.setDownloadBehavior', { behavior: 'allow', downloadPath: folder });
  const names = await page.$$eval('a.download', (links) => links.map((a) => a.download));
  await page.click('#download-all');
  await waitForFiles(folder, ['tonvell-mld.zip']);
  // Chromium takes at most ten downloads a second from a page.
  for (const link of await page.$$('a.download')) {
    await new Promise((resolve) => setTimeout(resolve, 150));
    await link.click();
  }
  await waitForFiles(folder, names);
  const files = Object.fromEntries(names.map((n) => [n, readFileSync(path.join(folder, n))]));
  const zipped = unzipSync(readFileSync(path.join(folder, 'tonvell-mld.zip')));
  return { names, files, zipped };
}

function assertSameFiles(page, native, what) {
  assert.deepEqual(Object.keys(page).sort(), Object.keys(native).sort(), `${what}: the same files`);
  for (const name of Object.keys(native)) {
    assert.ok(Buffer.from(page[name]).equals(native[name]), `${what}: ${name} differs from tonvell-cli's`);
  }
}

before(async () => {
  assert.ok(existsSync(path.join(site, 'index.html')), `no page at ${site}: run make web`);
  assert.ok(existsSync(cli), `no ${cli}`);
  server = await serve(site);
  // Whatever the browser would send anywhere but 127.0.0.1 (Chromium's own
  // update and time checks among it) reaches this proxy and goes no further.
  proxy = await trap();
  browser = await puppeteer.launch({
    executablePath: chromium,
    headless: true,
    userDataDir: mkdtempSync(path.join(scratch, 'profile-')),
    args: [`--proxy-server=http://${proxy.address}`, '--no-sandbox', '--headless', '--disable-gpu', '--disable-background-networking',
      '--disable-component-update', '--disable-sync', '--no-first-run', '--disable-default-apps',
      '--autoplay-policy=no-user-gesture-required'],
  });
  page = await browser.newPage();
  await page.setViewport({ width: 1100, height: 900 });
  recordRequests(page, pageRequests);
  page.on('pageerror', (error) => pageErrors.push(error.message));
  await page.goto(`${server.origin}/`, { waitUntil: 'load' });
});

after(async () => {
  await browser?.close();
  await server?.close();
  await proxy?.close();
  rmSync(scratch, { recursive: true, force: true });
});

const inputs = gatherInputs();

test('files and a folder chosen, the folder dropped, default options: the log, every download and the zip are tonvell-cli\'s', async () => {
  // Two files by themselves, then the whole folder: its copies of them come
  // out under the same names, which this run has saved already.
  const loose = inputs.names.slice(0, 2);
  for (const name of loose) copyFileSync(path.join(inputs.folder, name), path.join(scratch, name));
  await (await page.$('#pick-files')).uploadFile(...loose.map((n) => path.join(scratch, n)));
  await (await page.$('#pick-folder')).uploadFile(inputs.folder);
  // The folder once more, dragged from the file manager onto the page.
  const session = await page.target().createCDPSession();
  const data = { items: [], files: [inputs.folder], dragOperationsMask: 1 };
  for (const type of ['dragEnter', 'dragOver', 'drop']) await session.send('Input.dispatchDragEvent', { type, x: 500, y: 700, data });
  const inFolder = inputs.names.map((n) => `in/${n}`).sort();
  const listed = [...loose, ...inFolder, ...inFolder];
  await page.waitForFunction((n) => document.querySelectorAll('#file-list li').length === n, {}, listed.length);
  assert.deepEqual(await page.$$eval('#file-list li', (items) => items.map((li) => li.textContent)), listed);
  const log = await runConversion(1);
  const date = await page.evaluate(() => window.tonvellPage.today());
  const native = nativeRun(scratch, listed, { date });
  assert.equal(log, native.log);
  assert.match(log, /★不是 MIDI 文件/);
  assert.match(log, /★无法处理以格式 1 以外的形式保存的 MIDI 文件/);
  assert.match(log, /输出文件名与本次已保存的文件重复，未保存/);
  const { files, zipped } = await downloadAll(path.join(downloads, 'one'));
  assertSameFiles(files, native.files, 'downloads');
  assertSameFiles(zipped, native.files, 'zip');
  // Nothing of the synthesizer is fetched before someone listens.
  assert.deepEqual(server.requested.filter((p) => /sf2|fluidsynth|synthesizer/.test(p)), []);
  const run = await page.evaluate(() => window.tonvellPage.lastRun());
  console.log(`# ${listed.length} files: browser converts in ${run.convertMs.toFixed(1)} ms ` +
              `(${run.totalMs.toFixed(1)} ms with reading and the log), tonvell-cli -j 1 in ${native.ms.toFixed(1)} ms`);
});

test('files dropped with every option set: Chinese title and copyright, handset, format 0', async () => {
  await page.click('#clear-files');
  await setCheck('title-switch', true);
  await setText('title-text', '铃声标题');
  await setCheck('copyright-switch', true);
  await setText('copyright-text', '版权所有 ©');
  await setCheck('smf-title', false);
  await setCheck('copy-prohibit', true);
  await setCheck('format0', true);
  await setCheck('handset', true);
  await setCheck('loop', false);
  const dropped = inputs.names;
  const payload = dropped.map((n) => ({ name: n, data: readFileSync(path.join(inputs.folder, n)).toString('base64') }));
  await page.evaluate((files) => {
    const transfer = new DataTransfer();
    for (const { name, data } of files) {
      transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], name));
    }
    for (const type of ['dragenter', 'dragover', 'drop']) {
      document.querySelector('main').dispatchEvent(new DragEvent(type, { dataTransfer: transfer, bubbles: true, cancelable: true }));
    }
  }, payload);
  await page.waitForFunction((n) => document.querySelectorAll('#file-list li').length === n, {}, dropped.length);
  await setText('master-volume', '128');
  // The window's rule: out of range is refused before anything runs.
  await page.click('#start');
  assert.equal(await page.$eval('#master-volume-error', (e) => e.hidden ? '' : e.textContent), '请输入 0 到 127 之间的整数。');
  assert.equal(await page.$eval('body', (body) => body.dataset.runs), '1');
  await setText('master-volume', '90');

  const log = await runConversion(2);
  const date = await page.evaluate(() => window.tonvellPage.today());
  const options = { date, title: '铃声标题', copyright: '版权所有 ©', 'no-smf-title': true, 'copy-prohibit': true,
                    format0: true, handset: true, 'master-volume': 90, loop: false };
  const native = nativeRun(inputs.folder, dropped, options);
  assert.equal(log, native.log);
  assert.match(log, /=> \.\/zero\.mld/);
  const { files, zipped } = await downloadAll(path.join(downloads, 'two'));
  assertSameFiles(files, native.files, 'downloads');
  assertSameFiles(zipped, native.files, 'zip');
});

test('a result is heard as long as the song, and not silent; a dropped ring tone is inspected', async () => {
  const name = 'melody-and-drums.mid';
  const ring = path.join(scratch, 'melody-and-drums.mld');
  execFileSync(cli, ['--quiet', '--date', '20030105', '-o', scratch, path.join(inputs.folder, name)]);
  const played = execFileSync(cli, ['render', '-o', scratch, ring], { encoding: 'utf8' });
  const seconds = Number(/([\d.]+) s played/.exec(played)[1]);
  const heard = await page.evaluate(async (data) => {
    const bytes = Uint8Array.from(atob(data), (c) => c.charCodeAt(0));
    const midi = await window.tonvellPage.decodeToMidi(bytes);
    const audio = await window.tonvellPage.player.renderOffline(midi);
    let sum = 0;
    let peak = 0;
    let last = 0;
    for (let c = 0; c < audio.numberOfChannels; ++c) {
      audio.getChannelData(c).forEach((v, i) => {
        sum += v * v;
        peak = Math.max(peak, Math.abs(v));
        if (Math.abs(v) > 1e-3) last = Math.max(last, i);
      });
    }
    return { audibleEnd: last / audio.sampleRate, rms: Math.sqrt(sum / (audio.length * audio.numberOfChannels)), peak };
  }, readFileSync(ring).toString('base64'));
  // The song sounds to its last note and then fades out, as FluidSynth does natively.
  assert.ok(heard.audibleEnd > seconds - 0.1 && heard.audibleEnd < seconds + 1.5,
            `heard until ${heard.audibleEnd} s, the song lasts ${seconds} s`);
  assert.ok(heard.rms > 1e-3 && heard.peak > 0.05, `silent: rms ${heard.rms}, peak ${heard.peak}`);

  // A result's own button plays it and stops it again.
  await page.click('button.play');
  await page.waitForFunction(() => document.querySelector('button.play').textContent === '停止');
  await page.click('button.play');
  await page.waitForFunction(() => document.querySelector('button.play').textContent === '试听');

  // The inspector's text is the command's, for a ring tone dropped on the page.
  const expected = execFileSync(cli, ['inspect', ring], { encoding: 'utf8' });
  await page.evaluate((data) => {
    const transfer = new DataTransfer();
    transfer.items.add(new File([Uint8Array.from(atob(data), (c) => c.charCodeAt(0))], 'melody-and-drums.mld'));
    document.body.dispatchEvent(new DragEvent('drop', { dataTransfer: transfer, bubbles: true, cancelable: true }));
  }, readFileSync(ring).toString('base64'));
  await page.waitForFunction(() => document.querySelector('.inspect-item pre')?.textContent.length > 10);
  const shown = await page.$eval('.inspect-item pre', (pre) => pre.textContent);
  assert.equal(shown, expected.slice(expected.indexOf('\n') + 1));
});

test('a huge input gives the memory line, and the next file converts', async () => {
  // The options are remembered across a reload.
  await page.reload({ waitUntil: 'load' });
  assert.equal(await page.$eval('#title-text', (f) => f.value), '铃声标题');
  assert.equal(await page.$eval('#master-volume', (f) => f.value), '90');
  assert.equal(await page.$eval('#loop', (f) => f.checked), false);
  assert.equal(await page.$eval('#handset', (f) => f.checked), true);

  // 80 MB: natively its work buffers are had, in the browser's 2 GB they are not.
  const huge = path.join(scratch, 'huge.mid');
  execFileSync('truncate', ['-s', String(80 << 20), huge]);
  await page.click('#clear-files');
  await (await page.$('#pick-files')).uploadFile(huge, path.join(inputs.folder, 'worked-example.mid'));
  const runs = Number(await page.$eval('body', (body) => body.dataset.runs || 0));
  const log = await runConversion(runs + 1);
  assert.match(log, /000: huge\.mid\n★无法保证转换的内存\n-+\n001: worked-example\.mid\n(?: {5}※.*\n)? {5}=> \.\/worked-example\.mld\n/);
  assert.deepEqual(await page.$$eval('a.download', (links) => links.map((a) => a.download)), ['worked-example.mld']);
  assert.equal(await page.evaluate(() => window.tonvellPage.workerStarts()), 1, 'the converter never died');
});

test('nothing was asked of any host but the page\'s own', async () => {
  await page.screenshot({ path: screenshot, fullPage: true });
  assert.deepEqual(pageErrors, []);
  const local = (url) => url.startsWith(`${server.origin}/`) || url.startsWith('data:') || url.startsWith('blob:');
  assert.deepEqual(pageRequests.filter((url) => !local(url)), []);
  for (const file of ['/worker.js', '/tonvell.mjs', '/TimGM6mb.sf2', '/vendor/libfluidsynth.js']) {
    assert.ok(pageRequests.includes(server.origin + file), `${file} was not seen`);
    assert.ok(server.requested.includes(file), `${file} did not come from beside the page`);
  }
  // The same record does see a request to another host when there is one.
  const blank = await browser.newPage();
  const blankRequests = [];
  recordRequests(blank, blankRequests);
  await blank.evaluate(() => fetch('http://tonvell.invalid/probe').catch(() => null));
  await blank.close();
  assert.deepEqual(blankRequests, ['http://tonvell.invalid/probe']);
  assert.ok(proxy.asked.includes('http://tonvell.invalid/probe'), 'it went to the trap, not out');
});
