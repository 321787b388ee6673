#!/usr/bin/env bash
# Builds the configuration-file fuzz target with clang and libFuzzer and runs
# it for a bounded time: scripts/fuzz.sh [SECONDS] (default 120). Seeds are
# configurations written by 'vok config new'; the corpus grows in
# build-fuzz/corpus, crashes land in build-fuzz/crashes.
set -euo pipefail
seconds=${1:-120}
source "$(dirname "$0")/common.sh"
vok_packages+=(clang libclang-rt-14-dev)
vok_install_packages
fuzz_dir="$VOK_ROOT/build-fuzz"
CC=clang CXX=clang++ cmake -S "$VOK_ROOT" -B "$fuzz_dir" -G Ninja -DVOK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$fuzz_dir" --parallel "$(nproc)" --target fuzz_config_file vok
mkdir -p "$fuzz_dir/corpus" "$fuzz_dir/crashes"
export VOK_REGISTRY_DIR="$fuzz_dir/registry"
"$fuzz_dir/bin/vok" config new "$fuzz_dir/corpus/seed-empty.psf" >/dev/null
"$fuzz_dir/bin/vok" config new "$fuzz_dir/corpus/seed-one.psf" --device COM1:1 >/dev/null
"$fuzz_dir/bin/vok" config new "$fuzz_dir/corpus/seed-two.psf" --device COM1:1 --device COM2:63 >/dev/null
cp "$VOK_ROOT"/fuzz/regressions/* "$fuzz_dir/corpus/" 2>/dev/null || true
"$fuzz_dir/bin/fuzz_config_file" -max_total_time="$seconds" -max_len=400000 -rss_limit_mb=4096 \
  -artifact_prefix="$fuzz_dir/crashes/" -print_final_stats=1 "$fuzz_dir/corpus"
