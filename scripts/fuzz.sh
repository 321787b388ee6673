#!/usr/bin/env bash
# Builds a libFuzzer target with clang and runs it for a bounded time:
# scripts/fuzz.sh [TARGET] [SECONDS] (TARGET config, the default, or dib;
# SECONDS default 120). Seeds are made by the project's own tools
# ('vok config new' for configurations, a small bitmap for dib); the corpus
# grows in build-fuzz/corpus-TARGET, crashes land in build-fuzz/crashes.
set -euo pipefail
target=config
if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then target=$1; shift; fi
seconds=${1:-120}
case "$target" in
  config) binary=fuzz_config_file ;;
  dib) binary=fuzz_dib ;;
  *) echo "unknown fuzz target: $target (config or dib)" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
vok_packages+=(clang libclang-rt-14-dev)
vok_install_packages
fuzz_dir="$VOK_ROOT/build-fuzz"
CC=clang CXX=clang++ cmake -S "$VOK_ROOT" -B "$fuzz_dir" -G Ninja -DVOK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
corpus="$fuzz_dir/corpus-$target"
mkdir -p "$corpus" "$fuzz_dir/crashes"
if [ "$target" = config ]; then
  cmake --build "$fuzz_dir" --parallel "$(nproc)" --target "$binary" vok
  export VOK_REGISTRY_DIR="$fuzz_dir/registry"
  "$fuzz_dir/bin/vok" config new "$corpus/seed-empty.psf" >/dev/null
  "$fuzz_dir/bin/vok" config new "$corpus/seed-one.psf" --device COM1:1 >/dev/null
  "$fuzz_dir/bin/vok" config new "$corpus/seed-two.psf" --device COM1:1 --device COM2:63 >/dev/null
  cp "$VOK_ROOT"/fuzz/regressions/* "$corpus/" 2>/dev/null || true
  max_len=400000
else
  cmake --build "$fuzz_dir" --parallel "$(nproc)" --target "$binary"
  # A 2 x 2 true-colour bitmap and a 4 x 1 one with a 16-colour table.
  python3 - "$corpus" <<'PY'
import struct, sys
def bmp(width, height, bits, table, rows):
    offset = 14 + 40 + 4 * len(table)
    data = b"".join(rows)
    head = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, bits, 0, 0, 2835, 2835, len(table), 0)
    return head + info + b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in table) + data
open(sys.argv[1] + "/seed-24.bmp", "wb").write(bmp(2, 2, 24, [], [b"\x00\x00\xff\x00\xff\x00\x00\x00"] * 2))
open(sys.argv[1] + "/seed-4.bmp", "wb").write(bmp(4, 1, 4, [(i * 16, i * 8, i) for i in range(16)], [b"\x01\x23\x00\x00"]))
PY
  max_len=65536
fi
"$fuzz_dir/bin/$binary" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=4096 \
  -artifact_prefix="$fuzz_dir/crashes/" -print_final_stats=1 "$corpus"
