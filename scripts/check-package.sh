#!/usr/bin/env bash
# Checks the Debian package and the installed files as a user of a Debian
# desktop meets them. Run by `make check-package` (part of `make test`) after
# `make package`; $1 is the build folder.
#   - the .deb: its name, its control fields, the files it holds;
#   - its desktop entry, metainfo and man pages, validated as installed;
#   - its own tonvell-cli converts the bundled examples to the same bytes as
#     the build tree's;
#   - --version of both programs shows the project's version;
#   - the man pages and the bash completion know every option of --help;
#   - `make install` with DESTDIR and CMAKE_INSTALL_PREFIX installs the same
#     files under that prefix.
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
started=$(date +%s%N)

passed=0
failed=0
pass() { passed=$((passed + 1)); }
fail() { failed=$((failed + 1)); printf 'check-package: FAILED: %s\n' "$*" >&2; }
# check "what" command...: passes when the command succeeds; its status.
check() {
  local what=$1
  shift
  if "$@"; then pass; else fail "$what"; return 1; fi
}
# same "what" expected actual
same() {
  if [ "$2" = "$3" ]; then pass; else fail "$1: expected [$2], got [$3]"; fi
}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
app_id=io.github.tonvell.Tonvell
arch=$(dpkg --print-architecture)
deb=$build/tonvell_${version}_${arch}.deb

# --- The package --------------------------------------------------------
check "the package $deb exists" test -s "$deb"
contents=$(dpkg-deb --contents "$deb" | awk '{print $6}' | sed 's|^\./|/|')
for f in /usr/bin/tonvell /usr/bin/tonvell-cli \
  /usr/share/applications/$app_id.desktop \
  /usr/share/metainfo/$app_id.metainfo.xml \
  /usr/share/icons/hicolor/scalable/apps/$app_id.svg \
  /usr/share/icons/hicolor/48x48/apps/$app_id.png \
  /usr/share/icons/hicolor/128x128/apps/$app_id.png \
  /usr/share/man/man1/tonvell.1.gz /usr/share/man/man1/tonvell-cli.1.gz \
  /usr/share/bash-completion/completions/tonvell-cli; do
  check "the package holds $f" grep -qxF "$f" <<<"$contents"
done
field() { dpkg-deb --field "$deb" "$1"; }
same "Package" tonvell "$(field Package)"
same "Version" "$version" "$(field Version)"
same "Architecture" "$arch" "$(field Architecture)"
same "Section" sound "$(field Section)"
depends=$(field Depends)
depends_names=$(tr ',' '\n' <<<"$depends" | awk '{print $1}')
# dpkg-shlibdeps found the libraries the programs link.
for lib in libc6 libstdc++6 libqt6core6 libqt6widgets6 libqt6network6; do
  check "Depends names $lib: $depends" grep -qxF "$lib" <<<"$depends_names"
done
# FluidSynth, which the programs load only when they play, named by hand.
check "Depends names libfluidsynth3: $depends" grep -qxF libfluidsynth3 <<<"$depends_names"
description=$(field Description)
check "a synopsis and a long description" test "$(wc -l <<<"$description")" -ge 4

# --- The installed files, from the package --------------------------------
root=$scratch/deb
dpkg -x "$deb" "$root"
check "desktop-file-validate" desktop-file-validate "$root/usr/share/applications/$app_id.desktop"
desktop=$(cat "$root/usr/share/applications/$app_id.desktop")
check "Exec=tonvell %F" grep -qx 'Exec=tonvell %F' <<<"$desktop"
check "MIDI types" grep -qx 'MimeType=audio/midi;audio/x-midi;' <<<"$desktop"
check "Icon=$app_id" grep -qx "Icon=$app_id" <<<"$desktop"
check "appstreamcli validate" appstreamcli validate --no-net --explain \
  "$root/usr/share/metainfo/$app_id.metainfo.xml" >"$scratch/appstream.txt" 2>&1 ||
  cat "$scratch/appstream.txt" >&2
metainfo=$(cat "$root/usr/share/metainfo/$app_id.metainfo.xml")
check "a release of $version in the metainfo" grep -q "<release version=\"$version\"" <<<"$metainfo"
check "a screenshot in the metainfo" grep -q '<image[^>]*>https://.*/docs/main-window.png</image>' <<<"$metainfo"
for size in 48 128; do
  check "the $size px icon is $size x $size" \
    grep -q "PNG image data, $size x $size," <<<"$(file "$root/usr/share/icons/hicolor/${size}x$size/apps/$app_id.png")"
done
for page in tonvell tonvell-cli; do
  for locale in C C.UTF-8; do
    # The window's Chinese labels cannot be shown in the C locale's ASCII:
    # that is the terminal's limit, not a fault of the page.
    warnings=$(LC_ALL=$locale MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null |
      { [ "$locale" = C ] && grep -v "warning: can't find special character 'u[0-9A-F]*'" || cat; })
    same "man --warnings $page ($locale)" "" "$warnings"
  done
  check "$page(1) shows version $version" grep -q "Tonvell $version" \
    <<<"$(MANWIDTH=80 man -l "$root/usr/share/man/man1/$page.1.gz" 2>/dev/null)"
done

# --- The package's own programs -------------------------------------------
same "tonvell-cli --version" "tonvell-cli $version" "$("$root/usr/bin/tonvell-cli" --version)"
same "tonvell --version" "tonvell $version" "$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/tonvell" --version)"
same "build tree's tonvell --version" "tonvell $version" "$(env -u DISPLAY "$build/tonvell" --version)"
mkdir -p "$scratch/from-deb" "$scratch/from-build"
check "the package's tonvell-cli converts the examples" \
  "$root/usr/bin/tonvell-cli" -q --overwrite all --date 20030105 -o "$scratch/from-deb/" examples/*.mid \
  >"$scratch/from-deb.log"
"$build/tonvell-cli" -q --overwrite all --date 20030105 -o "$scratch/from-build/" examples/*.mid \
  >"$scratch/from-build.log"
for mid in examples/*.mid; do
  name=$(basename "$mid" .mid).mld
  check "$name: the same bytes from the package and the build tree" \
    cmp -s "$scratch/from-deb/$name" "$scratch/from-build/$name"
done
check "the same log" diff -q <(sed 's|from-deb|X|' "$scratch/from-deb.log") <(sed 's|from-build|X|' "$scratch/from-build.log")

# --- Every option of --help in the man page and the completion ------------
man_text=$(MANWIDTH=200 man -l "$root/usr/share/man/man1/tonvell-cli.1.gz" 2>/dev/null)
completion=$(cat "$root/usr/share/bash-completion/completions/tonvell-cli")
for option in $("$build/tonvell-cli" --help | grep -oE '(^|[ ,])--?[a-z][a-z0-9-]*' | tr -d ' ,' | sort -u); do
  check "tonvell-cli(1) names $option" grep -qe "$option" <<<"$man_text"
  check "the completion offers $option" grep -qwe "$option" <<<"$completion"
done
# The completion itself, in a plain bash.
complete_words() {
  # $@: the words typed so far, the last one being completed.
  (cd examples && bash -c 'source "$0"; COMP_WORDS=("${@}"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1));
    _tonvell_cli; printf "%s\n" "${COMPREPLY[@]}" | sort' \
    "$root/usr/share/bash-completion/completions/tonvell-cli" "$@")
}
same "completion of --ov" "--overwrite" "$(complete_words tonvell-cli --ov)"
same "completion after --overwrite" "$(printf 'all\nask\nskip')" "$(complete_words tonvell-cli --overwrite '')"
same "completion of the first word: the subcommands and the MIDI files" \
  "$( (printf '%s\n' check decode inspect render; cd examples && ls -- *.mid) | sort)" "$(complete_words tonvell-cli '')"
same "completion after check: its options" "$(printf -- '--format0\n--handset\n--help\n--json\n--svg')" \
  "$(complete_words tonvell-cli check --)"
same "completion finds the subcommand after options: MIDI files after check" \
  "$(cd examples && ls -- *.mid | sort)" "$(complete_words tonvell-cli -q -o = ring check '')"
same "completion finds the subcommand after options: no MIDI file after inspect" "" \
  "$(complete_words tonvell-cli -j 2 inspect '')"
same "completion after --soundfont: any file" "$(cd examples && ls | sort)" \
  "$(complete_words tonvell-cli render --soundfont '')"

# --- make install with DESTDIR and a prefix --------------------------------
check "make install DESTDIR=... CMAKE_INSTALL_PREFIX=/opt/tonvell" \
  make --no-print-directory install BUILD="$build" DESTDIR="$scratch/destdir" \
  CMAKE_INSTALL_PREFIX=/opt/tonvell >"$scratch/install.log" 2>&1 ||
  cat "$scratch/install.log" >&2
installed=$(cd "$scratch/destdir" 2>/dev/null && find . -type f | sed 's|^\./opt/tonvell/|/usr/|' | sort)
same "make install installs what the package holds" "$(grep -v '/$' <<<"$contents" | grep -vxF /usr | sort)" \
  "$installed"
check "nothing installed outside DESTDIR/opt/tonvell" \
  test "$(cd "$scratch/destdir" && find . -mindepth 1 -maxdepth 1)" = ./opt
same "the installed tonvell-cli runs" "tonvell-cli $version" "$("$scratch/destdir/opt/tonvell/bin/tonvell-cli" --version)"

ms=$((($(date +%s%N) - started) / 1000000))
printf 'check-package: %s passed, %s failed (%d.%03d s)\n' "$passed" "$failed" $((ms / 1000)) $((ms % 1000))
[ "$failed" -eq 0 ]
