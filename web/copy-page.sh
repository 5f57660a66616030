#!/usr/bin/env bash
# Puts the page beside the WebAssembly module: its own files, the zip and
# synthesizer libraries from web/node_modules (installed by npm ci), and the
# General MIDI SoundFont, so that the folder works from any static server
# without asking anything of another host.
#   web/copy-page.sh SITE_DIR
set -euo pipefail
site=${1:?usage: web/copy-page.sh SITE_DIR}
here=$(cd "$(dirname "$0")" && pwd)
modules=$here/node_modules
soundfont=${TONVELL_SOUNDFONT:-/usr/share/sounds/sf2/TimGM6mb.sf2}

for f in "$modules/fflate/esm/browser.js" "$modules/js-synthesizer/dist/js-synthesizer.min.js" \
         "$modules/js-synthesizer/externals/libfluidsynth-2.4.6.js" "$soundfont"; do
  [ -f "$f" ] || { echo "copy-page.sh: missing $f (npm ci in web/, or install timgm6mb-soundfont)" >&2; exit 1; }
done

mkdir -p "$site/vendor"
cp "$here"/site/*.html "$here"/site/*.js "$here"/site/*.css "$site/"
cp "$modules/fflate/esm/browser.js" "$site/vendor/fflate.mjs"
cp "$modules/js-synthesizer/dist/js-synthesizer.min.js" "$site/vendor/"
cp "$modules/js-synthesizer/externals/libfluidsynth-2.4.6.js" "$site/vendor/libfluidsynth.js"
cp "$modules/js-synthesizer/LICENSE" "$site/vendor/LICENSE.js-synthesizer.txt"
cp "$modules/js-synthesizer/externals/LICENSE.fluidsynth.txt" "$site/vendor/LICENSE.fluidsynth.txt"
cp "$modules/fflate/LICENSE" "$site/vendor/LICENSE.fflate.txt"
cp "$soundfont" "$site/TimGM6mb.sf2"
if [ -f /usr/share/doc/timgm6mb-soundfont/copyright ]; then
  cp /usr/share/doc/timgm6mb-soundfont/copyright "$site/vendor/LICENSE.TimGM6mb.txt"
fi
