#!/usr/bin/env bash
# ./dev scan and ./dev example write where the caller asked, on this machine:
# a relative -o (and the default) against the caller's directory, an
# absolute one and "~/" exactly there, and the messages show those paths.
# Run by ./dev test outside the toolchain, the way a user calls ./dev.
set -euo pipefail
DEV="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/dev"
export LPA_CACHE_DIR="${LPA_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/lpa-dev}"
tmp="$(mktemp -d)"
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$tmp/cwd/sub" "$tmp/home"
cd "$tmp/cwd/sub"
fail() { printf 'test_paths: FAIL: %s\n' "$*" >&2; exit 1; }

scan() {  # $1: what to expect, the path of landscape.csv; then the -o arguments
  local want="$1" log="$tmp/log"; shift
  timeout 300 "$DEV" scan --N 1 --d 3.0 --count-d none --workers 1 "$@" >"$log" 2>&1 \
    || fail "scan $*: $(tail -n 3 "$log")"
  [ -f "$want" ] || fail "scan $*: no $want"
  grep -qF "$want" "$log" || fail "scan $*: the output does not name $want"
}

scan "$tmp/cwd/sub/lpa-scan/landscape.csv"
scan "$tmp/cwd/rel/landscape.csv" -o ../rel
scan "$tmp/abs/deep/landscape.csv" --out="$tmp/abs/deep"
HOME="$tmp/home" scan "$tmp/home/results/landscape.csv" -o "~/results"
[ -z "$(find "$LPA_CACHE_DIR"/sid-*"$tmp" -type f 2>/dev/null)" ] \
  || fail "a result landed inside the toolchain root"

# refused before the run, with one line naming the flag
if out="$(timeout 120 "$DEV" example -o plot.txt 2>&1)"; then fail "example -o plot.txt ran"; fi
grep -q -- "-o: '.*plot.txt' must end in one of" <<<"$out" || fail "example -o plot.txt: $out"
echo "test_paths: ./dev writes where the caller asked"
