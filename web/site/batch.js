// One run over a list of files, as tonvell-cli runs it with the default
// output folder "./": the log's header, each file's lines, the totals. A
// result that would land on a name this run has saved already is not saved
// again. The lines themselves come from the engine's own log formatter.
const FILE_NOT_FOUND = 105;

const text = (lines) => lines.map((line) => `${line}\n`).join('');

export class Batch {
  // `engine` is what createTonvell() gives; `options` as for its convert().
  constructor(engine, options) {
    this.engine = engine;
    this.options = options;
    this.written = new Set();
    this.checked = 0;
    this.saved = 0;
  }

  begin() {
    return text(this.engine.logHeader());
  }

  // Converts one file: its bytes, or null when they could not be read.
  // Returns {log, name, bytes}; name and bytes only for a file saved.
  file(index, path, bytes) {
    const { engine } = this;
    ++this.checked;
    if (bytes === null) return { log: text(engine.logFile({ index, name: path, code: FILE_NOT_FOUND })) };
    const result = engine.convert(bytes, { ...this.options, name: path, index });
    if (result.code !== engine.RESULT.success) return { log: text(result.log) };
    if (this.written.has(result.output)) {
      return { log: text(engine.logFile({ ...result, index, name: path, duplicate: true })) };
    }
    this.written.add(result.output);
    ++this.saved;
    return { log: text(result.log), name: result.output.slice(result.output.lastIndexOf('/') + 1), bytes: result.bytes };
  }

  end() {
    return text(this.engine.logSummary(this.checked, this.saved));
  }
}
