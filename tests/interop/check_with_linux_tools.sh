#!/usr/bin/env bash
# Usage: check_with_linux_tools.sh TEST_EXE WINE_RUNNER [RUNNER_ARG...]
# SFV files must mean the same on both sides. cksfv and rhash write SFV files of a few
# data files; the Windows test program, run through Wine on the same folder, checks those
# and writes its own; then both tools must pass that one, and fail it once a byte changed.
set -euo pipefail

exe=$1
shift
runner=("$@")

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
cd "$dir"

fail() { echo "check_with_linux_tools: $*" >&2; exit 1; }

# Same names, same order as kDataFiles in interop_test.cpp; the last four in UTF-8, as
# Linux names files, in scripts that Windows-1252 lacks.
files=(empty.bin "name with spaces.txt" random.bin notes.txt
       "★ star.bin" "Жук.bin" "月.bin" "ελ.txt")
: > empty.bin
printf 'a name with spaces\n' > "name with spaces.txt"
# 2.5 MiB from a fixed seed: two full 1 MiB reads and a partial one.
perl -e 'srand 7; print pack "C*", map { int rand 256 } 1 .. 2621440' > random.bin
# CR LF and 0x1A: a text-mode read would fold the one and stop at the other.
printf 'line one\r\nline two\r\n\032 after the end-of-file mark\n' > notes.txt
for f in "${files[@]:4}"; do printf '%s\n' "$f" > "$f"; done

cksfv "${files[@]}" > from-cksfv.sfv
rhash --sfv "${files[@]}" > from-rhash.sfv

# Wine shows the Unix root as drive Z:.
status=0
TALLYRUN_INTEROP_DIR="Z:${dir//\//\\}" "${runner[@]}" "$exe" --gtest_color=no || status=$?
if [ "$status" -ne 0 ]; then
  echo "--- from-cksfv.sfv:"; cat from-cksfv.sfv
  echo "--- from-rhash.sfv:"; cat from-rhash.sfv
  echo "check_with_linux_tools: the Windows test program failed, exit status $status" >&2
  exit "$status"
fi

# Runs a tool and fails, showing its output and the SFV file, unless it exits as $1 says.
expect() {
  local want=$1 out got=0
  shift
  out=$("$@" 2>&1) || got=$?
  if { [ "$want" = pass ] && [ "$got" -ne 0 ]; } || { [ "$want" = fail ] && [ "$got" -eq 0 ]; }; then
    echo "$out"
    echo "--- from-tallyrun.sfv:"; cat -A from-tallyrun.sfv
    fail "expected '$*' to $want, but its exit status was $got"
  fi
}

expect pass cksfv -f from-tallyrun.sfv
expect pass rhash -c from-tallyrun.sfv
# An SFV file without data lines passes too; one changed byte shows the lines were checked.
printf 'L' | dd of=notes.txt conv=notrunc status=none
expect fail cksfv -f from-tallyrun.sfv
expect fail rhash -c from-tallyrun.sfv
echo "check_with_linux_tools: cksfv and rhash agree with Tallyrun"
