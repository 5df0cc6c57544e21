#!/usr/bin/env bash
# Usage: with_pipe_device_and_zip.sh TEST_EXE WINE_RUNNER [RUNNER_ARG...]
# Some things the program is tried on can only be made on the Linux side: a named pipe, a
# link to a device, and the release zip of the exe under test. This makes, in a fresh
# folder, "pipe" and "zero" (a link to /dev/zero), and "release" with the zip that
# scripts/release packs around TALLYRUN_EXE unpacked into it. It names both folders to the
# Windows test program as Wine's drive Z: shows them, in TALLYRUN_PIPE_DIR and
# TALLYRUN_RELEASE_DIR, runs the program, then runs its case of names in the code page under
# more code pages (LANG, and TALLYRUN_UTF8_EXE for UTF-8), and removes the folder.
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

export TALLYRUN_PIPE_DIR="Z:${dir//\//\\}" TALLYRUN_RELEASE_DIR="Z:${dir//\//\\}\\release"
status=0
"$@" "$exe" --gtest_color=no || status=1

# Names in the system's code page, and lists in UTF-8 and UTF-16, again under the code
# pages that matter most: two double-byte ones whose trail bytes can be 0x5C, a single-byte
# one, and UTF-8, which a test build of the exe asks for in its manifest. Wine takes the
# code page from LANG.
table=--gtest_filter=Program.NamesInTheSystemCodePageWorkEveryWay
table+=:Program.ListsInUtf8AndUtf16CheckAndAnyNameIsListed
for run in ja_JP.UTF-8:932 zh_CN.UTF-8:936 ru_RU.UTF-8:1251 C.UTF-8:65001; do
  lang=${run%:*} code_page=${run#*:}
  exe_under_test=$TALLYRUN_EXE
  [ "$code_page" = 65001 ] && exe_under_test=$TALLYRUN_UTF8_EXE
  echo "== code page $code_page (LANG=$lang)"
  env -u LC_ALL -u LC_CTYPE -u LANGUAGE LANG="$lang" TALLYRUN_CODE_PAGE="$code_page" \
    TALLYRUN_EXE="$exe_under_test" "$@" "$exe" --gtest_color=no "$table" || status=1
done
exit $status
