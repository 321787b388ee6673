#!/usr/bin/env bash
# Installs what is missing, builds, and runs the newest thing that runs: two
# simulated counters on a pseudo-terminal registered as COM90, read with every
# counter command by 'vok query'. VOK_DEMO_PORT picks another COM name.
source "$(dirname "$0")/common.sh"
vok_build
vok="$VOK_BUILD_DIR/bin/vok"
port=${VOK_DEMO_PORT:-COM90}

# A demo that was killed may have left its COM name behind.
"$vok" ports remove "$port" >/dev/null 2>&1 || true

ready=$(mktemp)
"$vok" sim --port "$port" --counter 1 --counter 2 --interval 10 --time-scale 10 --pace >"$ready" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$ready"' EXIT
for _ in $(seq 50); do
  [ -s "$ready" ] && break
  kill -0 "$sim" 2>/dev/null || { echo "the simulator did not start" >&2; exit 1; }
  sleep 0.1
done
echo "simulator: $(cat "$ready")"
echo "serial ports:"
"$vok" ports list
for address in 1 2; do
  echo "counter $address on $port:"
  "$vok" query --port "$port" --address "$address" --sample
done
echo "counter 1 polled as a device, two passes (first: initialisation):"
"$vok" probe --port "$port" --address 1 --passes 2 --interval 2 --bins 0.5,1,5 | cut -c1-400
config=$(mktemp --suffix=.psf)
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -f "$ready" "$config"' EXIT
"$vok" config new "$config" --device "$port:1" --device "$port:2" --live
echo "that configuration, loaded again (devices and their standard groups):"
"$vok" config dump "$config" | python3 -c 'import json,sys; d=json.load(sys.stdin); [print(" ", x["name"], "port", x["port_number"], "address", x["bus_address"] - 128, "groups", [g["name"] for g in x["groups"]]) for x in d["devices"]]; print("  errors:", d["errors"])' 2>/dev/null || "$vok" config dump "$config" | head -20
