// The converter's thread: the page hands it files and options, it converts
// them one by one with the WebAssembly engine and reports each file's log,
// its result and the progress, so that the page stays responsive however
// long the batch.
import { createTonvell } from './tonvell.mjs';
import { Batch } from './batch.js';

let enginePromise = null;
function engine() {
  if (!enginePromise) enginePromise = createTonvell();
  return enginePromise;
}

// A File's bytes, or null when the browser can no longer read it (the file
// was moved or deleted after it was chosen).
async function readBytes(file) {
  try {
    return new Uint8Array(await file.arrayBuffer());
  } catch {
    return null;
  }
}

async function runBatch({ files, options }) {
  const t = await engine();
  const run = new Batch(t, options);
  post({ type: 'log', text: run.begin() });
  for (let i = 0; i < files.length; ++i) {
    const { file, path } = files[i];
    post({ type: 'progress', index: i, count: files.length, path });
    const bytes = await readBytes(file);
    const started = performance.now();
    const outcome = run.file(i, path, bytes);
    const ms = performance.now() - started;
    const message = { type: 'file', index: i, path, log: outcome.log, name: outcome.name, ms };
    const transfer = [];
    if (outcome.bytes) {
      message.bytes = outcome.bytes;
      transfer.push(outcome.bytes.buffer);
    }
    post(message, transfer);
  }
  post({ type: 'done', text: run.end(), count: files.length });
}

async function inspectFile({ file, path }) {
  const t = await engine();
  const bytes = await readBytes(file);
  if (!bytes) return { ok: false, text: '找不到文件' };
  return t.inspect(bytes);
}

async function decodeBytes({ bytes }) {
  const t = await engine();
  return t.decode(bytes);
}

function post(message, transfer = []) {
  self.postMessage(message, transfer);
}

self.onmessage = async ({ data }) => {
  try {
    switch (data.type) {
      case 'convert':
        await runBatch(data);
        break;
      case 'inspect':
        post({ type: 'inspected', id: data.id, result: await inspectFile(data) });
        break;
      case 'decode': {
        const result = await decodeBytes(data);
        post({ type: 'decoded', id: data.id, result }, result.midi ? [result.midi.buffer] : []);
        break;
      }
      default:
        break;
    }
  } catch (error) {
    post({ type: 'failed', id: data.id, message: String(error && error.message || error) });
  }
};
