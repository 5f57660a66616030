// Listening: FluidSynth compiled to WebAssembly with the General MIDI
// SoundFont that lies beside the page. Nothing of it is loaded before the
// first time someone listens.
const SCRIPTS = ['vendor/libfluidsynth.js', 'vendor/js-synthesizer.min.js'];
const SOUNDFONT = 'TimGM6mb.sf2';

function loadScript(src) {
  return new Promise((resolve, reject) => {
    const script = document.createElement('script');
    script.src = src;
    script.onload = resolve;
    script.onerror = () => reject(new Error(`${src} 载入失败`));
    document.head.append(script);
  });
}

let libraryPromise = null;
let soundFontPromise = null;

// The synthesizer library, loaded once.
function library() {
  if (!libraryPromise) {
    libraryPromise = (async () => {
      for (const src of SCRIPTS) await loadScript(new URL(src, import.meta.url).href);
      await globalThis.JSSynth.waitForReady();
      return globalThis.JSSynth;
    })();
    libraryPromise.catch(() => { libraryPromise = null; });
  }
  return libraryPromise;
}

// The SoundFont's bytes, fetched once.
function soundFont() {
  if (!soundFontPromise) {
    soundFontPromise = fetch(new URL(SOUNDFONT, import.meta.url)).then((response) => {
      if (!response.ok) throw new Error(`${SOUNDFONT}: ${response.status}`);
      return response.arrayBuffer();
    });
    soundFontPromise.catch(() => { soundFontPromise = null; });
  }
  return soundFontPromise;
}

// A synthesizer at `sampleRate` with the SoundFont loaded and `midi` queued.
async function synthesizerFor(midi, sampleRate) {
  const [JSSynth, font] = await Promise.all([library(), soundFont()]);
  const synth = new JSSynth.Synthesizer();
  synth.init(sampleRate);
  await synth.loadSFont(font);
  await synth.addSMFDataToPlayer(midi);
  return synth;
}

export class Player {
  constructor({ onState } = {}) {
    this.onState = onState || (() => {});
    this.context = null;
    this.session = 0;
    this.current = null;  // {synth, node}
  }

  // Plays a MIDI file (bytes) from the start; resolves when it has started.
  async play(midi) {
    this.halt();
    const session = ++this.session;
    this.onState('loading', '正在载入音源…');
    if (!this.context) this.context = new AudioContext();
    if (this.context.state === 'suspended') await this.context.resume();
    const synth = await synthesizerFor(midi, this.context.sampleRate);
    if (session !== this.session) {
      synth.close();
      return;
    }
    const node = synth.createAudioNode(this.context, 8192);
    node.connect(this.context.destination);
    this.current = { synth, node };
    await synth.playPlayer();
    this.onState('playing', '');
    synth.waitForPlayerStopped()
      .then(() => synth.waitForVoicesStopped())
      .then(() => {
        if (session === this.session) this.stop();
      });
  }

  stop() {
    this.halt();
    this.onState('stopped', '');
  }

  // Stops what plays without a word: play() goes on at once.
  halt() {
    ++this.session;
    if (this.current) {
      const { synth, node } = this.current;
      this.current = null;
      synth.stopPlayer();
      node.disconnect();
      synth.close();
    }
  }

  // Renders a MIDI file until the synthesizer's player has finished it
  // (which waits for the last notes to sound out), plus `tailSeconds`,
  // and plays that through an OfflineAudioContext; resolves with the audio.
  async renderOffline(midi, { sampleRate = 44100, tailSeconds = 1, limitSeconds = 600 } = {}) {
    const synth = await synthesizerFor(midi, sampleRate);
    await synth.playPlayer();
    const block = 4096;
    const chunks = [];
    let tail = -1;
    while (chunks.length * block < limitSeconds * sampleRate && tail !== 0) {
      const channels = [new Float32Array(block), new Float32Array(block)];
      synth.render(channels);
      chunks.push(channels);
      if (tail > 0) --tail;
      else if (tail < 0 && !synth.isPlayerPlaying()) tail = Math.ceil((tailSeconds * sampleRate) / block);
    }
    synth.close();
    const frames = chunks.length * block;
    const context = new OfflineAudioContext(2, frames, sampleRate);
    const buffer = context.createBuffer(2, frames, sampleRate);
    chunks.forEach((channels, i) => channels.forEach((data, c) => buffer.copyToChannel(data, c, i * block)));
    const source = context.createBufferSource();
    source.buffer = buffer;
    source.connect(context.destination);
    source.start();
    return context.startRendering();
  }
}
