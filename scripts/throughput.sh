#!/usr/bin/env bash
# Batch throughput: tonvell-cli converting a folder of songs against cp
# copying the same files to the same place, measured in the same run.
#
#   scripts/throughput.sh [-c CLI] [-b BENCH] [-s SONGS] [-n FILES] [-r REPETITIONS] [-j "1 2"] [-e] [-k] [-L]
#
# The songs are repeated (copied under numbered names) until there are FILES
# inputs in a temporary folder. Each repetition times, in alternating order,
#   cp    FILES... OUT/
#   cli   -j N --overwrite all -q --date 20030105 -o OUT/ -l LIST   (for each N of -j)
# into a new, empty output folder (with -e: into a folder that already holds
# every output, each command its own), and prints the times with the load
# average of the moment. The summary gives the median of each and the ratio
# of the medians (conversion / copy), and first the whole conversion
# (convertMidi) on the songs in MB of input per second on one core, from
# the benchmark program BENCH (build/tonvell-bench; left out when missing).
# -k keeps the temporary folder. -L writes the log to a file in the
# temporary folder instead of through a pipe. Exit status 0, or 1 when a conversion
# failed or a ratio is above $TONVELL_MAX_RATIO (when set).
set -euo pipefail

cli=build/tonvell-cli
bench=build/tonvell-bench
songs=build/songs
existing=0
files=1000
reps=7
keep=0
jobs_list="1 2"
log_to_file=0
while getopts "c:b:s:n:r:j:ekL" opt; do
  case $opt in
    L) log_to_file=1 ;;
    c) cli=$OPTARG ;;
    b) bench=$OPTARG ;;
    e) existing=1 ;;
    s) songs=$OPTARG ;;
    n) files=$OPTARG ;;
    r) reps=$OPTARG ;;
    j) jobs_list=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,20p' "$0" >&2; exit 2 ;;
  esac
done

cli=$(realpath "$cli")
[ -x "$cli" ] || { echo "throughput: no program at $cli" >&2; exit 2; }
shopt -s nullglob
sources=("$songs"/*.mid)
[ ${#sources[@]} -gt 0 ] || { echo "throughput: no songs in $songs (scripts/fetch-songs.sh $songs)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/tonvell-throughput-XXXXXX")
[ "$keep" = 1 ] || trap 'rm -rf "$work"' EXIT
mkdir -p "$work/in"
inputs=()
for ((i = 0; i < files; ++i)); do
  src=${sources[i % ${#sources[@]}]}
  dst=$(printf '%s/in/%04d_%s' "$work" "$i" "$(basename "$src")")
  cp "$src" "$dst"
  inputs+=("$dst")
done
printf '%s\n' "${inputs[@]}" >"$work/list"
bytes=$(cat "${inputs[@]}" | wc -c)
# Warm the page cache and the program.
cat "${inputs[@]}" >/dev/null
"$cli" --overwrite all -q --date 20030105 -o "$work/warm/" "${inputs[0]}" >/dev/null

now() { echo "${EPOCHREALTIME/./}"; }  # microseconds
load() { cut -d' ' -f1 /proc/loadavg; }

# Each timing writes into a new, empty folder, with nothing of the previous
# timing left to write back. Nothing is deleted until the end: a file system
# may take longer to create files while many were deleted a moment ago.
# With -e each command writes over its own outputs of the warm-up.
fresh_output() {
  if [ "$existing" = 1 ]; then
    out="$work/out-${1%%-*}"
  else
    out="$work/out-$1"
    mkdir "$out"
  fi
  sync
}
if [ "$existing" = 1 ]; then
  mkdir "$work/out-cp" "$work/out-cli"
  cp -- "${inputs[@]}" "$work/out-cp/"
  "$cli" --overwrite all -q --date 20030105 -o "$work/out-cli/" -l "$work/list" >/dev/null
fi

# convertMidi over every song once per iteration: MB (10^6 bytes) of input
# per second of wall time and per second of its CPU time, medians of 5.
bench_rate() {
  [ -x "$bench" ] || return 0
  local song_bytes; song_bytes=$(cat "${sources[@]}" | wc -c)
  TONVELL_SONGS=$(realpath "$songs") "$bench" --benchmark_filter='^BM_SongsConversion' --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true 2>/dev/null |
    awk -v b="$song_bytes" -v l="$(load)" 'function s(u) { return u == "ms" ? 1e-3 : u == "ns" ? 1e-9 : u == "s" ? 1 : 1e-6 }
      /_median/ { printf "convertMidi on the songs: %.1f MB/s of input per core (wall), %.1f MB/s per CPU second; load %s\n",
        b / ($2 * s($3)) / 1e6, b / ($4 * s($5)) / 1e6, l }'
}

time_copy() {
  fresh_output "cp-$1"
  local t0; t0=$(now)
  cp -- "${inputs[@]}" "$out/"
  echo $(($(now) - t0))
}

time_convert() {
  fresh_output "cli-$2-$1"
  local t0 t1; t0=$(now)
  # The log goes through a pipe, as to a terminal or another program: a log
  # written straight to a file on the outputs' disk keeps workers from
  # saving ahead (-L measures that way).
  local status=0
  if [ "$log_to_file" = 1 ]; then
    "$cli" -j "$2" --overwrite all -q --date 20030105 -o "$out/" -l "$work/list" >"$work/log" 2>&1 || status=$?
  else
    # (pipefail: the conversion's status counts)
    "$cli" -j "$2" --overwrite all -q --date 20030105 -o "$out/" -l "$work/list" 2>&1 | cat >"$work/log" ||
      status=$?
  fi
  if [ "$status" != 0 ]; then
    echo "throughput: the conversion failed; its log is in $work/log" >&2
    keep=1; trap - EXIT
    return 1
  fi
  t1=$(now)
  local made; made=$(find "$out" -name '*.mld' | wc -l)
  if [ "$made" -ne "$files" ]; then
    echo "throughput: $made of $files outputs written" >&2
    return 1
  fi
  echo $((t1 - t0))
}

median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : int((v[NR / 2] + v[NR / 2 + 1]) / 2) }'; }

echo "throughput: $files files, $bytes bytes, $reps repetitions, $(nproc) cores, -j $jobs_list," \
  "$([ "$existing" = 1 ] && echo "outputs existing" || echo "new output folders"), load $(cut -d' ' -f1-3 /proc/loadavg)"
bench_rate
declare -A converts
copies=()
for ((r = 0; r < reps; ++r)); do
  line=""
  if ((r % 2 == 0)); then c=$(time_copy "$r"); fi
  for j in $jobs_list; do
    v=$(time_convert "$r" "$j")
    converts[$j]="${converts[$j]:-} $v"
    line+=$(printf '   -j %s %8.1f ms (%.2f)' "$j" "$(echo "$v / 1000" | bc -l)" "$(echo "$v / ${c:-$v}" | bc -l)")
  done
  if ((r % 2 == 1)); then c=$(time_copy "$r"); fi
  copies+=("$c")
  printf '  repetition %d: cp %8.1f ms%s   load %s\n' "$r" "$(echo "$c / 1000" | bc -l)" "$line" "$(load)"
done
mc=$(printf '%s\n' "${copies[@]}" | median)
printf 'median: cp %.1f ms\n' "$(echo "$mc / 1000" | bc -l)"
status=0
for j in $jobs_list; do
  mv=$(printf '%s\n' ${converts[$j]} | median)
  ratio=$(echo "$mv / $mc" | bc -l)
  printf 'median: tonvell-cli -j %s %.1f ms (%.1f files/s, %.2f MB/s); ratio to cp %.2f\n' "$j" \
    "$(echo "$mv / 1000" | bc -l)" "$(echo "$files * 1000000 / $mv" | bc -l)" "$(echo "$bytes / $mv" | bc -l)" "$ratio"
  if [ -n "${TONVELL_MAX_RATIO:-}" ] && (($(echo "$ratio > $TONVELL_MAX_RATIO" | bc -l))); then
    echo "throughput: -j $j ratio $ratio is above $TONVELL_MAX_RATIO" >&2
    status=1
  fi
done
echo "load average at the end: $(cut -d' ' -f1-3 /proc/loadavg)"
[ "$keep" = 1 ] && echo "throughput: files kept in $work"
exit $status
