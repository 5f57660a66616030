#!/usr/bin/env bash
# The Windows program under Wine, against the Linux build:
#   scripts/wine-test.sh WIN_BUILD LINUX_BUILD [SONGS] [CORPUS]
# 1. the engine's tests, cross-built, run by ctest under Wine;
# 2. the same command lines run by both programs on the examples, the real
#    songs and the corpus; the log, standard error, the exit status and every
#    file written must be the same bytes (Chinese names, -j 2, CR LF lists,
#    overwrite questions answered on a terminal, inspect, decode, check);
#    paths written with backslashes and drive letters must give the same files;
# 3. a run stopped by Ctrl-Break in the middle of a save leaves no temporary file.
set -euo pipefail

win=$(realpath "$1")
native=$(realpath "$2")
songs=${3:-$native/songs}
corpus=${4:-$(realpath "$(dirname "$0")/..")/../shared/corpus/test-midi-files}
here=$(realpath "$(dirname "$0")")
exe=$win/tonvell-cli.exe
cli=$native/tonvell-cli

export WINEDEBUG=-all WINEPREFIX=$win/wineprefix WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
start=$(date +%s)
rm -rf "$WINEPREFIX"
wineboot -i >/dev/null 2>&1
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT

echo "== the engine's tests under Wine"
(cd "$win" && ctest --output-on-failure -j 2)

work=$(mktemp -d)
trap 'wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
mkdir -p "$work/in/examples" "$work/in/songs" "$work/in/corpus" "$work/in/中文 名字"
cp "$here"/../examples/*.mid "$work/in/examples/"
[ -d "$songs" ] && cp "$songs"/*.mid "$work/in/songs/" 2>/dev/null || echo "wine-test: no real songs in $songs" >&2
[ -d "$corpus" ] && cp "$corpus"/*.mid "$work/in/corpus/" 2>/dev/null || echo "wine-test: no corpus in $corpus" >&2
cp "$here"/../examples/worked-example.mid "$work/in/中文 名字/铃声 一.mid"
cp "$here"/../examples/melody-and-drums.mid "$work/in/中文 名字/Ünïcödé ♪.mid"
(cd "$work/in" && find . -name '*.mid' | LC_ALL=C sort | sed 's|^\./|in/|' > ../all.txt)
sed 's/$/\r/' "$work/all.txt" > "$work/all-crlf.txt"
printf 'in/missing.mid\nin/examples\n\nin/examples/worked-example.mid\n' >> "$work/all-crlf.txt"
inputs=$(wc -l < "$work/all.txt")

cases=0
failures=0
# run NAME STDIN ARGS...: both programs in copies of the same folder; what
# they leave (log, err, status, files) must be the same bytes.
run() {
  local name=$1 input=$2
  shift 2
  local side
  for side in linux windows; do
    local dir=$work/$side/$name
    mkdir -p "$dir"
    cp -r "$work/in" "$work/all.txt" "$work/all-crlf.txt" "$dir/"
    [ -d "$work/existing" ] && cp -r "$work/existing/." "$dir/"
    local program=("$cli")
    [ $side = windows ] && program=(wine "$exe")
    (cd "$dir" && "${program[@]}" "$@" < "$input" > log 2> err; echo $? > status) || true
    rm -rf "$dir/in" "$dir/all.txt" "$dir/all-crlf.txt"
  done
  compare "$name"
}

compare() {
  cases=$((cases + 1))
  if diff -r "$work/linux/$1" "$work/windows/$1" > "$work/$1.diff"; then
    echo "same: $1 ($(find "$work/linux/$1" -type f | wc -l) files)"
  else
    failures=$((failures + 1))
    echo "DIFFERENT: $1"
    head -20 "$work/$1.diff"
  fi
}

export SOURCE_DATE_EPOCH=1041724800
echo "== the same command lines, Linux and Windows ($inputs inputs)"
run all /dev/null -o out/ --list all-crlf.txt --trace trace.gbk
run jobs /dev/null -j 2 -o out/ --list all.txt --handset --format0 --trace trace.txt --trace-utf8
run chinese /dev/null -o "输出 文件夹/" --title "标题 ♪" --copyright "版权 ©" "in/中文 名字/铃声 一.mid" "in/中文 名字/Ünïcödé ♪.mid"
run stdin-list "$work/all.txt" -j 2 -o out/ --list - --no-smf-title --copy-prohibit
run epochs /dev/null --date 99991231 -o a/ in/examples/worked-example.mid
for epoch in 0 253402300799 253402300800 951782400 4102444800 abc; do
  SOURCE_DATE_EPOCH=$epoch run "epoch-$epoch" /dev/null -o out/ in/examples/worked-example.mid
done
mkdir -p "$work/existing/out"
"$cli" -q -o "$work/existing/out/" "$work/in/examples/"*.mid > /dev/null
run overwrite-skip /dev/null -o out/ in/examples/worked-example.mid in/examples/melody-and-drums.mid
run overwrite-all /dev/null --overwrite all -o out/ --list all.txt
rm -rf "$work/existing"
mkdir -p "$work/existing/ring"
(cd "$work" && "$cli" -q -o existing/ring/ --list all.txt > /dev/null 2>&1) || true
( cd "$work/existing" && find ring -name '*.mld' | LC_ALL=C sort > mld.txt )
run inspect /dev/null inspect ring/worked-example.mld ring/铃声\ 一.mld
run inspect-json /dev/null inspect --json ring/melody-and-drums.mld
run decode /dev/null decode -o back/ ring/worked-example.mld "ring/铃声 一.mld"
run check /dev/null check --json in/examples/worked-example.mid in/examples/melody-and-drums.mid
rm -rf "$work/existing"

echo "== overwrite questions answered on the terminal"
for side in linux windows; do
  dir=$work/$side/terminal
  mkdir -p "$dir/in"
  cp "$work/in/examples/"*.mid "$dir/in/"
  "$cli" -q -o "$dir/out/" "$dir/in/"*.mid > /dev/null
  program="$cli"
  [ $side = windows ] && program="wine $exe"
  (cd "$dir" && "$here/answer-on-terminal.py" yqa \
     "$program -o out/ in/melody-and-drums.mid in/worked-example.mid > log; echo \$? > status" > /dev/null)
  rm -rf "$dir/in"
done
compare terminal

echo "== backslashes and drive letters (Wine maps Z: to /)"
mkdir -p "$work/linux/drive" "$work/windows/drive"
(cd "$work/linux/drive" && "$cli" -o "$work/linux/drive/out/sub/" "$work/in/examples/worked-example.mid" \
   "$work/in/中文 名字/铃声 一.mid" > log 2> err; echo $? > status) || true
zwork="Z:${work//\//\\}"
(cd "$work/windows/drive" && wine "$exe" -o "$zwork\\windows\\drive\\out\\sub\\" \
   "$zwork\\in\\examples\\worked-example.mid" "$zwork\\in\\中文 名字\\铃声 一.mid" > log 2> err; echo $? > status) || true
# The same log once the Windows spelling of the paths is undone.
sed -i -e 's|\\|/|g' -e 's|Z:/|/|g' -e 's|/windows/drive/|/linux/drive/|g' "$work/windows/drive/log"
compare drive

echo "== reserved device names"
mkdir -p "$work/reserved"
cp "$work/in/examples/worked-example.mid" "$work/reserved/con.mid"
for args in "con.mid" "-o aux/ ../in/examples/worked-example.mid"; do
  cases=$((cases + 1))
  # shellcheck disable=SC2086
  status=0; (cd "$work/reserved" && wine "$exe" $args > log 2> err) || status=$?
  if [ $status = 1 ] && grep -q "a name Windows keeps for a device" "$work/reserved/err" && [ ! -e "$work/reserved/aux" ]; then
    echo "refused: $args ($(grep -c '★找不到文件\|打不开输出文件' "$work/reserved/log") failure in the log)"
  else
    failures=$((failures + 1))
    echo "DIFFERENT: a reserved name taken: $args"; cat "$work/reserved/log" "$work/reserved/err"
  fi
done

echo "== Ctrl-Break during a save"
if wine "$win/interrupt-save.exe" "$exe" "$work/interrupt" "$work/in/examples/worked-example.mid" > /dev/null; then
  echo "no temporary file left"
else
  failures=$((failures + 1))
  echo "DIFFERENT: the interrupted save"
fi
cases=$((cases + 1))

echo "wine-test: $cases comparisons, $failures different, $(( $(date +%s) - start )) s"
[ $failures -eq 0 ]
