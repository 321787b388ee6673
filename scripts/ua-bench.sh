#!/usr/bin/env bash
# scripts/ua-bench.sh [BIN_DIR] [LOAD OPTIONS...]: the OPC UA benchmark.
#
# Measures our OPC UA server (BIN_DIR/bench_ua, default build/bin: the 53
# simulated-data devices, 10,070 tags) and, as the peer, a node-opcua
# OPCUAServer with 10,000 variables changing as often as our simulated values,
# one after the other so that neither takes the other's CPU, under the same
# node-opcua client (bench/ua/load.js): Read of 1,000 nodes (round trip),
# a subscription of 10,000 items at 100 ms sampling and 1 s publishing (each
# server's CPU from /proc), and the time from a write of a marker node to its
# notification. The peer's values change as often as ours, and as many of
# them as ours notified. Each server is measured twice: over SecurityPolicy
# None and over a Basic256Sha256 SignAndEncrypt channel (anonymous; ours
# trusts the load's client certificate through `vok ua certs trust`, the
# peer accepts any). Prints both servers' figures under both policies with
# the targets, which judge the None figures.
#
# Builds nothing: build bench_ua and vok first (cmake --build build --target bench_ua vok).
# Without it only the peer is measured. Uses the OPC UA client suite's pinned
# node-opcua (ua/tests/client), installed when missing. Load options (see load.js)
# pass through, e.g. `scripts/ua-bench.sh build/bin --duration 20 --reads 100`.
# Environment: UA_BENCH_PORT_OURS, UA_BENCH_PORT_PEER (loopback ports, default
# 48411 and 48412), UA_BENCH_OUT (a folder the result files are copied to).
source "$(dirname "$0")/common.sh"

root=$VOK_ROOT
bin=$root/build/bin
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  bin=$(cd "$1" && pwd)
  shift
fi
load_options=("$@")
ua=$root/bench/ua
port_ours=${UA_BENCH_PORT_OURS:-48411}
port_peer=${UA_BENCH_PORT_PEER:-48412}

# The load and the peer are scripts beside this one's suite of clients: one
# pinned node-opcua for both.
vok_ua_client_packages
export NODE_PATH="$root/ua/tests/client/node_modules"

work=$(mktemp -d "${TMPDIR:-/tmp}/vok-ua-bench.XXXXXX")
started=()
cleanup() {
  for pid in "${started[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${started[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# Waits until the server wrote its descriptor; false when it ended first or
# did not listen within a minute.
wait_for_descriptor() {
  local file=$1 pid=$2
  for _ in $(seq 1 600); do
    [ -f "$file" ] && return 0
    kill -0 "$pid" 2>/dev/null || return 1
    sleep 0.1
  done
  return 1
}

# Asks the server to end and waits for it; says so when it had to be killed.
stop_server() {
  local pid=$1 name=$2
  kill -TERM "$pid" 2>/dev/null || return 0
  for _ in $(seq 1 100); do
    kill -0 "$pid" 2>/dev/null || { wait "$pid" 2>/dev/null || true; return 0; }
    sleep 0.1
  done
  echo "ua-bench: $name did not end within 10 s of SIGTERM; killed"
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

# node-opcua warns on every start that Node 20 needs a flag for RSA PKCS#1
# v1.5 decryption, which SecurityPolicy None never uses.
quiet() {
  grep --line-buffered -v -e 'NODE-OPCUA-W27' -e 'security-revert=CVE'
}

# The load's and the peer's node-opcua certificate folders; ours keeps its
# own beside its settings ($work/ours/pki).
node_pki=$work/node-pki
client_certificate=$node_pki/client/own/certs/client_certificate.pem

run_load() {
  local descriptor=$1 out=$2 label=$3 policy=$4
  if ! (cd "$ua" && node load.js --descriptor "$descriptor" --out "$out" --label "$label" --policy "$policy" \
          --clock-ticks "$(getconf CLK_TCK)" --pki "$node_pki" "${load_options[@]}" 2>&1 | quiet
        exit "${PIPESTATUS[0]}"); then
    echo "ua-bench: the load against $label failed"
  fi
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine shows in every figure)"

interval=()
if [ -x "$bin/bench_ua" ]; then
  mkdir -p "$work/run" "$work/ours/registry"
  chmod 700 "$work/run"
  # Through it the load has the marker written in-process when UA Write is refused.
  mkfifo "$work/marker"
  XDG_RUNTIME_DIR=$work/run VOK_REGISTRY_DIR=$work/ours/registry \
    "$bin/bench_ua" --serve "$port_ours" "$work/ours-server.json" "$work/marker" >"$work/ours.log" 2>&1 &
  ours_pid=$!
  started+=("$ours_pid")
  if wait_for_descriptor "$work/ours-server.json" "$ours_pid"; then
    cat "$work/ours.log"
    interval=(--interval "$(node -e 'console.log(require(process.argv[1]).changeIntervalSeconds)' "$work/ours-server.json")")
    echo "--- ours, None"
    run_load "$work/ours-server.json" "$work/ours.json" "ours" None
    # The None run made the load's client certificate; ours trusts it as an
    # administrator would.
    echo "--- ours, Basic256Sha256 SignAndEncrypt"
    if [ ! -x "$bin/vok" ]; then
      echo "ua-bench: $bin/vok is not built: ours is not measured over Basic256Sha256"
    elif [ ! -f "$client_certificate" ]; then
      echo "ua-bench: the load made no client certificate ($client_certificate)"
    elif ! VOK_REGISTRY_DIR=$work/ours/registry "$bin/vok" ua certs trust "$client_certificate" >"$work/trust.log" 2>&1; then
      echo "ua-bench: vok ua certs trust failed:"
      cat "$work/trust.log"
    else
      run_load "$work/ours-server.json" "$work/ours-secure.json" "ours" Basic256Sha256
    fi
  else
    echo "ua-bench: our server did not start:"
    cat "$work/ours.log"
  fi
  stop_server "$ours_pid" "our server"
else
  echo "ua-bench: $bin/bench_ua is not built (the ua library has no server yet): only the peer is measured"
fi

# The peer changes as many values per interval as ours notified (not every
# tag of a counter changes on a poll), when ours was measured.
changing=()
if [ -f "$work/ours.json" ]; then
  per_interval=$(node -e '
    const r = require(process.argv[1]), s = r.subscription || {};
    console.log(s.notificationsInWindow > 0 && s.windowS > 0
      ? Math.round(s.notificationsInWindow * r.changeIntervalSeconds / s.windowS) : 0);' "$work/ours.json")
  if [ "$per_interval" -gt 0 ]; then changing=(--changing "$per_interval"); fi
fi

(cd "$ua" && exec node peer-server.js --port "$port_peer" --descriptor "$work/peer-server.json" \
    --pki "$node_pki" "${interval[@]}" "${changing[@]}") >"$work/peer.log" 2>&1 &
peer_pid=$!
started+=("$peer_pid")
if ! wait_for_descriptor "$work/peer-server.json" "$peer_pid"; then
  echo "ua-bench: the node-opcua peer did not start:"
  cat "$work/peer.log"
  exit 1
fi
grep '^peer:' "$work/peer.log" || true
echo "--- node-opcua, None"
run_load "$work/peer-server.json" "$work/peer.json" "node-opcua" None
echo "--- node-opcua, Basic256Sha256 SignAndEncrypt"
run_load "$work/peer-server.json" "$work/peer-secure.json" "node-opcua" Basic256Sha256
stop_server "$peer_pid" "the node-opcua peer"

(cd "$ua" && node load.js --report "$work/peer.json" "$work/ours.json" "$work/peer-secure.json" "$work/ours-secure.json" 2>&1 | quiet)
if [ -n "${UA_BENCH_OUT:-}" ]; then
  mkdir -p "$UA_BENCH_OUT"
  cp "$work"/*.json "$UA_BENCH_OUT"/ 2>/dev/null || true
  echo "results: $UA_BENCH_OUT"
fi
