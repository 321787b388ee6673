# Shared by the run and test scripts: installs what the build needs, then
# configures and builds into $VOK_BUILD_DIR (default build/).
set -euo pipefail

VOK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VOK_BUILD_DIR=${VOK_BUILD_DIR:-$VOK_ROOT/build}
VOK_SANITIZE=${VOK_SANITIZE:-}

vok_packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
              nlohmann-json3-dev libcli11-dev libcapnp-dev capnproto qt6-base-dev)

vok_install_packages() {
  local missing=()
  for p in "${vok_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq || true
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

vok_build() {
  vok_install_packages
  cmake -S "$VOK_ROOT" -B "$VOK_BUILD_DIR" -G Ninja -DVOK_WERROR=ON -DVOK_SANITIZE="$VOK_SANITIZE" >/dev/null
  # VOK_BUILD_TARGETS: only these targets (a pass that runs only some tests).
  local targets=()
  for t in ${VOK_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
  cmake --build "$VOK_BUILD_DIR" --parallel "$(nproc)" "${targets[@]}"
}
