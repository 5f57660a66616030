#!/usr/bin/env bash
# Runs the libFuzzer target over the starting inputs.
#
#   scripts/fuzz.sh FUZZER SECONDS SONGS_DIR [extra libFuzzer flags...]
#
# Seeds: tests/fuzz/seeds/ (small hostile files), the shared edge-case MIDI
# suite, examples/, the songs folder and tests/fuzz-regressions/ (a missing
# folder is skipped with a note).
#
# SECONDS > 0: fuzz for that long in one process. What libFuzzer learns is
#   kept in fuzz-corpus/ beside the fuzzer for the next session; a crash, a
#   leak, a timeout or an out-of-memory input is written into
#   tests/fuzz-regressions/ and ends the run.
# SECONDS = 0: the short deterministic pass of `make test`: every starting input and
#   regression file once, then a fixed number of mutations from a fixed random start.
#   Nothing in the source tree is written; findings are copied to
#   fuzz-findings/ beside the fuzzer.
#
# Mutants are at most FUZZ_MAX_LEN bytes (4096 unless set); the CI pass makes
# FUZZ_CI_RUNS of them (10000 unless set), about a minute and a half. Extra
# flags go to libFuzzer after the script's own, so they win (-jobs, ...).
#
# The exit status is non-zero on any finding.
set -euo pipefail

if [ $# -lt 3 ]; then
  echo "usage: $0 FUZZER SECONDS SONGS_DIR [libFuzzer flags...]" >&2
  exit 2
fi
fuzzer=$1
seconds=$2
songs=$3
shift 3

root=$(cd "$(dirname "$0")/.." && pwd)
regressions="$root/tests/fuzz-regressions"
dict="$root/tests/fuzz/midi.dict"
ci_runs=${FUZZ_CI_RUNS:-10000}
ci_start=1
max_len=${FUZZ_MAX_LEN:-4096}

if [ ! -x "$fuzzer" ]; then
  echo "fuzz.sh: no fuzzer at $fuzzer (make fuzz-build)" >&2
  exit 2
fi
case $seconds in
  '' | *[!0-9]*) echo "fuzz.sh: SECONDS must be a whole number, not '$seconds'" >&2; exit 2 ;;
esac

seeds=()
for dir in "$root/tests/fuzz/seeds" "$root/../shared/corpus/test-midi-files" "$root/examples" "$songs" \
  "$regressions"; do
  if [ -d "$dir" ] && [ -n "$(ls -A "$dir" 2>/dev/null)" ]; then
    seeds+=("$dir")
  else
    echo "fuzz.sh: input folder $dir is missing or empty, skipped" >&2
  fi
done

# Undefined behaviour is a finding too, not a warning. A smaller quarantine
# keeps freed work buffers from counting against the memory limit.
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=32}

# Mutants stay small: a few kilobytes reach every part of the conversion, and
# a song-sized input costs a hundred times more per run. An input that runs
# longer than the timeout (wall time) is a finding; the deterministic pass
# runs on busy machines, where only a hang should count.
timeout=5
[ "$seconds" -eq 0 ] && timeout=120
common=(-rss_limit_mb=512 -timeout=$timeout -max_len=$max_len -dict="$dict" -print_final_stats=1)

if [ "$seconds" -eq 0 ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/corpus" "$scratch/artifacts"
  status=0

  # Every starting input and regression file once, whole (the mutation pass below
  # reads them cut to -max_len).
  files=()
  if [ ${#seeds[@]} -gt 0 ]; then
    while IFS= read -r -d '' f; do files+=("$f"); done < <(find "${seeds[@]}" -type f -print0 | sort -z)
  fi
  echo "fuzz.sh: ${#files[@]} starting and regression files" >&2
  if [ ${#files[@]} -gt 0 ]; then
    "$fuzzer" -rss_limit_mb=512 -timeout=$timeout -artifact_prefix="$scratch/artifacts/" "$@" "${files[@]}" \
      >"$scratch/files.log" 2>&1 || status=$?
    [ $status -eq 0 ] || cat "$scratch/files.log" >&2
  fi

  # Then a fixed number of mutations from a fixed random start. libFuzzer adds inputs
  # that reach new code to its first folder: a scratch one, so the input
  # folders stay as they are.
  if [ $status -eq 0 ]; then
    echo "fuzz.sh: $ci_runs mutations from random start $ci_start" >&2
    "$fuzzer" "${common[@]}" -runs=$ci_runs -seed=$ci_start -artifact_prefix="$scratch/artifacts/" \
      "$@" "$scratch/corpus" "${seeds[@]}" >"$scratch/mutations.log" 2>&1 || status=$?
    if [ $status -ne 0 ]; then
      cat "$scratch/mutations.log" >&2
    else
      grep -E '^(#[0-9]+ +DONE|stat::)' "$scratch/mutations.log" >&2 || true
    fi
  fi

  if [ $status -ne 0 ] || [ -n "$(ls -A "$scratch/artifacts")" ]; then
    # Keep a mutant that failed where it can be looked at once the scratch
    # folder is gone (a starting file that failed is named in the log above).
    where="the log above"
    if [ -n "$(ls -A "$scratch/artifacts")" ]; then
      where="$(cd "$(dirname "$fuzzer")" && pwd)/fuzz-findings"
      mkdir -p "$where"
      cp "$scratch/artifacts"/* "$where"/
    fi
    echo "fuzz.sh: FAILED (status $status); see $where; reproduce with: $fuzzer FILE" >&2
    exit $((status == 0 ? 1 : status))
  fi
  echo "fuzz.sh: no findings" >&2
  exit 0
fi

corpus="$(dirname "$fuzzer")/fuzz-corpus"
mkdir -p "$corpus" "$regressions"
echo "fuzz.sh: fuzzing for $seconds s; new findings go to $regressions" >&2
exec "$fuzzer" "${common[@]}" -max_total_time="$seconds" -artifact_prefix="$regressions/" \
  "$@" "$corpus" "${seeds[@]}"
