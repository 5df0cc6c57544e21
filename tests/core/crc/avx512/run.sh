#!/usr/bin/env bash
# Usage: run.sh WORK_FOLDER
# Builds check.cpp with the CRC kernels as a bare 64-bit program, boots it in the Bochs
# emulator as an Intel Tiger Lake (AVX-512 and VPCLMULQDQ), and passes when it prints PASS.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../../.." && pwd)
work=${1:?usage: run.sh WORK_FOLDER}
mkdir -p "$work"
cd "$work"

flags=(-std=c++20 -O2 -ffreestanding -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables
       -fno-pic -fno-pie -fno-stack-protector -mno-red-zone -I "$root")
g++ "${flags[@]}" -c "$here/check.cpp" -o check.o
g++ "${flags[@]}" -c "$root/core/crc/crc32_table.cpp" -o table.o
g++ "${flags[@]}" -mpclmul -msse4.1 -c "$root/core/crc/crc32_clmul128.cpp" -o clmul128.o
g++ "${flags[@]}" -mavx2 -mvpclmulqdq -mpclmul -c "$root/core/crc/crc32_clmul256.cpp" -o clmul256.o
g++ "${flags[@]}" -mavx512f -mvpclmulqdq -mpclmul -c "$root/core/crc/crc32_clmul512.cpp" -o clmul512.o
ld --no-warn-rwx-segments -T "$here/link.ld" -o check.elf check.o table.o clmul128.o clmul256.o clmul512.o
objcopy -O binary check.elf check.bin
if [ "$(stat -c %s check.bin)" -gt $((128 * 1024)) ]; then
  echo "check.bin is larger than the 128 KiB that boot.S loads" >&2
  exit 1
fi
gcc -c "$here/boot.S" -o boot.o
ld -Ttext 0x7C00 --oformat binary -o boot.bin boot.o

# One cylinder of 16 heads and 63 sectors: the boot sector, then the program.
cat boot.bin check.bin > disk.img
truncate -s $((16 * 63 * 512)) disk.img
cat > bochsrc <<RC
megs: 64
cpu: model=tigerlake, count=1, reset_on_triple_fault=0
romimage: file=/usr/share/bochs/BIOS-bochs-latest
vgaromimage: file=/usr/share/vgabios/vgabios.bin
ata0-master: type=disk, path=disk.img, mode=flat, cylinders=1, heads=16, spt=63
boot: disk
display_library: rfb, options="timeout=0"
port_e9_hack: enabled=1
speaker: enabled=0
clock: sync=none
log: bochs.log
panic: action=fatal
error: action=report
info: action=ignore
debug: action=ignore
RC
# This build of Bochs has its debugger on, which stops before the first instruction: the
# command file tells it to go on.
echo continue > commands
timeout 900 bochs -q -f bochsrc -rc commands < /dev/null > output.txt 2>&1 || true
# The program's own lines; without them, what Bochs said about why it stopped.
sed -n '/^crc32 kernels/,/^\(PASS\|FAIL\)$/p' output.txt > report.txt
cat report.txt
if [ ! -s report.txt ]; then
  echo "the check program printed nothing; the end of Bochs's output and log:" >&2
  tail -n 20 output.txt bochs.log >&2
fi
grep -qx PASS report.txt
