#!/usr/bin/env bash
# Installs what is missing, builds, and runs the newest thing that runs: two
# simulated counters on a pseudo-terminal registered as COM90, read with every
# counter command by 'vok query', polled by 'vok probe', found by 'vok discover'
# and added to a configuration that the headless server 'vok-explorer --headless --poll' serves until it is
# told to stop (and an OPC UA client browses, reads, subscribes and writes
# through its endpoint, then another one, refused until its certificate is
# trusted, signs in over an encrypted channel and writes), and on a machine
# with a display the operator's window on it.
# VOK_DEMO_PORT picks another COM name, VOK_DEMO_UA_PORT another TCP port for
# the server's OPC UA endpoint (4840), which a node-opcua client reads.
source "$(dirname "$0")/common.sh"
vok_build
vok="$VOK_BUILD_DIR/bin/vok"
explorer="$VOK_BUILD_DIR/bin/vok-explorer"
port=${VOK_DEMO_PORT:-COM90}
ua_port=${VOK_DEMO_UA_PORT:-4840}

# The demo keeps its registry (settings, COM names) and run-time files in a
# folder of its own, with the server's event log switched on.
demo=$(mktemp -d)
export VOK_REGISTRY_DIR="$demo/registry" XDG_RUNTIME_DIR="$demo/run"
mkdir -p "$VOK_REGISTRY_DIR" && mkdir -m 700 "$XDG_RUNTIME_DIR"
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer\\Settings]\r\n"Event Log Enabled"=dword:00000001\r\n"Event Log File"="%s"\r\n\r\n' \
  "$demo/events.txt" >"$VOK_REGISTRY_DIR/HKEY_LOCAL_MACHINE.reg"

# A demo that was killed may have left its COM name behind.
"$vok" ports remove "$port" >/dev/null 2>&1 || true

ready=$(mktemp)
"$vok" sim --port "$port" --counter 1 --counter 2 --interval 10 --time-scale 10 --pace >"$ready" &
sim=$!
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$ready" "$demo"' EXIT
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
trap 'kill "$sim" 2>/dev/null; wait "$sim" 2>/dev/null; rm -rf "$ready" "$config" "$demo"' EXIT
rm -f "$config"
echo "the counters on $port found by a search of all its addresses, added to a new configuration:"
"$vok" discover --port "$port" --echo-timeout 50 --add "$config" 2>"$demo/discover.err" | sed 's/^/  /'
tail -2 "$demo/discover.err" | sed 's/^/  /'
echo "that configuration, loaded again (devices and their standard groups):"
"$vok" config dump "$config" | python3 -c 'import json,sys; d=json.load(sys.stdin); [print(" ", x["name"], "port", x["port_number"], "address", x["bus_address"] - 128, "groups", [g["name"] for g in x["groups"]]) for x in d["devices"]]; print("  errors:", d["errors"])' 2>/dev/null || "$vok" config dump "$config" | head -20
echo "two items read through an OPC group (the client serves the class in its own process):"
"$vok" opc read --config "$config" "4400 VOK 90-01.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01" \
  "4400 vok 90-02.sample interval" --timeout 60 | python3 -c 'import json,sys; [print("  ", i["id"], "=", i.get("value"), "quality", i.get("quality"), i.get("canonical_type")) for i in json.load(sys.stdin)["items"]]'
echo "the address space as a browsing client sees it:"
"$vok" opc browse --config "$config" "4400 VOK 90-02" | python3 -c 'import json,sys; d=json.load(sys.stdin); print("  at", d["position"], "branches", d["branches"]); print("  leaves", d["leaves"])'
"$vok" opc browse --config "$config" --all | python3 -c 'import json,sys; d=json.load(sys.stdin)["items"]; print("  a walk from the root yields", len(d), "item IDs, e.g.", d[0], "and", d[-1])'

echo "the headless server on that configuration, polling both counters:"
"$explorer" --headless --poll --ua-port "$ua_port" --history "$demo/history.db" "$config" >"$demo/server.out" 2>"$demo/server.err" &
server=$!
for _ in $(seq 100); do
  [ -s "$demo/server.out" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
echo "  $(cat "$demo/server.out")"
"$explorer" --headless "$config"
echo "  a second start ends at once with status $? (one server per user)"
sleep 6
echo "OPC clients in processes of their own, through the server's socket:"
"$vok" opc status --group Cleanroom --groups 2
"$vok" opc browse --all | python3 -c 'import json,sys; d=json.load(sys.stdin)["items"]; print("  browsing the running server yields", len(d), "item IDs")'
echo "  live counts of counter 1, three data changes at 500 ms:"
"$vok" opc subscribe "4400 VOK 90-01.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01" "4400 VOK 90-01.Total Raw Counts" \
  --rate 500 --count 3 | python3 -c 'import json,sys; [print("   ", ", ".join("%s = %s (quality %s)" % (i["id"].split(".")[-1], i["value"], i["quality"]) for i in json.loads(l)["items"])) for l in sys.stdin]'
"$vok" opc write "4400 VOK 90-02.Sample Interval=20" | python3 -c 'import json,sys; [print("  wrote", i["id"], "= 20:", i["result"]) for i in json.load(sys.stdin)["items"]]'
"$vok" opc write "4400 VOK 90-02.Sample Interval=abc" 2>/dev/null | python3 -c 'import json,sys; [print("  a value that is no number is refused:", i["result"]) for i in json.load(sys.stdin)["items"]]' \
  && echo "  ... and vok opc exited with status 0" || echo "  ... and vok opc exited with status 1"
echo "an OPC UA client (node-opcua, installed for the demo) at opc.tcp://localhost:$ua_port, the same tags:"
vok_ua_client_packages >/dev/null
# node-opcua's own notes (its certificate, a Node flag for a policy the demo
# does not use) are left out.
# Anonymous sessions only read; the demo's operator writes.
printf '%s\n' "demo-operator-password" | "$vok" ua users add demo-op --role operator >/dev/null
VOK_UA_USER=demo-op VOK_UA_PASSWORD=demo-operator-password \
  node "$VOK_ROOT/ua/tests/client/demo.js" "opc.tcp://localhost:$ua_port" "4400 VOK 90-01" 3 2>&1 \
  | grep -v -E '^[0-9:.]+Z :' || echo "  the OPC UA client failed (see above)"
# The same from the machine's network address, signed and encrypted: refused
# until the client's certificate is trusted, as an administrator would.
address=$(hostname -I 2>/dev/null | awk '{print $1}')
address=${address:-$(hostname)}
[[ "$address" == *:* ]] && address="[$address]"
secure_demo() {
  VOK_UA_USER=demo-op VOK_UA_PASSWORD=demo-operator-password \
    node "$VOK_ROOT/ua/tests/client/demo-secure.js" "opc.tcp://$address:$ua_port" "4400 VOK 90-02" "$demo/client-pki" 2>&1 \
    | grep -v -E '^[0-9:.]+Z :'
}
echo "a client with a certificate of its own at opc.tcp://$address:$ua_port (Basic256Sha256, SignAndEncrypt):"
secure_demo || true
echo "  the server kept its certificate as rejected; vok ua certs list:"
"$vok" ua certs list | sed 's/^/    /'
thumbprint=$("$vok" ua --json certs list | python3 -c 'import json,sys; r=json.load(sys.stdin)["rejected"]; print(r[0]["thumbprint"] if r else "")')
if [ -n "$thumbprint" ]; then
  echo "  vok ua certs trust $thumbprint: $("$vok" ua certs trust "$thumbprint")"
  echo "  the client again:"
  secure_demo || echo "  the encrypted client failed (see above)"
fi
echo "the sample history the server kept meanwhile (every sample of both counters), read with vok history:"
history=("$vok" history --db "$demo/history.db")
"${history[@]}" devices | sed 's/^/  /'
echo "  the last half minute of counter 1, bins 1 and 2 (vok history samples):"
"${history[@]}" samples "4400 VOK 90-01" --from -30s --bins 1-2 | cut -c1-130 | sed 's/^/    /'
"${history[@]}" export --from -10m --to now --csv "$demo/export.csv" 2>/dev/null
echo "  vok history export: $(($(wc -l <"$demo/export.csv") - 1)) rows, one per sample and bin, under the header"
echo "    $(head -1 "$demo/export.csv" | tr -d '\r')"
"${history[@]}" check | sed 's/^/  /' | head -8
node "$VOK_ROOT/ua/tests/client/demo-history.js" "opc.tcp://localhost:$ua_port" "4400 VOK 90-01" 10 "$vok" "$demo/history.db" 2>&1 \
  | grep -v -E '^[0-9:.]+Z :' || echo "  the history client failed (see above)"
kill -TERM "$server"
wait "$server" && status=0 || status=$?
echo "the server stopped on SIGTERM with exit status $status; its event log:"
grep -E "Application|Poll loop started|Open successfully|OPC UA (endpoint|session|sign-in|client certificate)" "$demo/events.txt" \
  | grep -v "OPCGroup::" | sed 's/^/  /' | head -24
echo "  ... and $(grep -c "Msg Success" "$demo/events.txt") counter exchanges answered while it ran"
echo "counter 2, asked directly, now reports a sample interval of $("$vok" query --port "$port" --address 2 | python3 -c 'import json,sys; print(json.load(sys.stdin)["sample_interval"])') s"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "the operator's window on that configuration, both counters polling; close it (or File / Exit) to end the demo"
  "$explorer" --poll "$config" >"$demo/window.out" 2>"$demo/window.err" && status=0 || status=$?
  echo "the window closed with exit status $status"
else
  echo "no display here (DISPLAY is not set): the operator's window 'vok-explorer --poll FILE' needs one; the headless server above is what this machine runs"
fi
