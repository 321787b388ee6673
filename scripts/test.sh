#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# VOK_BUILD_DIR picks the build folder, VOK_SANITIZE the sanitizers, and
# VOK_TEST_REGEX runs only the tests whose names match.
source "$(dirname "$0")/common.sh"
vok_build
cd "$VOK_BUILD_DIR"
args=(--output-on-failure --parallel "$(nproc)" --timeout 300)
[ -n "${VOK_TEST_REGEX:-}" ] && args+=(-R "$VOK_TEST_REGEX")
# The sanitizers' leak check skips what the desktop libraries keep for good.
export LSAN_OPTIONS="suppressions=$VOK_ROOT/scripts/lsan.supp${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
ctest "${args[@]}"
