#!/usr/bin/env bash
# The README's example of `tonvell-cli check` is the program's own output:
# this runs the commands shown there on the examples and writes what they
# print between the two marker lines of README.md.
#   scripts/readme-check-example.sh [--test] [TONVELL_CLI]
# --test writes nothing and fails (status 1) when README.md differs.
set -euo pipefail
test_only=false
if [[ ${1:-} == --test ]]; then test_only=true; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$root/build/tonvell-cli}
[[ $cli == /* ]] || cli=$PWD/$cli
readme=$root/README.md
begin='<!-- check example: written by scripts/readme-check-example.sh -->'
end='<!-- end of the check example -->'

example=$(mktemp)
trap 'rm -f "$example" "$example.readme"' EXIT
{
  echo '```'
  first=true
  for args in "examples/melody-and-drums.mid" "--handset examples/melody-and-drums.mid"; do
    $first || echo
    first=false
    echo "\$ tonvell-cli check $args"
    # 1 is a song with problems, which is what the example shows; more is a fault.
    status=0
    (cd "$root" && "$cli" check $args) || status=$?
    if ((status > 1)); then echo "readme-check-example: tonvell-cli check $args: status $status" >&2; exit 1; fi
  done
  echo '```'
} >"$example"

grep -qxF "$begin" "$readme" && grep -qxF "$end" "$readme" ||
  { echo "readme-check-example: the marker lines are missing from $readme" >&2; exit 1; }
awk -v begin="$begin" -v end="$end" -v example="$example" '
  $0 == end { skipping = 0 }
  !skipping { print }
  $0 == begin { while ((getline line < example) > 0) print line; skipping = 1 }
' "$readme" >"$example.readme"

if $test_only; then
  diff -u "$readme" "$example.readme" >&2 ||
    { echo "readme-check-example: README.md is out of date: run scripts/readme-check-example.sh" >&2; exit 1; }
elif ! cmp -s "$readme" "$example.readme"; then
  cat "$example.readme" >"$readme"
  echo "readme-check-example: README.md updated" >&2
fi
