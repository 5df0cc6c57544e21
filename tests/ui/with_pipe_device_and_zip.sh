#!/usr/bin/env bash
# Usage: with_pipe_device_and_zip.sh TEST_EXE WINE_RUNNER [RUNNER_ARG...]
# Some things the program is tried on can only be made on the Linux side: a named pipe, a
# link to a device, and the release zip of the exe under test. This makes, in a fresh
# folder, "pipe" and "zero" (a link to /dev/zero), and "release" with the zip that
# scripts/release packs around TALLYRUN_EXE unpacked into it. It names both folders to the
# Windows test program as Wine's drive Z: shows them, in TALLYRUN_PIPE_DIR and
# TALLYRUN_RELEASE_DIR, runs the program, and removes the folder.
set -euo pipefail

exe=$1
shift

dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
mkfifo "$dir/pipe"
ln -s /dev/zero "$dir/zero"

root=$(cd "$(dirname "$0")/../.." && pwd)
mkdir "$dir/release"
"$root/scripts/release" --pack "${TALLYRUN_EXE#Z:}" "$TALLYRUN_BOOST_ROOT" "$dir"
/usr/bin/python3 -m zipfile -e "$dir/tallyrun-1.2-win64.zip" "$dir/release"

TALLYRUN_PIPE_DIR="Z:${dir//\//\\}" TALLYRUN_RELEASE_DIR="Z:${dir//\//\\}\\release" \
  "$@" "$exe" --gtest_color=no
