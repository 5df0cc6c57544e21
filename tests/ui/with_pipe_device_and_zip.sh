#!/usr/bin/env bash
# Usage: with_pipe_and_device.sh TEST_EXE WINE_RUNNER [RUNNER_ARG...]
# Some things that open like files can only be made on the Linux side: a named pipe and a
# link to a device. This makes both in a fresh folder, "pipe" and "zero" (a link to
# /dev/zero), names the folder to the Windows test program in TALLYRUN_PIPE_DIR as
# Wine's drive Z: shows it, runs the program, and removes the folder.
set -euo pipefail

exe=$1
shift

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkfifo "$dir/pipe"
ln -s /dev/zero "$dir/zero"

TALLYRUN_PIPE_DIR="Z:${dir//\//\\}" "$@" "$exe" --gtest_color=no
