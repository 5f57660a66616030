// The WebAssembly converter against tonvell-cli: the bundled examples, the
// real songs and the edge-case corpus under several option sets, each run
// once through the command line and once through tonvell.mjs. The log must
// match line for line and every written file byte for byte. Then memory
// exhaustion: a huge input gives 106 and the module goes on converting.
//
//   node web/tests/node-test.mjs --cli build/tonvell-cli --site build-web/site \
//        --songs build/songs --corpus ../shared/corpus/test-midi-files
import { execFileSync } from "node:child_process";
import { mkdtempSync, readdirSync, readFileSync, rmSync, existsSync } from "node:fs";
import { tmpdir } from "node:os";
import { join, resolve } from "node:path";
import { pathToFileURL } from "node:url";
import { parseArgs } from "node:util";

const { values: args } = parseArgs({
  options: { cli: { type: "string" }, site: { type: "string" }, songs: { type: "string" }, corpus: { type: "string" } },
});
const root = resolve(new URL("../..", import.meta.url).pathname);
const cli = resolve(args.cli ?? join(root, "build/tonvell-cli"));
const site = resolve(args.site ?? join(root, "build-web/site"));
const { createTonvell } = await import(pathToFileURL(join(site, "tonvell.mjs")));

let failures = 0;
function check(ok, what) {
  if (!ok) {
    ++failures;
    console.error("FAIL " + what);
  }
  return ok;
}

function midiFiles(folder, minimum) {
  if (!check(folder && existsSync(folder), `folder of MIDI files ${folder} is missing`)) return [];
  const names = readdirSync(folder).filter((n) => /\.(mid|midi|smf|kar)$/i.test(n)).sort();
  check(names.length >= minimum, `${folder}: ${names.length} MIDI files, expected at least ${minimum}`);
  return names;
}

// The examples twice over: the second time each output is one this run has
// written already, which the log says and nothing overwrites.
const examples = midiFiles(join(root, "examples"), 2);
const sets = [
  { name: "examples", folder: join(root, "examples"), names: [...examples, ...examples] },
  { name: "songs", folder: resolve(args.songs ?? join(root, "build/songs")), names: [] },
  { name: "corpus", folder: resolve(args.corpus ?? join(root, "../shared/corpus/test-midi-files")), names: [] },
];
sets[1].names = midiFiles(sets[1].folder, 20);
sets[2].names = midiFiles(sets[2].folder, 70);

// Each: the command line's arguments and the same options for the module.
const optionSets = [
  { argv: [], options: {} },
  { argv: ["--handset"], options: { handset: true } },
  { argv: ["--format0"], options: { format0: true } },
  { argv: ["--title", "铃声标题€", "--copyright", "©二〇〇三 Tonvell"], options: { title: "铃声标题€", copyright: "©二〇〇三 Tonvell" } },
  {
    argv: ["--handset", "--master-volume", "90", "--no-loop", "--copy-prohibit", "--no-smf-title", "--format0"],
    options: { handset: true, masterVolume: 90, loop: false, "copy-prohibit": true, noSmfTitle: true, format0: true },
  },
];

const tonvell = await createTonvell();
const scratch = mkdtempSync(join(tmpdir(), "tonvell-web-"));
const timing = { native: 0, wasm: 0 };
try {
  for (const set of sets) {
    if (set.names.length === 0) continue;
    const files = set.names.map((name) => ({ name, bytes: readFileSync(join(set.folder, name)) }));
    optionSets.forEach(({ argv, options }, k) => {
      const what = `${set.name} ${argv.join(" ") || "(default)"}`;
      const out = join(scratch, `${set.name}-${k}`);
      const started = process.hrtime.bigint();
      let log;
      try {
        log = execFileSync(cli, ["-q", "-j", "1", "--overwrite", "all", "--date", "20030105", "-o", out, ...argv, ...set.names], {
          cwd: set.folder,
          encoding: "utf8",
          stdio: ["ignore", "pipe", "ignore"],
        });
      } catch (e) {
        log = e.stdout; // exit status 1: some file failed, as some must in the corpus
      }
      const between = process.hrtime.bigint();
      const run = tonvell.convertBatch(files, { ...options, date: "20030105", output: out });
      const ended = process.hrtime.bigint();
      if (set.name === "songs" && k === 0) {
        timing.native = Number(between - started) / 1e6;
        timing.wasm = Number(ended - between) / 1e6;
      }
      const expected = log.split("\n");
      expected.pop();
      const firstDifference = expected.findIndex((line, i) => line !== run.log[i]);
      check(
        firstDifference < 0 && expected.length === run.log.length,
        `${what}: log differs at line ${firstDifference}: ${JSON.stringify(expected[firstDifference])} vs ${JSON.stringify(run.log[firstDifference])}`,
      );
      let written = 0;
      for (const r of run.results) {
        if (r.code !== 108 || r.duplicate) continue;
        const native = readFileSync(r.output);
        check(Buffer.compare(native, Buffer.from(r.bytes)) === 0, `${what}: ${r.name}: MFi bytes differ`);
        ++written;
      }
      check(written === run.saved && written === readdirSync(out).length, `${what}: ${written} files compared`);
      console.log(`${what}: ${files.length} files, ${written} written, log ${run.log.length} lines: same`);
    });
  }

  // Every output of the default run reads back through inspect and decode.
  const song = readFileSync(join(sets[0].folder, sets[0].names[0]));
  const converted = tonvell.convert(song, { date: "20030105", name: sets[0].names[0] });
  check(converted.code === 108 && tonvell.inspect(converted.bytes).ok, "an example converts and passes inspect");
  const decoded = tonvell.decode(converted.bytes);
  check(decoded.ok && decoded.midi.length > 14 && decoded.seconds > 0, "the example decodes to a MIDI file");
  check(!tonvell.inspect(song).ok && !tonvell.decode(song).ok, "a MIDI file is no MFi file to inspect or decode");

  // Memory exhaustion: the work buffers of this input (16 times its size,
  // twice) do not fit into WebAssembly's 2 GiB. The run reports 106 for it
  // and converts the next file as if nothing had happened.
  const huge = new Uint8Array(72 * 1024 * 1024);
  huge.set([0x4d, 0x54, 0x68, 0x64, 0, 0, 0, 6, 0, 1, 0, 1, 0, 96]);
  const batch = tonvell.convertBatch([{ name: "huge.mid", bytes: huge }, { name: "next.mid", bytes: song }], { date: "20030105" });
  check(batch.results[0].code === 106, `a huge input gives 106 (got ${batch.results[0].code})`);
  check(batch.log.includes("★无法保证转换的内存"), "the 106 line is in the log");
  check(
    batch.results[1].code === 108 && Buffer.compare(Buffer.from(batch.results[1].bytes), Buffer.from(converted.bytes)) === 0,
    "the file after it converts as before",
  );
  const again = tonvell.convert(song, { date: "20030105" });
  check(again.code === 108 && Buffer.compare(Buffer.from(again.bytes), Buffer.from(converted.bytes)) === 0, "and so does the next call");

  const version = execFileSync(cli, ["--version"], { encoding: "utf8" }).trim();
  check(version === `tonvell-cli ${tonvell.version}`, `version ${tonvell.version} is tonvell-cli's (${version})`);

  // Options the command line refuses are refused.
  for (const bad of [{ "master-volume": 128 }, { date: "20030230" }, { loop: true, noLoop: true }, { tilte: "x" }]) {
    let threw = false;
    try {
      tonvell.convert(song, bad);
    } catch (e) {
      threw = e instanceof TypeError;
    }
    check(threw, `options ${JSON.stringify(bad)} are refused`);
  }

  // The README's example runs and prints what the README says it prints.
  const readme = readFileSync(join(root, "README.md"), "utf8");
  const example = /<!-- example: node -->\n```js\n([\s\S]*?)```[\s\S]*?it prints:\n\n```\n([\s\S]*?)```/.exec(readme);
  if (check(example, "README: the node example and what it prints")) {
    const code = example[1].replace("./build-web/site/tonvell.mjs", pathToFileURL(join(site, "tonvell.mjs")).href);
    const printed = execFileSync(process.execPath, ["--input-type=module", "-e", code], { cwd: root, encoding: "utf8" });
    check(printed === example[2], `README example prints:\n${printed}`);
  }
} finally {
  rmSync(scratch, { recursive: true, force: true });
}

console.log(`songs, default options: tonvell-cli -j 1 ${timing.native.toFixed(0)} ms (process included), WebAssembly ${timing.wasm.toFixed(0)} ms`);
if (failures) {
  console.error(`${failures} failures`);
  process.exit(1);
}
console.log("web module: all checks passed");
