# Shared by scripts/test, scripts/run, scripts/bench and scripts/release: installs what is
# missing, fetches Boost's sources, builds the project for Windows and prepares Wine.
# Sourced, not run.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${TALLYRUN_BUILD:-$root/build}"

export WINEPREFIX="$build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no prompts to install .NET or a browser engine

# Bochs, with the host's compiler, boots the CRC kernels on an emulated AVX-512 processor.
# Python packs the release zip, which test_program checks. Wine takes a program's code page
# from LANG, once that locale exists: test_program runs under the locales below.
packages=(cmake make xz-utils dpkg-dev g++-mingw-w64-x86-64-posix googletest
          wine wine64 xvfb xauth x11-utils rhash cksfv python3
          g++ binutils bochs bochs-term bochsbios vgabios locales)
test_locales=(ja_JP.UTF-8 zh_CN.UTF-8 ru_RU.UTF-8)  # code pages 932, 936 and 1251

install_missing() {
  local missing=() p
  for p in "${packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if ! grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    # Boost's sources come from Debian's source package.
    . /etc/os-release
    cat > /etc/apt/sources.list.d/tallyrun-deb-src.sources <<SRC
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: ${VERSION_CODENAME:-bookworm}
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    missing+=(update-only)
  fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "== installing: ${missing[*]}"
    apt-get update -q
    local real=("${missing[@]/update-only/}")
    [ -n "${real[*]// /}" ] && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ${real[*]}
  fi
  generate_locales
  return 0
}

# Compiles each of test_locales that the system lacks, and only those.
generate_locales() {
  local present l
  present=$(locale -a 2>/dev/null)
  for l in "${test_locales[@]}"; do
    # locale -a spells ja_JP.UTF-8 as ja_JP.utf8.
    grep -qx "${l%%.*}.utf8" <<<"$present" && continue
    echo "== generating the locale $l"
    localedef -i "${l%%.*}" -f UTF-8 "$l"
  done
}

build_project() {
  "$root/scripts/fetch-boost" "$build/_deps/boost1.74"
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
          -DCMAKE_BUILD_TYPE=Release
  fi
  cmake --build "$build" -j "$(nproc)"
}

# Starts a virtual display when there is none; Wine needs one for any window.
xvfb_pid=
start_display() {
  if [ -z "${DISPLAY:-}" ]; then
    local n=99
    while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
    Xvfb ":$n" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb_pid=$!
    export DISPLAY=":$n"
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  fi
}

# Creates the Wine prefix once and keeps one wineserver alive for the whole session, so
# each test executable does not pay for starting it.
start_wine() {
  [ -f "$WINEPREFIX/system.reg" ] || { echo "== creating the Wine prefix"; wineboot -i >/dev/null 2>&1 || true; }
  wineserver -p 2>/dev/null || true  # one may be running already; that serves as well
  wineboot >/dev/null 2>&1 || true   # start Wine's services now, detached from any output
}

stop_all() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
}
