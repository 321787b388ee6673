#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
# VOK_BUILD_DIR picks the build folder, VOK_SANITIZE the sanitizers.
source "$(dirname "$0")/common.sh"
vok_build
cd "$VOK_BUILD_DIR"
ctest --output-on-failure --parallel "$(nproc)" --timeout 300
