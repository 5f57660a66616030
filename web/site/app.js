// The page: the window's options, the list of files, the run in a worker,
// the log, the results to download or hear, and the contents of dropped
// ring tones. Nothing is sent anywhere: files are read by the browser and
// converted in this tab.
import { zipSync } from './vendor/fflate.mjs';
import { Player } from './player.js';

const $ = (id) => document.getElementById(id);

// ---- Settings, remembered under the window's profile keys -------------------

const SETTINGS_KEY = 'tonvell.settings';
const DEFAULTS = {
  TITLESW: 0,
  TITLE: '',
  COPYRIGHTSW: 0,
  COPYRIGHT: '(c)2003',
  SMFSEQNAMESW: 1,
  SMFCOPYRIGHTSW: 1,
  COPYDATASW: 0,
  FORMAT0SW: 0,
  HANDSETSW: 0,
  MASTERVOLSW: 1,
  MASTERVOL: '100',
  LOOPSW: 1,
};
// Each setting and the control that shows it.
const CONTROLS = {
  TITLESW: 'title-switch',
  TITLE: 'title-text',
  COPYRIGHTSW: 'copyright-switch',
  COPYRIGHT: 'copyright-text',
  SMFSEQNAMESW: 'smf-title',
  SMFCOPYRIGHTSW: 'smf-copyright',
  COPYDATASW: 'copy-prohibit',
  FORMAT0SW: 'format0',
  HANDSETSW: 'handset',
  MASTERVOLSW: 'master-volume-switch',
  MASTERVOL: 'master-volume',
  LOOPSW: 'loop',
};

function loadSettings() {
  let stored = {};
  try {
    stored = JSON.parse(localStorage.getItem(SETTINGS_KEY) || '{}') || {};
  } catch {
    stored = {};
  }
  const settings = { ...DEFAULTS };
  for (const key of Object.keys(DEFAULTS)) {
    if (typeof stored[key] === typeof DEFAULTS[key]) settings[key] = stored[key];
  }
  return settings;
}

function pushSettings(settings) {
  for (const [key, id] of Object.entries(CONTROLS)) {
    const control = $(id);
    if (control.type === 'checkbox') control.checked = settings[key] === 1;
    else control.value = settings[key];
  }
  applyEditStates();
}

function pullSettings() {
  const settings = {};
  for (const [key, id] of Object.entries(CONTROLS)) {
    const control = $(id);
    settings[key] = control.type === 'checkbox' ? (control.checked ? 1 : 0) : control.value;
  }
  return settings;
}

function saveSettings() {
  try {
    localStorage.setItem(SETTINGS_KEY, JSON.stringify(pullSettings()));
  } catch {
    // Private windows may refuse storage; the page works without it.
  }
}

function applyEditStates() {
  $('title-text').disabled = !$('title-switch').checked;
  $('copyright-text').disabled = !$('copyright-switch').checked;
  const handset = $('handset').checked;
  for (const id of ['master-volume-switch', 'loop']) $(id).disabled = !handset;
  $('master-volume').disabled = !handset || !$('master-volume-switch').checked;
  $('rules').textContent = $('format0').checked ? '·以 1/48 分解\n·格式 0/1\n·1 音轨 1 声道'
                                                : '·以 1/48 分解\n·仅格式 1\n·1 音轨 1 声道';
}

// The master volume as the window takes it: a whole number, then 0 to 127.
// Returns the number, or null after saying what is wrong.
function masterVolume() {
  const field = $('master-volume');
  const error = $('master-volume-error');
  const typed = field.value.trim();
  let message = '';
  if (!/^[+-]?\d+$/.test(typed)) message = '请输入整数。';
  else if (Number(typed) < 0 || Number(typed) > 127) message = '请输入 0 到 127 之间的整数。';
  field.classList.toggle('invalid', message !== '');
  error.hidden = message === '';
  error.textContent = message;
  if (!message) return Number(typed);
  field.focus();
  field.select();
  return null;
}

// The local date as the desktop program writes it.
function today() {
  const d = new Date();
  return String(d.getFullYear()).padStart(4, '0') + String(d.getMonth() + 1).padStart(2, '0') +
         String(d.getDate()).padStart(2, '0');
}

// The options of one run, named as tonvell-cli's long options; null when the
// master volume is not a number the window would take.
function runOptions() {
  const s = pullSettings();
  const options = { date: today() };
  // A NUL ends a text, as on the command line.
  if (s.TITLESW) options.title = s.TITLE.split('\0')[0];
  if (s.COPYRIGHTSW) options.copyright = s.COPYRIGHT.split('\0')[0];
  if (!s.SMFSEQNAMESW) options['no-smf-title'] = true;
  if (!s.SMFCOPYRIGHTSW) options['no-smf-copyright'] = true;
  if (s.COPYDATASW) options['copy-prohibit'] = true;
  if (s.FORMAT0SW) options.format0 = true;
  if (s.HANDSETSW) {
    options.handset = true;
    if (s.MASTERVOLSW) {
      const volume = masterVolume();
      if (volume === null) return null;
      options['master-volume'] = volume;
    } else {
      options['no-master-volume'] = true;
    }
    options.loop = s.LOOPSW === 1;
  }
  return options;
}

// ---- The list of files ------------------------------------------------------

const inputs = [];  // {file, path}: the MIDI files of the next run, in list order

const isRingTone = (path) => /\.mld$/i.test(path);

function addFiles(entries) {
  const list = $('file-list');
  for (const entry of entries) {
    if (isRingTone(entry.path)) {
      inspectFile(entry);
      continue;
    }
    inputs.push(entry);
    const item = document.createElement('li');
    item.textContent = entry.path;
    item.title = entry.path;
    list.append(item);
  }
  showFileCount();
}

function showFileCount() {
  $('file-count').textContent = inputs.length ? `共 ${inputs.length} 个文件` : '尚未选择文件';
  $('start').disabled = busy || inputs.length === 0;
}

function clearFiles() {
  inputs.length = 0;
  $('file-list').replaceChildren();
  showFileCount();
}

// A chosen file's path as the list shows it: inside a chosen folder, the
// path from that folder on.
const chosenPath = (file) => file.webkitRelativePath || file.name;

function byPath(a, b) {
  return a.path < b.path ? -1 : a.path > b.path ? 1 : 0;
}

// The files taken from a folder: MIDI files and ring tones, by their names.
const takenInFolder = (path) => /\.(midi?|mld)$/i.test(path);

// A dropped file, or the files a dropped folder holds (what the converter
// takes, walked in name order).
async function walkEntry(entry) {
  if (entry.isFile) {
    const file = await new Promise((resolve, reject) => entry.file(resolve, reject)).catch(() => null);
    return file ? [{ file, path: entry.fullPath.replace(/^\//, '') }] : [];
  }
  if (!entry.isDirectory) return [];
  const reader = entry.createReader();
  const children = [];
  for (;;) {
    const some = await new Promise((resolve) => reader.readEntries(resolve, () => resolve([])));
    if (some.length === 0) break;
    children.push(...some);
  }
  children.sort((a, b) => (a.name < b.name ? -1 : a.name > b.name ? 1 : 0));
  const files = [];
  for (const child of children) files.push(...(await walkEntry(child)).filter((f) => takenInFolder(f.path)));
  return files;
}

async function filesOfDrop(dataTransfer) {
  const items = [...(dataTransfer.items || [])].filter((item) => item.kind === 'file');
  const entries = items.map((item) => (item.webkitGetAsEntry ? item.webkitGetAsEntry() : null));
  if (entries.length > 0 && entries.every(Boolean)) {
    const files = [];
    for (const entry of entries) files.push(...(await walkEntry(entry)));
    return files;
  }
  return [...dataTransfer.files].map((file) => ({ file, path: file.name }));
}

function setUpDropping() {
  let depth = 0;
  const overlay = $('drop-overlay');
  const hasFiles = (event) => [...(event.dataTransfer?.types || [])].includes('Files');
  document.addEventListener('dragenter', (event) => {
    if (!hasFiles(event)) return;
    event.preventDefault();
    if (++depth === 1) overlay.hidden = false;
  });
  document.addEventListener('dragleave', (event) => {
    if (!hasFiles(event)) return;
    if (--depth <= 0) {
      depth = 0;
      overlay.hidden = true;
    }
  });
  document.addEventListener('dragover', (event) => {
    if (!hasFiles(event)) return;
    event.preventDefault();
    event.dataTransfer.dropEffect = 'copy';
  });
  document.addEventListener('drop', async (event) => {
    event.preventDefault();
    depth = 0;
    overlay.hidden = true;
    if (!event.dataTransfer) return;
    addFiles(await filesOfDrop(event.dataTransfer));
  });
}

// ---- The worker -------------------------------------------------------------

let worker = null;
let workerStarts = 0;
let nextRequest = 1;
const pending = new Map();  // request id -> {resolve, reject}
let batch = null;           // the run in hand

function startWorker() {
  worker = new Worker(new URL('./worker.js', import.meta.url), { type: 'module' });
  ++workerStarts;
  worker.onmessage = ({ data }) => onWorkerMessage(data);
  worker.onerror = (event) => {
    event.preventDefault();
    onWorkerLost(event.message || 'worker error');
  };
}

// A worker that died takes its requests with it; a run in hand ends with
// what it has, and the next request starts a fresh worker.
function onWorkerLost(reason) {
  worker?.terminate();
  worker = null;
  for (const { reject } of pending.values()) reject(new Error(reason));
  pending.clear();
  if (batch) finishBatch(`\n${reason}\n`);
}

function request(message, transfer = []) {
  if (!worker) startWorker();
  const id = nextRequest++;
  return new Promise((resolve, reject) => {
    pending.set(id, { resolve, reject });
    worker.postMessage({ ...message, id }, transfer);
  });
}

function onWorkerMessage(data) {
  // The engine gave up in a way it cannot go on from: the next request
  // gets a fresh one.
  if (data.type === 'failed') {
    onWorkerLost(data.message);
    return;
  }
  if (data.id !== undefined && pending.has(data.id)) {
    const { resolve } = pending.get(data.id);
    if (data.type === 'inspected' || data.type === 'decoded') {
      pending.delete(data.id);
      resolve(data.result);
      return;
    }
  }
  if (!batch) return;
  switch (data.type) {
    case 'log':
      appendLog(data.text);
      break;
    case 'progress':
      showProgress(data.index, data.count, data.path);
      break;
    case 'file':
      appendLog(data.log);
      batch.convertMs += data.ms;
      if (data.bytes) addResult(data.name, data.bytes);
      showProgress(data.index + 1, batch.count, '');
      break;
    case 'done':
      finishBatch(data.text);
      break;
    default:
      break;
  }
}

// ---- A run ------------------------------------------------------------------

let busy = false;
const results = [];  // {name, bytes, url}

function setBusy(on) {
  busy = on;
  $('start').disabled = on || inputs.length === 0;
  for (const id of ['pick-files', 'pick-folder', 'clear-files']) $(id).disabled = on;
}

// The log grows by whole lines; what arrives between two frames is shown at
// once, so that a long run does not redraw it for every file.
let pendingLog = '';
function appendLog(text) {
  if (!text) return;
  if (!pendingLog) requestAnimationFrame(flushLog);
  pendingLog += text.replace(/\r\n?/g, '\n');
}

function flushLog() {
  const log = $('log');
  log.append(pendingLog);
  pendingLog = '';
  log.scrollTop = log.scrollHeight;
}

function showProgress(done, count, path) {
  const percent = count ? Math.floor((done * 100) / count) : 0;
  $('progress').value = percent;
  $('percent').textContent = `${percent}%`;
  $('status').textContent = path ? `正在转换：${path}` : `${done} / ${count}`;
}

function clearResults() {
  player.stop();
  for (const r of results) URL.revokeObjectURL(r.url);
  results.length = 0;
  $('results').replaceChildren();
  $('results-card').hidden = true;
}

function startRun() {
  if (busy || inputs.length === 0) return;
  const options = runOptions();
  if (!options) return;
  saveSettings();
  clearResults();
  $('log').textContent = '';
  pendingLog = '';
  const files = inputs.map(({ file, path }) => ({ file, path }));
  batch = { count: files.length, convertMs: 0, started: performance.now() };
  setBusy(true);
  showProgress(0, files.length, files[0].path);
  if (!worker) startWorker();
  worker.postMessage({ type: 'convert', files, options });
}

function finishBatch(text) {
  appendLog(text);
  const finished = batch;
  batch = null;
  setBusy(false);
  $('status').textContent = '转换结束';
  $('progress').value = 100;
  $('percent').textContent = '100%';
  lastRun = { files: finished.count, convertMs: finished.convertMs, totalMs: performance.now() - finished.started };
  requestAnimationFrame(() => {
    if (pendingLog) flushLog();
    document.body.dataset.runs = String(Number(document.body.dataset.runs || 0) + 1);
  });
}

let lastRun = null;

function sizeText(bytes) {
  return bytes < 1024 ? `${bytes} B` : `${(bytes / 1024).toFixed(1)} KB`;
}

function addResult(name, bytes) {
  const url = URL.createObjectURL(new Blob([bytes], { type: 'application/octet-stream' }));
  const result = { name, bytes, url };
  results.push(result);
  const row = document.createElement('tr');
  const nameCell = document.createElement('td');
  nameCell.className = 'name';
  nameCell.textContent = name;
  const size = document.createElement('td');
  size.className = 'size';
  size.textContent = sizeText(bytes.length);
  const actions = document.createElement('td');
  actions.className = 'actions';
  const play = document.createElement('button');
  play.type = 'button';
  play.className = 'play';
  play.textContent = '试听';
  play.addEventListener('click', () => togglePlay(result, play));
  const download = document.createElement('a');
  download.className = 'button download';
  download.href = url;
  download.download = name;
  download.textContent = '下载';
  actions.append(play, download);
  row.append(nameCell, size, actions);
  $('results').append(row);
  $('results-card').hidden = false;
}

function downloadAll() {
  if (results.length === 0) return;
  const entries = {};
  for (const r of results) entries[r.name] = [r.bytes, { level: 6 }];
  const zipped = zipSync(entries);
  const url = URL.createObjectURL(new Blob([zipped], { type: 'application/zip' }));
  const link = document.createElement('a');
  link.href = url;
  link.download = 'tonvell-mld.zip';
  document.body.append(link);
  link.click();
  link.remove();
  setTimeout(() => URL.revokeObjectURL(url), 60_000);
}

// ---- Listening --------------------------------------------------------------

const player = new Player({
  onState: (state, message) => {
    $('player-note').textContent = message || '';
    for (const button of document.querySelectorAll('button.play')) {
      if (button !== playing?.button || state !== 'playing') button.textContent = '试听';
    }
    if (playing && state === 'playing') playing.button.textContent = '停止';
    if (state !== 'playing' && state !== 'loading') playing = null;
  },
});
let playing = null;  // {result, button}

async function decodeToMidi(bytes) {
  const copy = bytes.slice();
  const decoded = await request({ type: 'decode', bytes: copy }, [copy.buffer]);
  if (!decoded.ok) throw new Error(decoded.error);
  return decoded.midi;
}

async function togglePlay(result, button) {
  if (playing && playing.result === result) {
    player.stop();
    return;
  }
  player.stop();
  playing = { result, button };
  try {
    await player.play(await decodeToMidi(result.bytes));
  } catch (error) {
    $('player-note').textContent = `♪无法试听：${error.message}`;
    button.textContent = '试听';
    playing = null;
  }
}

// ---- Inspecting ring tones ---------------------------------------------------

async function inspectFile(entry) {
  const card = $('inspect-card');
  card.hidden = false;
  const item = document.createElement('div');
  item.className = 'inspect-item';
  const heading = document.createElement('h3');
  heading.textContent = entry.path;
  const body = document.createElement('pre');
  body.textContent = '…';
  item.append(heading, body);
  $('inspect').append(item);
  try {
    const result = await request({ type: 'inspect', file: entry.file, path: entry.path });
    body.textContent = result.text;
    body.classList.toggle('error', !result.ok);
  } catch (error) {
    body.classList.add('error');
    body.textContent = error.message;
  }
}

// ---- Start ------------------------------------------------------------------

function setUp() {
  // Browsers run no module worker for a page opened as a file.
  if (location.protocol === 'file:') {
    $('status').textContent = '请通过网页服务器打开本页（例如 make serve-web），直接打开文件时无法转换。';
  }
  pushSettings(loadSettings());
  for (const id of Object.values(CONTROLS)) {
    $(id).addEventListener('change', () => {
      applyEditStates();
      saveSettings();
    });
  }
  $('master-volume').addEventListener('input', () => {
    $('master-volume').classList.remove('invalid');
    $('master-volume-error').hidden = true;
  });
  for (const id of ['pick-files', 'pick-folder']) {
    $(id).addEventListener('change', (event) => {
      const chosen = [...event.target.files].map((file) => ({ file, path: chosenPath(file) }));
      // A folder's files come in no set order: list them by path.
      if (id === 'pick-folder') chosen.sort(byPath);
      addFiles(id === 'pick-folder' ? chosen.filter((f) => takenInFolder(f.path)) : chosen);
      event.target.value = '';
    });
  }
  $('clear-files').addEventListener('click', clearFiles);
  $('start').addEventListener('click', startRun);
  $('download-all').addEventListener('click', downloadAll);
  setUpDropping();
  $('start').disabled = true;
}

setUp();

// For the page's own tests and for anyone scripting it from the console.
window.tonvellPage = {
  lastRun: () => lastRun,
  workerStarts: () => workerStarts,
  player,
  decodeToMidi,
  today,
};
