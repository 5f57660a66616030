#!/usr/bin/env bash
# Runs the libFuzzer targets (built by `make fuzz-build` into BUILD).
#
#   scripts/fuzz.sh ci BUILD SONGS_DIR          the short deterministic pass of `make test`
#   scripts/fuzz.sh runs N BUILD SONGS_DIR      N executions of each lean target (`make fuzz-long`)
#   scripts/fuzz.sh seconds N BUILD SONGS_DIR   the cross-checking target for N seconds (`make fuzz`)
#
# The lean targets each do one job per input with cheap checks: smf (the
# default conversion), format0 (the format-0 rewrite), handset (the handset
# writer), inspect (the MFi inspector) and decode (the MFi decoder). The
# cross target converts each input several ways and holds the results
# against each other and the slow note-end scan.
#
# Inputs of a target: its corpus fuzz/corpus/TARGET (committed, minimised),
# its regression files tests/fuzz-regressions/TARGET, and for the targets
# that read MIDI files also tests/fuzz/seeds (small hostile files), the
# shared edge-case MIDI suite, examples/ and the songs folder. A missing
# folder is skipped with a note.
#
# ci: every input of every target once, whole; then FUZZ_CI_RUNS mutations
#   (2000 unless set) of each target from a fixed random start. Nothing in
#   the source tree is written; findings are copied to fuzz-findings/ in BUILD.
# runs: N mutations of each lean target (two at a time, one per core), then
#   the target's corpus is merged back into fuzz/corpus/TARGET, minimised.
#   A finding is written to tests/fuzz-regressions/TARGET and ends that
#   target's run; `make test` replays it from then on. Prints, per target,
#   the executions, their rate, the coverage reached and the findings.
# seconds: the cross target for N seconds; what it learns is kept in
#   fuzz-corpus/ in BUILD, findings go to tests/fuzz-regressions/cross.
#
# Mutants are at most FUZZ_MAX_LEN bytes (4096 unless set). Extra libFuzzer
# flags may follow; they come after the script's own, so they win. The exit
# status is non-zero on any finding.
set -euo pipefail

usage() {
  echo "usage: $0 ci BUILD SONGS_DIR | runs N BUILD SONGS_DIR | seconds N BUILD SONGS_DIR [libFuzzer flags...]" >&2
  exit 2
}
[ $# -ge 1 ] || usage
mode=$1
shift
count=0
case $mode in
  ci) ;;
  runs | seconds)
    [ $# -ge 1 ] || usage
    count=$1
    shift
    case $count in '' | *[!0-9]*) echo "fuzz.sh: N must be a whole number, not '$count'" >&2; exit 2 ;; esac
    ;;
  *) usage ;;
esac
[ $# -ge 2 ] || usage
build=$1
songs=$2
shift 2

root=$(cd "$(dirname "$0")/.." && pwd)
dict="$root/tests/fuzz/midi.dict"
max_len=${FUZZ_MAX_LEN:-4096}
lean=(smf format0 handset inspect decode)

reads_midi() { case $1 in inspect | decode) return 1 ;; *) return 0 ;; esac; }

# The input folders of target $1, one per line; the corpus first.
inputs() {
  local dirs=("$root/fuzz/corpus/$1" "$root/tests/fuzz-regressions/$1")
  if reads_midi "$1"; then
    dirs+=("$root/tests/fuzz/seeds" "$root/../shared/corpus/test-midi-files" "$root/examples" "$songs")
  fi
  local dir
  for dir in "${dirs[@]}"; do
    if [ -d "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
      echo "$dir"
    else
      echo "fuzz.sh: $1: input folder $dir is missing or empty, skipped" >&2
    fi
  done
}

# An input that runs longer than the timeout (wall time) is a finding. The
# deterministic pass runs on busy machines, where only a hang should count.
timeout=30
[ "$mode" = ci ] && timeout=120

flags() {
  local f=(-rss_limit_mb=1024 -timeout="$timeout" -max_len="$max_len" -print_final_stats=1)
  reads_midi "$1" && f+=(-dict="$dict")
  printf '%s\n' "${f[@]}"
}

fuzzer_of() {
  local f="$build/tonvell-fuzz-$1"
  if [ ! -x "$f" ]; then
    echo "fuzz.sh: no fuzzer at $f (make fuzz-build)" >&2
    exit 2
  fi
  echo "$f"
}

# Undefined behaviour is a finding too, not a warning. A smaller quarantine
# keeps freed work buffers from counting against the memory limit.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if [ "$mode" = ci ]; then
  runs=${FUZZ_CI_RUNS:-2000}
  status=0
  for target in "${lean[@]}" cross; do
    fuzzer=$(fuzzer_of "$target")
    mapfile -t dirs < <(inputs "$target")
    mapfile -t opts < <(flags "$target")
    mkdir -p "$scratch/$target/corpus" "$scratch/$target/artifacts"
    art="$scratch/$target/artifacts/"
    files=()
    if [ ${#dirs[@]} -gt 0 ]; then
      while IFS= read -r -d '' f; do files+=("$f"); done < <(find "${dirs[@]}" -type f -print0 | sort -z)
    fi
    # Every input once, whole (the mutation pass reads them cut to -max_len).
    s=0
    if [ ${#files[@]} -gt 0 ]; then
      "$fuzzer" -rss_limit_mb=1024 -timeout="$timeout" -artifact_prefix="$art" "$@" "${files[@]}" \
        >"$scratch/$target/files.log" 2>&1 || s=$?
      [ $s -eq 0 ] || cat "$scratch/$target/files.log" >&2
    fi
    # Then a fixed number of mutations from a fixed random start. libFuzzer adds
    # inputs that reach new code to its first folder: a scratch one.
    if [ $s -eq 0 ]; then
      n=$runs
      [ "$target" = cross ] && n=$((runs / 4))
      "$fuzzer" "${opts[@]}" -runs="$n" -seed=1 -artifact_prefix="$art" "$@" "$scratch/$target/corpus" "${dirs[@]}" \
        >"$scratch/$target/mutations.log" 2>&1 || s=$?
      if [ $s -ne 0 ]; then
        cat "$scratch/$target/mutations.log" >&2
      else
        echo "fuzz.sh: $target: ${#files[@]} inputs, $(grep -E '^#[0-9]+[[:space:]]+DONE' "$scratch/$target/mutations.log" | tr -s "[:space:]" " ")" >&2
      fi
    fi
    if [ $s -ne 0 ] || [ -n "$(ls -A "$art")" ]; then
      where="the log above"
      if [ -n "$(ls -A "$art")" ]; then
        where="$(cd "$build" && pwd)/fuzz-findings/$target"
        mkdir -p "$where"
        cp "$art"/* "$where"/
      fi
      echo "fuzz.sh: $target FAILED (status $s); see $where; reproduce with: $fuzzer FILE" >&2
      status=1
    fi
  done
  [ $status -eq 0 ] && echo "fuzz.sh: no findings" >&2
  exit $status
fi

if [ "$mode" = seconds ]; then
  fuzzer=$(fuzzer_of cross)
  mapfile -t dirs < <(inputs cross)
  mapfile -t opts < <(flags cross)
  corpus="$build/fuzz-corpus"
  regressions="$root/tests/fuzz-regressions/cross"
  mkdir -p "$corpus" "$regressions"
  echo "fuzz.sh: fuzzing the cross target for $count s; findings go to $regressions" >&2
  exec "$fuzzer" "${opts[@]}" -max_total_time="$count" -artifact_prefix="$regressions/" "$@" "$corpus" "${dirs[@]}"
fi

# runs: each lean target for $count executions, two at a time.
long_run() {
  local target=$1
  shift
  local fuzzer dirs opts work="$scratch/$target" regressions="$root/tests/fuzz-regressions/$target"
  fuzzer=$(fuzzer_of "$target")
  mapfile -t dirs < <(inputs "$target")
  mapfile -t opts < <(flags "$target")
  mkdir -p "$work/corpus" "$work/artifacts" "$root/fuzz/corpus/$target"
  local s=0
  "$fuzzer" "${opts[@]}" -runs="$count" -artifact_prefix="$work/artifacts/" "$@" "$work/corpus" "${dirs[@]}" \
    >"$work/run.log" 2>&1 || s=$?
  local found=0
  if [ -n "$(ls -A "$work/artifacts")" ]; then
    mkdir -p "$regressions"
    cp "$work/artifacts"/* "$regressions"/
    found=$(ls "$work/artifacts" | wc -l)
  elif [ $s -ne 0 ]; then
    found=1
  fi
  # The corpus again, minimised: only inputs that add coverage, and no more
  # of the shared MIDI suite or the songs than the committed corpus needs.
  mkdir -p "$work/merged"
  "$fuzzer" -merge=1 "${opts[@]}" "$work/merged" "$root/fuzz/corpus/$target" "$work/corpus" \
    >"$work/merge.log" 2>&1 || true
  # Swapped in whole, so that a run stopped here leaves the old corpus.
  if [ -n "$(ls -A "$work/merged")" ]; then
    local corpus="$root/fuzz/corpus/$target"
    rm -rf "$corpus.new" "$corpus.old"
    cp -r "$work/merged" "$corpus.new"
    mv "$corpus" "$corpus.old" && mv "$corpus.new" "$corpus" && rm -rf "$corpus.old"
  fi
  local done_line secs
  done_line=$(grep -E '^#[0-9]+[[:space:]]+DONE' "$work/run.log" | tail -1 | tr -s '[:space:]' ' ' || true)
  secs=$(grep -E '^stat::average_exec_per_sec' "$work/run.log" | awk '{print $2}' || true)
  {
    echo "$target: ${done_line:-no DONE line (status $s)}"
    echo "$target: executions/s ${secs:-?}, findings $found, corpus $(ls "$root/fuzz/corpus/$target" | wc -l) files," \
      "$(du -sk "$root/fuzz/corpus/$target" | cut -f1) KiB"
    [ "$found" -eq 0 ] || { tail -40 "$work/run.log"; echo "$target: findings saved in $regressions"; }
  } >"$work/summary"
  return $((found > 0))
}

status=0
pids=()
for target in "${lean[@]}"; do
  # Two at a time: start the next when one of the running ones ends.
  while [ ${#pids[@]} -ge 2 ]; do
    wait -n "${pids[@]}" || status=1
    alive=()
    for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && alive+=("$p"); done
    pids=("${alive[@]}")
  done
  long_run "$target" "$@" &
  pids+=($!)
done
for p in "${pids[@]}"; do wait "$p" || status=1; done
for target in "${lean[@]}"; do cat "$scratch/$target/summary" >&2; done
exit $status
