# Shared by the run and test scripts: installs what the build needs, then
# configures and builds into $VOK_BUILD_DIR (default build/).
set -euo pipefail

VOK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
VOK_BUILD_DIR=${VOK_BUILD_DIR:-$VOK_ROOT/build}
VOK_SANITIZE=${VOK_SANITIZE:-}

vok_packages=(cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev
              nlohmann-json3-dev libcli11-dev libcapnp-dev capnproto qt6-base-dev
              libssl-dev libsodium-dev libsqlite3-dev qt6-charts-dev sqlite3)

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

# Node and the locked npm packages of the OPC UA client in ua/tests/client
# (node-opcua, a test client, never needed to run the product): installed when
# missing, and again whenever the lock differs from the one they came from.
vok_ua_client_packages() {
  if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    local vok_packages=(nodejs npm)
    vok_install_packages
  fi
  (
    cd "$VOK_ROOT/ua/tests/client"
    local lock_hash stamp=node_modules/.vok-lock-sha256
    lock_hash=$(sha256sum package-lock.json | cut -d' ' -f1)
    if [ ! -d node_modules ] || [ "$(cat "$stamp" 2>/dev/null)" != "$lock_hash" ]; then
      npm ci --no-audit --no-fund --loglevel=error
      echo "$lock_hash" >"$stamp"
    fi
  )
}
