// Tonvell in JavaScript: the converter's engine compiled to WebAssembly, for
// pages, Web Workers and node. Nothing here touches the network or a file
// system beyond loading tonvell-core.wasm from beside this module.
//
//   import { createTonvell } from "./tonvell.mjs";
//   const tonvell = await createTonvell();
//   const { code, bytes, log } = tonvell.convert(midiBytes, { name: "song.mid", handset: true });
//
// Options are named as tonvell-cli's long options ("no-smf-title",
// "master-volume", ...), or in camelCase (noSmfTitle, masterVolume, ...).
// The log lines are those tonvell-cli prints, without their line ends.
import TonvellCore from "./tonvell-core.mjs";

// Result codes (the numbers of the log's messages).
export const RESULT = Object.freeze({
  success: 108,
  noMemory: 106,
  notMidi: 109,
  smpteDivision: 111,
  notFormat1: 115,
  headerTooLong: 141,
});

// tonvell_convert's switches.
const FLAG = {
  "no-smf-title": 1,
  "no-smf-copyright": 2,
  "copy-prohibit": 4,
  format0: 8,
  handset: 16,
  "no-master-volume": 32,
  "no-loop": 64,
};
// Options that are not switches, and those convert() adds for the log.
const VALUED = ["title", "copyright", "date", "master-volume", "loop", "output", "name", "index"];

function kebab(key) {
  return key.replace(/[A-Z]/g, (c) => "-" + c.toLowerCase());
}

// The options with their command-line names; a TypeError for anything the
// command line would refuse.
function normalise(options) {
  const o = {};
  for (const [key, value] of Object.entries(options ?? {})) {
    const name = key === "format0" ? key : kebab(key);
    if (!(name in FLAG) && !VALUED.includes(name)) throw new TypeError(`tonvell: unknown option "${key}"`);
    if (name in o) throw new TypeError(`tonvell: option "${name}" given twice`);
    o[name] = value;
  }
  if (o.loop === false) {
    if (o["no-loop"] === false) throw new TypeError('tonvell: "loop: false" and "no-loop: false" disagree');
    o["no-loop"] = true;
  }
  if (o.loop === true && o["no-loop"]) throw new TypeError('tonvell: "loop" and "no-loop" exclude each other');
  const mv = o["master-volume"];
  if (mv !== undefined && mv !== null) {
    if (!Number.isInteger(mv) || mv < 0 || mv > 127) throw new TypeError("tonvell: master-volume must be 0..127");
    if (o["no-master-volume"]) throw new TypeError('tonvell: "master-volume" and "no-master-volume" exclude each other');
  }
  for (const key of Object.keys(FLAG)) {
    if (o[key] !== undefined && o[key] !== null && typeof o[key] !== "boolean")
      throw new TypeError(`tonvell: ${key} is a switch: true or false`);
  }
  if (o.loop !== undefined && o.loop !== null && typeof o.loop !== "boolean")
    throw new TypeError("tonvell: loop is a switch: true or false");
  if (o.index !== undefined && (!Number.isInteger(o.index) || o.index < 0))
    throw new TypeError("tonvell: index must be a whole number from 0");
  for (const key of ["title", "copyright", "output", "name"]) {
    if (o[key] !== undefined && o[key] !== null && typeof o[key] !== "string")
      throw new TypeError(`tonvell: ${key} must be a string`);
    if (typeof o[key] === "string" && o[key].includes("\0"))
      throw new TypeError(`tonvell: ${key} holds a NUL character, which no command line can pass`);
  }
  if (o.output === "") throw new TypeError("tonvell: output: the folder name is empty (./ is the current folder)");
  return o;
}

// YYYYMMDD as a number, from the option (a "YYYYMMDD" text or a Date) or the
// computer's clock (its local date, as tonvell-cli without --date).
function dateNumber(date) {
  if (date === undefined || date === null) date = new Date();
  if (date instanceof Date && Number.isNaN(date.getTime())) throw new TypeError("tonvell: the date is not a valid Date");
  if (date instanceof Date) return date.getFullYear() * 10000 + (date.getMonth() + 1) * 100 + date.getDate();
  const text = String(date);
  const m = /^(\d{4})(\d{2})(\d{2})$/.exec(text);
  if (m) {
    const [year, month, day] = [Number(m[1]), Number(m[2]), Number(m[3])];
    const leap = (year % 4 === 0 && year % 100 !== 0) || year % 400 === 0;
    const days = [31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31][month - 1];
    if (year >= 1 && days && day >= 1 && day <= days) return year * 10000 + month * 100 + day;
  }
  throw new TypeError(`tonvell: not a calendar date YYYYMMDD: ${text}`);
}

// Text to lines without their line ends ("a\nb\n" -> ["a", "b"]).
function lines(text) {
  if (text === "") return [];
  const parts = text.split("\n");
  if (parts[parts.length - 1] === "") parts.pop();
  return parts;
}

// The engine is built for no particular host: this module hands it its
// WebAssembly bytes, read from beside this file (by fetch on the web and in
// workers, from the file system in node), unless the caller passes them.
async function loadCore(moduleOptions) {
  const settings = { ...moduleOptions };
  if (!settings.wasmBinary) {
    const url = new URL("./tonvell-core.wasm", import.meta.url);
    if (url.protocol === "file:" && typeof process === "object" && process.versions?.node) {
      const { readFile } = await import("node:fs/promises");
      settings.wasmBinary = await readFile(url);
    } else {
      const response = await fetch(url);
      if (!response.ok) throw new Error(`tonvell: cannot load ${url}: ${response.status}`);
      settings.wasmBinary = await response.arrayBuffer();
    }
  }
  return TonvellCore(settings);
}

// Loads the module. `moduleOptions` go to the emscripten runtime
// (wasmBinary, locateFile).
export async function createTonvell(moduleOptions = {}) {
  const core = await loadCore(moduleOptions);
  const text = (pointer) => core.UTF8ToString(pointer);

  // Runs `body` with `values` (strings, or null) as C strings.
  function withStrings(values, body) {
    const pointers = [];
    try {
      for (const v of values) {
        if (v === null || v === undefined) {
          pointers.push(0);
          continue;
        }
        const size = core.lengthBytesUTF8(v) + 1;
        const p = core._malloc(size);
        if (!p) return null;
        core.stringToUTF8(v, p, size);
        pointers.push(p);
      }
      return body(...pointers);
    } finally {
      for (const p of pointers) if (p) core._free(p);
    }
  }

  // Copies `bytes` into the module for `body(pointer, size)`; null when the
  // module has no room for them.
  function withBytes(bytes, body) {
    let data;
    if (bytes instanceof Uint8Array) data = bytes;
    else if (bytes instanceof ArrayBuffer) data = new Uint8Array(bytes);
    else if (ArrayBuffer.isView(bytes)) data = new Uint8Array(bytes.buffer, bytes.byteOffset, bytes.byteLength);
    else throw new TypeError("tonvell: the file's bytes must be a Uint8Array, an ArrayBuffer or a typed array");
    if (data.length > 0x7fffffff) return null;
    const p = core._malloc(Math.max(1, data.length));
    if (!p) return null;
    try {
      core.HEAPU8.set(data, p);
      return body(p, data.length);
    } finally {
      core._free(p);
    }
  }

  function resultBytes() {
    const size = core._tonvell_result_size();
    const copy = core.HEAPU8.slice(core._tonvell_result_data(), core._tonvell_result_data() + size);
    return copy;
  }

  const log = {
    header: () => lines(text(core._tonvell_log_banner())),
    fileStarted: (index, name) => lines(withStrings([name], (p) => text(core._tonvell_log_file_started(index, p)))),
    headerTextSubstituted: () => lines(text(core._tonvell_log_header_substituted())),
    outputChosen: (path) => lines(withStrings([path], (p) => text(core._tonvell_log_output_chosen(p)))),
    fileFinished: (code, duplicateOutput = false) => lines(text(core._tonvell_log_file_finished(code, duplicateOutput ? 1 : 0))),
    summary: (checked, saved) => lines(text(core._tonvell_log_run_finished(checked, saved))),
  };

  function outputPath(folder, name) {
    return withStrings([folder, name], (f, n) => text(core._tonvell_output_path(f, n)));
  }

  // One file, as tonvell-cli converts it. Returns {code, bytes (the MFi file,
  // or null), log (its lines), output (the path tonvell-cli would write),
  // headerTextSubstituted}. `duplicate` marks an output this run has written
  // already (convertBatch knows).
  function convertOne(input, options, duplicateOf) {
    const o = normalise(options);
    const name = o.name ?? "input.mid";
    const index = o.index ?? 0;
    const output = outputPath(o.output ?? "./", name);
    let flags = 0;
    for (const [key, bit] of Object.entries(FLAG)) if (o[key]) flags |= bit;
    const mv = o["master-volume"];
    const date = dateNumber(o.date);
    let code = withBytes(input, (p, size) =>
      withStrings([o.title, o.copyright], (title, copyright) =>
        core._tonvell_convert(p, size, title, copyright, flags, mv ?? -1, date)),
    );
    if (code === null) code = RESULT.noMemory;
    const converted = code === RESULT.success;
    const substituted = converted && (core._tonvell_result_flags() & 1) !== 0;
    const bytes = converted ? resultBytes() : null;
    core._tonvell_result_clear();
    const duplicate = converted && duplicateOf ? duplicateOf(output) : false;
    const fileLog = [...log.fileStarted(index, name)];
    if (substituted) fileLog.push(...log.headerTextSubstituted());
    if (converted) fileLog.push(...log.outputChosen(output));
    fileLog.push(...log.fileFinished(code, duplicate));
    return { code, bytes, log: fileLog, output: converted ? output : null, duplicate, headerTextSubstituted: substituted };
  }

  return {
    RESULT,
    // The converter's version ("1.0.0"), as tonvell-cli --version gives it.
    version: text(core._tonvell_version()),
    // Converts one MIDI file (Uint8Array or ArrayBuffer). Besides the
    // command line's options: name (the file's path as tonvell-cli would be
    // given it, for the log; default "input.mid"), index (its number in the
    // run, default 0) and output (the folder, default "./").
    convert: (bytes, options = {}) => convertOne(bytes, options, null),

    // A whole run over [{name, bytes}], with the log tonvell-cli prints for
    // `tonvell-cli [OPTIONS] NAME...` line for line: header, each file's
    // lines, totals. A second file with the same output path is not saved
    // (its result has duplicate: true and bytes as converted).
    convertBatch(files, options = {}) {
      normalise(options);
      const written = new Set();
      const results = [];
      const out = log.header();
      let saved = 0;
      files.forEach((file, index) => {
        const r = convertOne(file.bytes, { ...options, name: file.name, index }, (path) => written.has(path));
        if (r.code === RESULT.success && !r.duplicate) {
          written.add(r.output);
          ++saved;
        }
        out.push(...r.log);
        results.push({ name: file.name, ...r });
      });
      out.push(...log.summary(files.length, saved));
      return { log: out, results, checked: files.length, saved, failed: files.length - saved };
    },

    // An MFi file as a MIDI file, read as handsets play it (tonvell-cli
    // decode): {ok, midi, seconds, title, copyright, ...} or {ok: false, error}.
    decode(bytes) {
      const status = withBytes(bytes, (p, size) => core._tonvell_decode(p, size));
      if (status === null || status < 0) {
        core._tonvell_result_clear();
        return { ok: false, error: "out of memory" };
      }
      const info = JSON.parse(text(core._tonvell_result_text()));
      if (status === 1) info.midi = resultBytes();
      core._tonvell_result_clear();
      return info;
    },

    // An MFi file checked and listed as `tonvell-cli inspect` prints it:
    // {ok, text} (the listing, or what is wrong where); with {json: true}
    // the object of inspect --json instead, under `json`.
    inspect(bytes, { name = "", json = false } = {}) {
      const status = withStrings([name], (n) =>
        withBytes(bytes, (p, size) => core._tonvell_inspect(p, size, n, json ? 1 : 0)),
      );
      if (status === null || status < 0) {
        core._tonvell_result_clear();
        return { ok: false, text: "out of memory" };
      }
      const body = text(core._tonvell_result_text());
      core._tonvell_result_clear();
      return json ? { ok: status === 1, json: JSON.parse(body) } : { ok: status === 1, text: body };
    },

    // The log's pieces, for a front end that runs the batch itself (a Web
    // Worker per file, say): each returns lines without line ends.
    logHeader: log.header,
    logFile: ({ index = 0, name, code, output = null, duplicate = false, headerTextSubstituted = false }) => [
      ...log.fileStarted(index, name),
      ...(headerTextSubstituted ? log.headerTextSubstituted() : []),
      ...(code === RESULT.success ? log.outputChosen(output ?? outputPath("./", name)) : []),
      ...log.fileFinished(code, duplicate),
    ],
    logSummary: log.summary,
    outputPath: (name, folder = "./") => outputPath(folder, name),
  };
}
