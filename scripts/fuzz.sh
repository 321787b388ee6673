#!/usr/bin/env bash
# Builds a libFuzzer target with clang and runs it for a bounded time:
# scripts/fuzz.sh [TARGET] [SECONDS] (SECONDS default 120). TARGET is one of
#   config       the configuration-file reader (the default)
#   dib          the bitmap reader of the tag icons
#   registry     a registry file of a root key
#   reply        a counter's answer to one command of the server
#   setup-reply  a counter's answer to the setup tool's reads
#   socket       what a client process sends the server on its socket
#   ua           what an OPC UA client sends on its opc.tcp connection
#   ua-services  the body of a request in an activated OPC UA session
#   history      a history database handed to vok history --db
# The seeds are made by the project's own tools each time: 'vok config new'
# for configurations, the registry writing its files for registry, 'vok sim
# --trace' under 'vok query' for the replies, and 'vok opc' clients recorded
# on their way to the server for socket; the inputs kept in
# fuzz/regressions/TARGET join them. For ua the fuzz program writes its seeds
# itself, with the transport tests' builders of the client's messages; for
# ua-services and history the kept inputs are the seeds. The corpus grows in
# build-fuzz/corpus-TARGET, crashes land in build-fuzz/crashes.
set -euo pipefail
target=config
if [ $# -gt 0 ] && ! [[ $1 =~ ^[0-9]+$ ]]; then target=$1; shift; fi
seconds=${1:-120}
case "$target" in
  config) binary=fuzz_config_file; max_len=400000 ;;
  dib) binary=fuzz_dib; max_len=65536 ;;
  registry) binary=fuzz_registry; max_len=16384 ;;
  reply) binary=fuzz_reply; max_len=1200 ;;
  setup-reply) binary=fuzz_setup_reply; max_len=4096 ;;
  socket) binary=fuzz_socket; max_len=16384 ;;
  ua) binary=fuzz_ua; max_len=70000 ;;
  ua-services) binary=fuzz_ua_services; max_len=70000 ;;
  history) binary=fuzz_history; max_len=131072 ;;
  *) echo "unknown fuzz target: $target (config, dib, registry, reply, setup-reply, socket, ua, ua-services or history)" >&2; exit 2 ;;
esac
source "$(dirname "$0")/common.sh"
vok_packages+=(clang libclang-rt-14-dev python3)
vok_install_packages
fuzz_dir="$VOK_ROOT/build-fuzz"
CC=clang CXX=clang++ cmake -S "$VOK_ROOT" -B "$fuzz_dir" -G Ninja -DVOK_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
corpus="$fuzz_dir/corpus-$target"
mkdir -p "$corpus" "$fuzz_dir/crashes"
# The tools' files and sockets stay in the build folder, away from the user's.
work="$fuzz_dir/work-$target"
rm -rf "$work"
mkdir -p "$work/registry" "$work/tmp"
chmod 700 "$work"
export VOK_REGISTRY_DIR="$work/registry" TMPDIR="$work/tmp"
vok="$fuzz_dir/bin/vok"
pids=()
sockets=""
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if [ -n "$sockets" ]; then rm -rf "$sockets"; fi
}
trap cleanup EXIT

case "$target" in
  dib|ua|ua-services|history) cmake --build "$fuzz_dir" --parallel "$(nproc)" --target "$binary" ;;
  socket) cmake --build "$fuzz_dir" --parallel "$(nproc)" --target "$binary" vok ;;
  *) cmake --build "$fuzz_dir" --parallel "$(nproc)" --target "$binary" vok ;;
esac

# Runs 'vok sim' on COM48 with a trace while 'vok query' reads every value
# of its counter, and cuts the trace into one seed per exchange: for reply
# the message type and what the counter sent back, for setup-reply the
# type, size and calibration answers as the setup tool reads them.
seed_from_sim() {
  local trace="$work/line.trace"
  "$vok" sim --port COM48 --counter 5 --bins 0.3,0.5,1,5,10 --cal 0.3:100,0.5:180,1:300 --interval 2 \
    --time-scale 20 --trace "$trace" >/dev/null 2>&1 &
  pids+=($!)
  local tries=0
  until "$vok" ports list 2>/dev/null | grep -q COM48; do
    tries=$((tries + 1)); [ $tries -gt 100 ] && { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.1
  done
  "$vok" query --port COM48 --address 5 >/dev/null
  "$vok" query --port COM48 --address 5 --sample --wait 30 >/dev/null
  kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
  python3 - "$trace" "$corpus" "$target" <<'PY'
import sys
trace, corpus, target = sys.argv[1:4]
letters = {ord(c): t for c, t in [("A", 2), ("C", 3), ("E", 4), ("M", 5), ("T", 6), ("d", 8), ("K", 11),
                                  ("P", 13), ("b", 16), ("L", 19)]}
# Exchanges: a select (an address byte) or a command, with every byte the
# counter sent until the host's next exchange. The commands with a line of
# text (K, P and L, read or written) go on until their line feed; the others
# are one letter.
exchanges = []
def open_line():
    if not exchanges:
        return False
    kind, sent, _ = exchanges[-1]
    return kind in (11, 13, 19) and sent[-1] != 0x0A
for line in open(trace):
    parts = line.split()
    if len(parts) != 3:
        continue
    byte = int(parts[2], 16)
    if parts[1] == "rx":
        if byte >= 0x80:
            exchanges.append([0, bytearray([byte]), bytearray()])
        elif not open_line() and byte in letters:
            exchanges.append([letters[byte], bytearray([byte]), bytearray()])
        elif exchanges:
            exchanges[-1][1].append(byte)
    elif exchanges:
        exchanges[-1][2].append(byte)
seen = set()
for kind, sent, answer in exchanges:
    if target == "reply":
        seed = bytes([kind]) + (bytes(sent[:1]) if kind == 0 else b"") + bytes(answer)
    else:
        if kind not in (6, 11, 13):
            continue
        # The setup tool reads what follows the echo of its last command byte.
        seed = bytes(answer[len(sent):])
    if seed in seen:
        continue
    seen.add(seed)
    open("%s/seed-%02d-%d" % (corpus, kind, len(seen)), "wb").write(seed)
PY
}

case "$target" in
  config)
    "$vok" config new "$corpus/seed-empty.psf" >/dev/null
    "$vok" config new "$corpus/seed-one.psf" --device COM1:1 >/dev/null
    "$vok" config new "$corpus/seed-two.psf" --device COM1:1 --device COM2:63 >/dev/null
    # The layers of their groups and tags, written by the program's own writer.
    export VOK_FUZZ_CONFIG_SEEDS="$corpus"
    ;;
  dib)
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
    ;;
  registry)
    # The files the registry writes: the COM names given to the machine's
    # devices, and with a simulated line's pseudo-terminal among them.
    "$vok" ports list >/dev/null
    for f in "$VOK_REGISTRY_DIR"/*.reg; do cp "$f" "$corpus/seed-listed-$(basename "$f")"; done
    "$vok" sim --port COM48 --counter 5 >/dev/null 2>&1 &
    pids+=($!)
    tries=0
    until "$vok" ports list 2>/dev/null | grep -q COM48; do
      tries=$((tries + 1)); [ $tries -gt 100 ] && { echo "the simulator did not start" >&2; exit 1; }
      sleep 0.1
    done
    for f in "$VOK_REGISTRY_DIR"/*.reg; do cp "$f" "$corpus/seed-simulated-$(basename "$f")"; done
    kill "${pids[-1]}"; wait "${pids[-1]}" 2>/dev/null || true
    ;;
  reply|setup-reply) seed_from_sim ;;
  ua)
    # Hello, an opened channel, requests whole, in chunks and aborted, a
    # renewal and a close: written by the fuzz program as it starts.
    export VOK_FUZZ_UA_SEEDS="$corpus"
    ;;
  socket)
    # The server serves from the fuzz program; recorded clients reach it
    # through a relay that keeps every byte a client sent, one seed per
    # connection. The variant seeds are the server's own encoding.
    # A socket's path must be short: the server's and the relay's live in /tmp.
    sockets=$(mktemp -d /tmp/vok-fuzz.XXXXXX)
    export TMPDIR="$sockets"
    mkdir -p "$work/server" "$sockets/client"
    chmod 700 "$work/server" "$sockets/client"
    XDG_RUNTIME_DIR="$work/server" VOK_FUZZ_SOCKET_SERVE=120 VOK_FUZZ_SOCKET_SEEDS="$corpus" \
      "$fuzz_dir/bin/$binary" >"$work/serve.out" 2>"$work/serve.err" &
    pids+=($!)
    tries=0
    until [ -s "$work/serve.out" ]; do
      tries=$((tries + 1)); [ $tries -gt 300 ] && { echo "the server did not start" >&2; cat "$work/serve.err" >&2; exit 1; }
      sleep 0.1
    done
    server_socket=$(head -n1 "$work/serve.out")
    client_socket="$sockets/client/vok/$(basename "$server_socket")"
    python3 - "$server_socket" "$client_socket" "$corpus" >"$work/relay.out" 2>&1 <<'PY' &
import os, socket, sys, threading
server_path, client_path, corpus = sys.argv[1:4]
os.makedirs(os.path.dirname(client_path), mode=0o700, exist_ok=True)
listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
listener.bind(client_path)
os.chmod(client_path, 0o600)
listener.listen(8)
print("ready", flush=True)
def pump(source, sink, record):
    while True:
        try:
            data = source.recv(65536)
        except OSError:
            data = b""
        if not data:
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            return
        if record is not None:
            record.write(data)
            record.flush()
        try:
            sink.sendall(data)
        except OSError:
            return
count = 0
while True:
    client, _ = listener.accept()
    count += 1
    server = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    server.connect(server_path)
    record = open("%s/seed-client-%02d" % (corpus, count), "wb")
    threading.Thread(target=pump, args=(client, server, record), daemon=True).start()
    threading.Thread(target=pump, args=(server, client, None), daemon=True).start()
PY
    pids+=($!)
    tries=0
    until grep -q ready "$work/relay.out" 2>/dev/null; do
      tries=$((tries + 1)); [ $tries -gt 100 ] && { echo "the relay did not start" >&2; exit 1; }
      sleep 0.1
    done
    opc() { XDG_RUNTIME_DIR="$sockets/client" timeout 60 "$vok" opc "$@" >>"$work/opc.out" 2>&1 || true; }
    opc status --group Room --groups 2
    opc browse --all
    opc read Dev1.Level --timeout 2
    opc read Dev1.Level --timeout 2 --type VT_BSTR
    opc write Dev1.Level=42.5
    opc write --async Dev1.Level=7
    opc subscribe Dev1.Level --rate 100 --count 2 --raw
    opc subscribe Dev1.Level --rate 100 --count 1 --format data
    # The data streams the subscriptions printed, as the stream kind's seeds.
    python3 - "$work/opc.out" "$corpus" <<'PY'
import json, sys
n = 0
for line in open(sys.argv[1]):
    try:
        change = json.loads(line)
    except ValueError:
        continue
    raw = change.get("raw") if isinstance(change, dict) else None
    if isinstance(raw, str):
        n += 1
        # Read as either layout: with time stamps (flag 1) and without (0).
        for flag in (0, 1):
            open("%s/seed-stream-%02d-%d" % (sys.argv[2], n, flag), "wb").write(b"S" + bytes([flag]) + bytes.fromhex(raw))
PY
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    pids=()
    ;;
esac
cp "$VOK_ROOT/fuzz/regressions/$target"/* "$corpus/" 2>/dev/null || true
extra=()
# The server starts and ends group threads around every input; the leak
# check after each input has reported the first wait of a group thread just
# started, which no replay repeats. The leak check at the end of the run
# still covers everything the inputs left behind.
[ "$target" = socket ] && extra+=(-detect_leaks=0)

nice -n 10 "$fuzz_dir/bin/$binary" -max_total_time="$seconds" -max_len="$max_len" -rss_limit_mb=4096 -timeout=30 \
  -artifact_prefix="$fuzz_dir/crashes/$target-" -print_final_stats=1 "${extra[@]}" "$corpus"
