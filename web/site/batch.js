// One run over a list of files, as tonvell-cli runs it with the default
// output folder "./": the banner, for each file its index and path, the
// output name or why it failed, and the totals. Results that would land on
// a name this run has saved already are not saved again.
// The engine's result codes are the numbers of their log messages.
const SUCCESS = 108;
const FILE_NOT_FOUND = 105;

export class Batch {
  // `engine` is what createTonvell() gives; `options` as for its convert().
  constructor(engine, options) {
    this.engine = engine;
    this.options = options;
    this.saved = new Set();
    this.checked = 0;
    this.savedCount = 0;
  }

  begin() {
    return this.engine.log.banner();
  }

  // Converts one file (its bytes, or null when they could not be read).
  // Returns {log, name, bytes}; name and bytes only for a file saved.
  file(index, path, bytes) {
    ++this.checked;
    const log = this.engine.log;
    let text = log.fileStarted(index, path);
    if (bytes === null) return { log: text + log.failed(FILE_NOT_FOUND) };
    const result = this.engine.convert(bytes, this.options);
    if (result.code !== SUCCESS) return { log: text + log.failed(result.code) };
    const output = log.outputPath('./', path);
    text += result.log + log.outputChosen(output);
    if (this.saved.has(output)) return { log: text + log.duplicateOutput() };
    this.saved.add(output);
    ++this.savedCount;
    return { log: text, name: output.slice(2), bytes: result.bytes };
  }

  end() {
    return this.engine.log.runFinished(this.checked, this.savedCount);
  }
}
