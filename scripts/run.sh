#!/usr/bin/env bash
# Installs what is missing, builds, and runs the newest thing that runs.
source "$(dirname "$0")/common.sh"
vok_build
"$VOK_BUILD_DIR/bin/vok" version
