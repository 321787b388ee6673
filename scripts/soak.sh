#!/usr/bin/env bash
# scripts/soak.sh [MINUTES]: a soak run of the headless server (default 10 minutes).
#
# Builds vok and vok-explorer, then runs `vok-explorer --headless --poll` on six
# counter devices (three simulated lines, COM71 to COM73, two counters each,
# polled every SOAK_INTERVAL seconds, default 5) while:
#   - faults come and go, one episode at a time, on one counter or one line in
#     turn: a silent counter, a lost echo (the counter stops in the middle of an
#     exchange), bad checksums (all switched through the simulator's control
#     file), and a hang-up of the whole line (its simulator is stopped and
#     started again after a while, so the server must open the COM name anew);
#   - OPC clients come and go: one long-running subscriber per device, and in a
#     loop status calls, subscriptions that end by themselves, subscriptions
#     killed with SIGKILL in the middle, writes of a sample interval and
#     browsing of the whole address space;
#   - the configuration is saved with SIGHUP now and then, and the saved file
#     is loaded again with `vok config dump`.
# At regular times (every minute; more often in short runs, at least twelve
# samples) the server's resident memory (VmRSS and its anonymous part RssAnon),
# open descriptors and threads are sampled.
#
# At the end it prints the samples, the data changes delivered to subscribers,
# the errors per kind and every fault episode with the time its counters took
# to come back, and ends with PASS (status 0) or FAIL lines (status 1) saying why.
#
# It FAILS when
#   - memory, descriptors or threads keep growing. The rule: the first fifth
#     of the run is warm-up (allocator arenas, worker threads, caches); the
#     baseline is the first sample after it. Growth is found when the maximum of
#     the samples in the last third of the run is above the baseline by more
#     than the margin: VmRSS 10 % of the baseline or 4 MiB, whichever is more,
#     RssAnon (its anonymous part: heap and stacks, without the pages of the
#     program and its libraries) 10 % or 2 MiB; descriptors 8 and threads 8
#     (clients connected at the moment of a sample hold a socket and a worker
#     thread each, and up to three churn clients run at once);
#   - a counter does not come back within two poll intervals of its fault
#     ending: measured from the fault's end to the change of the device's Comm
#     Status back to 0 (the counter answers and is initialised again) after the
#     last failure the fault caused, as the device's long-running subscriber
#     receives it (time stamps have whole seconds: the end of that second
#     counts). The first fresh count comes one sample later, as the counter
#     starts a new sample when it is initialised; it is shown, not judged;
#   - the server stops serving: a status call fails, the process dies, or it does
#     not end with status 0 after its clients went away and it got SIGTERM;
#   - a save request does not save, or the saved file does not load again.
#
# Everything it starts runs in a folder it names at the start (SOAK_DIR, default
# /tmp/vok-soak-<time>) with its own registry and runtime folder, and it is all
# ended on exit, Ctrl+C or failure. Works without a display and as root.
# Knobs (environment): SOAK_DIR, SOAK_INTERVAL (poll interval, s), SOAK_SAMPLE
# (sample interval, s), SOAK_NO_BUILD=1 (use the binaries in the build folder as
# they are).
set -uo pipefail
source "$(dirname "$0")/common.sh"
set +e

minutes=${1:-10}
case "$minutes" in '' | *[!0-9]*) echo "usage: scripts/soak.sh [MINUTES]" >&2; exit 2 ;; esac
[ "$minutes" -ge 1 ] || { echo "usage: scripts/soak.sh [MINUTES] (at least 1)" >&2; exit 2; }
duration=$((minutes * 60))
interval=${SOAK_INTERVAL:-5}
sample_every=${SOAK_SAMPLE:-$((duration / 12 < 10 ? 10 : (duration / 12 > 60 ? 60 : duration / 12)))}
fault_s=$((interval * 3 + 1))    # a fault lasts three poll passes or more
quiet_s=$((interval * 2 + 3))    # then the counters come back (two poll intervals at most)
warmup_s=$((interval * 2))       # a few quiet passes before the first fault

if [ "${SOAK_NO_BUILD:-}" != 1 ]; then
  vok_packages+=(python3)
  VOK_BUILD_TARGETS="vok vok-explorer" vok_build || { echo "FAIL: the build failed" >&2; exit 1; }
fi
for program in "$VOK_BUILD_DIR/bin/vok" "$VOK_BUILD_DIR/bin/vok-explorer"; do
  [ -x "$program" ] || { echo "FAIL: $program is missing" >&2; exit 1; }
done
command -v python3 >/dev/null || { echo "FAIL: python3 is needed for the report" >&2; exit 1; }

dir=${SOAK_DIR:-/tmp/vok-soak-$(date +%Y%m%d-%H%M%S)}
mkdir -p "$dir/bin" || exit 1
dir=$(cd "$dir" && pwd)
# Copies of the programs: a build in the build folder during the run does not
# change what runs.
cp "$VOK_BUILD_DIR/bin/vok" "$VOK_BUILD_DIR/bin/vok-explorer" "$dir/bin/" || exit 1
vok="$dir/bin/vok"
explorer="$dir/bin/vok-explorer"
echo "soak: $minutes min, poll interval $interval s, a sample every $sample_every s; files in $dir"

# Its own registry, runtime folder (the server's socket) and data folder; no display.
export VOK_REGISTRY_DIR="$dir/registry" XDG_RUNTIME_DIR="$dir/run" XDG_DATA_HOME="$dir/data"
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM
mkdir -p "$VOK_REGISTRY_DIR" "$XDG_DATA_HOME" && mkdir -p -m 700 "$XDG_RUNTIME_DIR"
# The event log on, large enough that it is not started afresh during the run
# (the report counts the errors in it).
printf 'Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Vell\\VOK Explorer\\Settings]\r\n"Event Log Enabled"=dword:00000001\r\n"Event Log File"="%s"\r\n"Event Log File Size"=dword:40000000\r\n\r\n' \
  "$dir/events.txt" >"$VOK_REGISTRY_DIR/HKEY_LOCAL_MACHINE.reg"

lines=(COM71 COM72 COM73)
addresses=(1 2)
devices=()
for line in "${lines[@]}"; do
  for a in "${addresses[@]}"; do devices+=("4400 VOK ${line#COM}-0$a"); done
done
now_ms() { date +%s%3N; }

# Every process group it starts (set -m gives each background job its own),
# so that the cleanup ends them with everything they started.
set -m
groups=()
server=""
cleanup() {
  trap - EXIT INT TERM
  set +m  # no job notices while the groups end
  for g in "${groups[@]}"; do kill -TERM -- "-$g" 2>/dev/null; done
  for f in "$dir"/sim-*.pid; do
    [ -f "$f" ] && kill -TERM "$(cat "$f")" 2>/dev/null
  done
  [ -n "$server" ] && kill -TERM "$server" 2>/dev/null
  sleep 1
  for g in "${groups[@]}"; do kill -KILL -- "-$g" 2>/dev/null; done
  for f in "$dir"/sim-*.pid; do
    [ -f "$f" ] && kill -KILL "$(cat "$f")" 2>/dev/null
  done
  [ -n "$server" ] && kill -KILL "$server" 2>/dev/null
  wait 2>/dev/null
}
interrupted() {
  echo "FAIL: interrupted; files in $dir"
  cleanup
  exit 130
}
trap cleanup EXIT
trap interrupted INT TERM

# One simulated line: its counters, polled every $interval seconds; faults come
# from its control file. Waits for the line to serve; records the pid.
start_sim() {
  local line=$1
  local out="$dir/sim-$line.out"
  : >"$out"
  "$vok" sim --port "$line" --counter 1 --counter 2 --interval "$interval" \
    --control "$dir/faults-$line" >"$out" 2>>"$dir/sim-$line.err" &
  echo $! >"$dir/sim-$line.pid"
  for _ in $(seq 100); do
    grep -q '^ready' "$out" && return 0
    sleep 0.1
  done
  return 1
}
# Faults of a line's counters: the control file is written whole and renamed over.
set_faults() {
  printf '%s\n' "$2" >"$dir/faults-$1.new" && mv -f "$dir/faults-$1.new" "$dir/faults-$1"
}

for line in "${lines[@]}"; do
  "$vok" ports remove "$line" >/dev/null 2>&1
  set_faults "$line" ""
  start_sim "$line" || { echo "FAIL: the simulator of $line did not start: $(cat "$dir/sim-$line.err")"; exit 1; }
  groups+=("$(cat "$dir/sim-$line.pid")")
done

config="$dir/soak.psf"
device_args=()
for line in "${lines[@]}"; do for a in "${addresses[@]}"; do device_args+=(--device "$line:$a"); done; done
"$vok" config new "$config" "${device_args[@]}" --live >/dev/null ||
  { echo "FAIL: vok config new could not write $config"; exit 1; }

"$explorer" --headless --poll "$config" >"$dir/server.out" 2>"$dir/server.err" &
server=$!
groups+=("$server")
for _ in $(seq 100); do
  [ -s "$dir/server.out" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.1
done
grep -q '"class_published": true' "$dir/server.out" ||
  { echo "FAIL: the server did not start: $(cat "$dir/server.out" "$dir/server.err")"; exit 1; }
echo "server: pid $server, $(cat "$dir/server.out")"
start_ms=$(now_ms)
echo "$start_ms" >"$dir/start_ms"

# New devices sample (and so poll) every 30 s; the soak's poll interval goes
# to every counter as a client would write it.
for d in "${devices[@]}"; do
  timeout -k 5 60 "$vok" opc write "$d.Sample Interval=$interval" >>"$dir/client-write.out" 2>>"$dir/client-write.err" ||
    { echo "FAIL: the sample interval of $d could not be written: $(tail -1 "$dir/client-write.err")"; exit 1; }
done

# The item each device's long-running subscriber watches: it changes with every
# sample, and its quality says whether the counter answers.
watched_item() { echo "$1.Total Raw Counts"; }
# With its Comm Status (0 while the counter answers).
status_item() { echo "$1.Comm Status"; }

# One long-running subscriber per device, for the whole run.
long_subs=()
for d in "${devices[@]}"; do
  f="$dir/sub-${d// /_}.jsonl"
  "$vok" opc subscribe "$(watched_item "$d")" "$(status_item "$d")" --rate 1000 >"$f" 2>"${f%.jsonl}.err" &
  long_subs+=($!)
  groups+=($!)
done

# Every device delivers good data before the first fault.
ready=""
for _ in $(seq 120); do
  ready=yes
  for d in "${devices[@]}"; do
    grep -q 'Total Raw Counts","quality":192' "$dir/sub-${d// /_}.jsonl" || ready=""
  done
  [ -n "$ready" ] && break
  kill -0 "$server" 2>/dev/null || break
  sleep 0.5
done
[ -n "$ready" ] || echo "soak: not every device delivered good data within a minute of the start; the faults begin anyway"
echo "soak: devices polling after $((($(now_ms) - start_ms) / 1000)) s; faults and clients start"

# The fault episodes, one after the other: faults.tsv gets one line per
# episode, "number kind line address start_ms end_ms" (address * for the whole line).
fault_loop() {
  local kinds=(silent no-echo bad-checksum hangup) i=0 kind line addr start end
  sleep "$warmup_s"
  while :; do
    kind=${kinds[$((i % 4))]}
    line=${lines[$((i % 3))]}
    addr=${addresses[$(((i / 3) % 2))]}
    start=$(now_ms)
    case $kind in
      silent) set_faults "$line" "--silent $addr" ;;
      no-echo) set_faults "$line" "--no-echo-after $addr:3" ;;
      bad-checksum) set_faults "$line" "--bad-checksum $addr" ;;
      hangup)
        addr='*'
        kill -TERM "$(cat "$dir/sim-$line.pid")" 2>/dev/null
        while kill -0 "$(cat "$dir/sim-$line.pid")" 2>/dev/null; do sleep 0.1; done
        ;;
    esac
    echo "$kind $line $addr $start" >"$dir/fault-now"
    sleep "$fault_s"
    if [ "$kind" = hangup ]; then
      start_sim "$line" || echo "the simulator of $line did not start again" >>"$dir/fault-errors"
    else
      set_faults "$line" ""
      # The simulator takes the file within a fifth of a second.
      sleep 0.3
    fi
    end=$(now_ms)
    : >"$dir/fault-now"
    echo "$i $kind $line $addr $start $end" >>"$dir/faults.tsv"
    sleep "$quiet_s"
    i=$((i + 1))
  done
}

# A client call with a time limit; clients.tsv gets "time_ms kind status".
client() {
  local kind=$1
  shift
  local status
  # In the loop's process group (not one of its own), so that the cleanup ends it too.
  timeout --foreground -k 5 60 "$vok" opc "$@" >>"$dir/client-$kind.out" 2>>"$dir/client-$kind.err"
  status=$?
  echo "$(now_ms) $kind $status" >>"$dir/clients.tsv"
}

# Clients that come and go, in a loop.
churn_loop() {
  local n=0 pid d status items=()
  for d in "${devices[@]}"; do items+=("$(watched_item "$d")"); done
  while :; do
    n=$((n + 1))
    client status status --groups 2
    # A subscription that ends by itself after two data changes.
    client subscribe subscribe "${items[@]}" --rate 500 --count 2
    # A subscription killed in the middle, without a word to the server.
    "$vok" opc subscribe "${items[@]}" "${devices[0]}.Sample Interval" --rate 100 >>"$dir/client-killed.out" \
      2>>"$dir/client-killed.err" &
    pid=$!
    sleep "$((1 + n % 3))"
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    status=$?
    echo "$(now_ms) killed $status" >>"$dir/clients.tsv"
    # Writes to a device whose counter has no fault now: its sample interval
    # (the value it has: a new one would restart the counter's sample) and
    # whether an analog input is in service.
    d=${devices[$((n % ${#devices[@]}))]}
    local fkind="" fline="" faddr="" dline dnum
    read -r fkind fline faddr _ <"$dir/fault-now" 2>/dev/null
    dnum=${d##* }                # 71-02
    dline=COM${dnum%-*}
    if [ "$fline" != "$dline" ] || { [ "$faddr" != '*' ] && [ "$faddr" != "${dnum##*-0}" ]; }; then
      client write write "$d.Sample Interval=$interval" "$d.Analog Data.Analog Input 8 - In Service=$((n / 6 % 2))"
    fi
    if [ $((n % 5)) -eq 0 ]; then client browse browse --all; fi
    if [ $((n % 7)) -eq 0 ]; then client read read "${items[0]}" --timeout 30; fi
  done
}

fault_loop >"$dir/fault-loop.log" 2>&1 &
groups+=($!)
churn_loop >"$dir/churn-loop.log" 2>&1 &
groups+=($!)

# Samples of the server process: samples.tsv gets "time_ms rss_kib fds
# threads anon_kib". RssAnon is the part of VmRSS that is the process's own
# memory (heap, stacks); the rest is pages of the program and its libraries,
# which grow as more of their code runs for the first time.
sample() {
  local rss threads fds anon
  rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$server/status" 2>/dev/null)
  anon=$(awk '/^RssAnon:/ {print $2}' "/proc/$server/status" 2>/dev/null)
  threads=$(awk '/^Threads:/ {print $2}' "/proc/$server/status" 2>/dev/null)
  fds=$(ls "/proc/$server/fd" 2>/dev/null | wc -l)
  [ -n "$rss" ] && echo "$(now_ms) $rss $fds $threads ${anon:-0}" >>"$dir/samples.tsv"
}
# A save request: the log must say it saved, and the file must load again.
# saves.tsv gets "time_ms result".
save() {
  local before after status
  before=$(grep -c "Configuration and settings saved on request" "$dir/events.txt" 2>/dev/null)
  kill -HUP "$server" 2>/dev/null || { echo "$(now_ms) no-server" >>"$dir/saves.tsv"; return; }
  for _ in $(seq 100); do
    after=$(grep -c "Configuration and settings saved on request" "$dir/events.txt" 2>/dev/null)
    [ "$after" -gt "$before" ] && break
    sleep 0.1
  done
  if [ "$after" -le "$before" ]; then
    echo "$(now_ms) not-logged" >>"$dir/saves.tsv"
    return
  fi
  "$vok" config dump "$config" >"$dir/dump.json" 2>"$dir/dump.err"
  status=$?
  if [ $status -ne 0 ]; then
    echo "$(now_ms) dump-status-$status" >>"$dir/saves.tsv"
  elif [ "$(grep -o '"name": "4400 VOK 7[0-9]-0[0-9]"' "$dir/dump.json" | sort -u | wc -l)" -ne ${#devices[@]} ]; then
    echo "$(now_ms) devices-missing" >>"$dir/saves.tsv"
  else
    echo "$(now_ms) ok" >>"$dir/saves.tsv"
  fi
}

died=""
sample
next_sample=$(($(date +%s) + sample_every))
end_s=$(($(date +%s) + duration))
while [ "$(date +%s)" -lt "$end_s" ]; do
  sleep 1
  if ! kill -0 "$server" 2>/dev/null; then
    died=yes
    break
  fi
  if [ "$(date +%s)" -ge "$next_sample" ]; then
    sample
    save
    next_sample=$((next_sample + sample_every))
  fi
done
[ -z "$died" ] && sample

# Winding down: no new faults or clients, the long-running subscribers end
# with an interrupt (a clean disconnect), then the server gets SIGTERM.
set +m
ending=()
for g in "${groups[@]}"; do
  [ "$g" = "$server" ] && continue
  for p in "${long_subs[@]}"; do [ "$g" = "$p" ] && continue 2; done
  kill -TERM -- "-$g" 2>/dev/null
  ending+=("$g")
done
for p in "${long_subs[@]}"; do kill -INT "$p" 2>/dev/null; done
for p in "${long_subs[@]}"; do wait "$p" 2>/dev/null; done
# Every client of the loops has ended too (a client in the middle of its call
# ends on SIGTERM), and the server has had a moment to let go of what they
# held, so that its stop is the orderly one; a client still connected at
# SIGTERM would make it end at once, with status 0 as well.
for _ in $(seq 100); do
  alive=""
  for g in "${ending[@]}"; do kill -0 -- "-$g" 2>/dev/null && alive=yes; done
  [ -z "$alive" ] && break
  sleep 0.1
done
sleep 2
server_status=died
if [ -z "$died" ]; then
  kill -TERM "$server"
  for _ in $(seq 300); do kill -0 "$server" 2>/dev/null || break; sleep 0.1; done
  if kill -0 "$server" 2>/dev/null; then
    server_status=hung
  else
    wait "$server"
    server_status=$?
  fi
fi
echo "$server_status" >"$dir/server.status"
end_ms=$(now_ms)
cleanup
trap interrupted INT TERM

python3 - "$dir" "$start_ms" "$end_ms" "$interval" "$server_status" "$warmup_s" <<'PY'
import datetime
import glob
import json
import os
import re
import sys

folder, start_ms, end_ms, interval, server_status = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
fails = []

def rows(name):
    path = os.path.join(folder, name)
    if not os.path.exists(path):
        return []
    with open(path, errors="replace") as f:
        return [line.split() for line in f if line.strip()]

# --- Resources --------------------------------------------------------------
samples = [(int(t), int(r), int(f), int(th), int(a)) for t, r, f, th, a in rows("samples.tsv")]
print("\nServer resources (VmRSS, its anonymous part RssAnon, open descriptors, threads):")
print("  %8s  %10s  %11s  %5s  %7s" % ("t (s)", "VmRSS KiB", "RssAnon KiB", "fds", "threads"))
duration_ms = end_ms - start_ms
warm_end = start_ms + duration_ms / 5
last_third = start_ms + duration_ms * 2 / 3
baseline = next((s for s in samples if s[0] >= warm_end), None)
for s in samples:
    mark = " <- baseline" if s is baseline else (" (warm-up)" if s[0] < warm_end else (" (last third)" if s[0] >= last_third else ""))
    print("  %8.0f  %10d  %11d  %5d  %7d%s" % ((s[0] - start_ms) / 1000, s[1], s[4], s[2], s[3], mark))
print("  Growth rule: baseline = first sample after the first fifth of the run (warm-up); FAIL when the maximum"
      " of the last third exceeds it by more than max(4 MiB, 10 %) of VmRSS, max(2 MiB, 10 %) of RssAnon,"
      " 8 descriptors or 8 threads.")
tail = [s for s in samples if s[0] >= last_third]
if baseline is None or len(tail) < 2 or baseline[0] >= last_third:
    fails.append("too few samples to judge growth (%d samples)" % len(samples))
else:
    rss_max, fd_max, th_max = max(s[1] for s in tail), max(s[2] for s in tail), max(s[3] for s in tail)
    anon_max = max(s[4] for s in tail)
    rss_margin = max(4096, baseline[1] // 10)
    anon_margin = max(2048, baseline[4] // 10)
    print("  last third max: VmRSS %d KiB (baseline %d, margin %d), RssAnon %d KiB (baseline %d, margin %d),"
          " fds %d (baseline %d), threads %d (baseline %d)"
          % (rss_max, baseline[1], rss_margin, anon_max, baseline[4], anon_margin, fd_max, baseline[2], th_max, baseline[3]))
    if rss_max > baseline[1] + rss_margin:
        fails.append("memory keeps growing: VmRSS %d KiB in the last third against %d KiB after warm-up" % (rss_max, baseline[1]))
    if anon_max > baseline[4] + anon_margin:
        fails.append("memory keeps growing: RssAnon %d KiB in the last third against %d KiB after warm-up" % (anon_max, baseline[4]))
    if fd_max > baseline[2] + 8:
        fails.append("descriptors keep growing: %d in the last third against %d after warm-up" % (fd_max, baseline[2]))
    if th_max > baseline[3] + 8:
        fails.append("threads keep growing: %d in the last third against %d after warm-up" % (th_max, baseline[3]))

# --- Data changes -----------------------------------------------------------
def changes(path):
    out = []
    with open(path, errors="replace") as f:
        for line in f:
            try:
                out.append(json.loads(line))
            except ValueError:
                pass
    return out

long_subs = {}
for path in sorted(glob.glob(os.path.join(folder, "sub-*.jsonl"))):
    device = os.path.basename(path)[4:-6].replace("_", " ")
    long_subs[device] = changes(path)
n_long = sum(len(v) for v in long_subs.values())
n_counts = sum(1 for v in long_subs.values() for c in v for i in c.get("items", []) if i.get("id", "").endswith("Total Raw Counts"))
n_churn = sum(len(changes(p)) for p in glob.glob(os.path.join(folder, "client-*.out")) if "subscribe" in p or "killed" in p)
print("\nData changes delivered: %d to the six long-running subscribers (%s; %d of their items are counts, the"
      " rest their Comm Status, which has no range and is sent at every update), %d to the short-lived ones"
      % (n_long, ", ".join("%s %d" % (d.split()[-1], len(v)) for d, v in long_subs.items()), n_counts, n_churn))
if n_counts == 0:
    fails.append("no data change reached the long-running subscribers")

# --- Client errors ----------------------------------------------------------
clients = rows("clients.tsv")
print("\nClient calls (exit statuses; the killed subscriptions end with 137 by design):")
kinds = {}
for t, kind, status in clients:
    kinds.setdefault(kind, {}).setdefault(status, 0)
    kinds[kind][status] += 1
client_errors = 0
for kind, statuses in sorted(kinds.items()):
    bad = sum(n for s, n in statuses.items() if s != ("137" if kind == "killed" else "0"))
    client_errors += bad
    print("  %-10s %5d calls, %d errors  %s" % (kind, sum(statuses.values()), bad, dict(sorted(statuses.items()))))
status_failures = sum(n for s, n in kinds.get("status", {}).items() if s != "0")
if status_failures:
    fails.append("the server stopped serving: %d status calls failed" % status_failures)
if not kinds.get("status"):
    fails.append("no status call was made")
other_failures = client_errors - status_failures
if other_failures:
    fails.append("%d client calls failed (see client-*.err)" % other_failures)
for p in sorted(glob.glob(os.path.join(folder, "client-*.err"))):
    with open(p, errors="replace") as f:
        text = [l.strip() for l in f if l.strip()]
    if text:
        kinds_seen = {}
        for l in text:
            key = re.sub(r"[0-9]+", "N", l)[:100]
            kinds_seen[key] = kinds_seen.get(key, 0) + 1
        print("  %s:" % os.path.basename(p))
        for k, n in sorted(kinds_seen.items(), key=lambda x: -x[1])[:5]:
            print("    %4d x %s" % (n, k))

# --- Event log --------------------------------------------------------------
def parse_time(text, utc):
    """The programs' date and time text (the short date and the time of the locale)."""
    text = text.strip()
    for fmt in ("%m/%d/%y %H:%M:%S", "%m/%d/%y %I:%M:%S %p", "%m/%d/%Y %H:%M:%S", "%m/%d/%Y %I:%M:%S %p",
                "%Y-%m-%d %H:%M:%S"):
        try:
            t = datetime.datetime.strptime(text, fmt)
        except ValueError:
            continue
        if utc:
            t = t.replace(tzinfo=datetime.timezone.utc)
        return int(t.timestamp() * 1000)
    return None

entries = []
header = re.compile(r"^[0-9A-F]+ - Time: (.*) ms: (\d+)\s*$")
try:
    with open(os.path.join(folder, "events.txt"), errors="replace", newline="") as f:
        text = f.read().replace("\r\n", "\n")
except OSError:
    text = ""
current = None
for line in text.split("\n"):
    m = header.match(line)
    if m:
        t = parse_time(m.group(1), False)
        current = [None if t is None else t + int(m.group(2)) % 1000, []]
        entries.append(current)
    elif current is not None and line:
        current[1].append(line)

limit_ms = 2 * interval * 1000
episodes = [(int(i), kind, line, addr, int(s), int(e)) for i, kind, line, addr, s, e in rows("faults.tsv")]
# A fault still on when the run ended: its entries count for its kind; it is not judged.
unfinished = [(r[0], int(r[3])) for r in rows("fault-now") if len(r) == 4]
def kind_at(t):
    for kind, s in unfinished:
        if t >= s - 500:
            return kind
    # Episodes follow one another with more than the recovery limit between them.
    for i, kind, line, addr, s, e in episodes:
        if s - 500 <= t <= e + limit_ms + 2000:
            return kind
    return None

error_words = re.compile(r"fail|error|invalid|timeout|time-out|lost|unable|exception|refused|dropped|bad|restored", re.I)
per_kind = {}
for t, lines_ in entries:
    body = " | ".join(lines_)
    if "Sending Message" in body or not error_words.search(body):
        continue
    kind = (kind_at(t) if t is not None else None) or ("start-up" if t is not None and episodes and t < episodes[0][4] else "no fault")
    key = re.sub(r"\b[0-9A-F]{2,}\b|\d+", "N", body)[:110]
    per_kind.setdefault(kind, {}).setdefault(key, 0)
    per_kind[kind][key] += 1
print("\nEvent-log entries of communication errors per fault kind (while a fault was on or its counters came back;"
      " start-up: before the first fault, while the new sample interval reaches the counters):")
for kind in ["silent", "no-echo", "bad-checksum", "hangup", "no fault", "start-up"]:
    found = per_kind.get(kind, {})
    print("  %-13s %5d" % (kind, sum(found.values())))
    for k, n in sorted(found.items(), key=lambda x: -x[1])[:4]:
        print("      %4d x %s" % (n, k))

# --- Fault episodes ---------------------------------------------------------
# Each device's Comm Status (0: the counter answers) and its fresh counts, in
# the order they were delivered, with their server time stamps.
def series(device, suffix):
    out = []
    for change in long_subs.get(device, []):
        for item in change.get("items", []):
            if item.get("id", "").endswith(suffix):
                t = parse_time(item.get("timestamp", "") or "", True)
                out.append((t, item.get("value"), item.get("quality")))
    return out

window_ms = limit_ms + 3000
print("\nFault episodes (back: the counter answers again, its Comm Status 0 after the last failure the fault"
      " caused; time stamps have whole seconds, so the end of that second counts; data: the first fresh count"
      " read after the fault's end, which needs the new sample the counter starts when it is initialised"
      " again; limit two poll intervals = %.0f s):" % (limit_ms / 1000))
print("  %3s  %-12s  %-6s  %-4s  %7s  %6s  %7s  %7s  %s" % ("#", "fault", "line", "addr", "start s", "lasted", "back", "data", "result"))
judged_kinds = set()
for i, kind, line, addr, s, e in episodes:
    targets = [d for d in long_subs if d.startswith("4400 VOK %s-" % line[3:]) and (addr == "*" or d.endswith("-0" + addr))]
    late = e + window_ms > end_ms
    worst_back, worst_data, lost_any, missing = 0, 0, False, False
    for d in targets:
        status = [(t, v) for t, v, q in series(d, ".Comm Status") if t is not None]
        during = [k for k, (t, v) in enumerate(status) if s - 1000 <= t <= e + window_ms]
        failures = [k for k in during if status[k][1] != 0]
        if failures:
            lost_any = True
            back = next((t for t, v in status[failures[-1] + 1:] if v == 0), None)
            if back is None:
                missing = True
            else:
                worst_back = max(worst_back, back + 1000 - e)
        fresh = next((t for t, v, q in series(d, ".Total Raw Counts") if t is not None and q == 192 and t + 1000 > e), None)
        if fresh is not None:
            worst_data = max(worst_data, fresh + 1000 - e)
    back_text = "-" if missing else ("%.1f s" % (worst_back / 1000) if lost_any else "never lost")
    data_text = "%.1f s" % (worst_data / 1000) if worst_data else "-"
    if late:
        verdict = "not judged (run ended)"
    elif missing:
        verdict = "DID NOT RECOVER"
    elif worst_back > limit_ms:
        verdict = "TOO SLOW"
    else:
        verdict = "ok"
        judged_kinds.add(kind)
    print("  %3d  %-12s  %-6s  %-4s  %7.0f  %5.1fs  %7s  %7s  %s" % (i, kind, line, addr, (s - start_ms) / 1000, (e - s) / 1000, back_text, data_text, verdict))
    if verdict in ("DID NOT RECOVER", "TOO SLOW"):
        fails.append("fault episode %d (%s on %s counter %s): %s (%s)" % (i, kind, line, addr, verdict.lower(), back_text))
missing_kinds = {"silent", "no-echo", "bad-checksum", "hangup"} - judged_kinds
if missing_kinds:
    fails.append("fault kinds without a judged episode that recovered: %s" % ", ".join(sorted(missing_kinds)))
if os.path.exists(os.path.join(folder, "fault-errors")):
    fails.append(open(os.path.join(folder, "fault-errors")).read().strip())

# --- Saves and the end ------------------------------------------------------
saves = rows("saves.tsv")
ok_saves = sum(1 for t, r in saves if r == "ok")
print("\nSaves on SIGHUP: %d, loaded again by vok config dump: %d" % (len(saves), ok_saves))
for t, r in saves:
    if r != "ok":
        fails.append("save request at %.0f s: %s" % ((int(t) - start_ms) / 1000, r))
if not saves:
    fails.append("no save request was made")
print("Server: exit status %s after SIGTERM" % server_status)
if server_status == "died":
    fails.append("the server process died during the run (see server.err)")
elif server_status == "hung":
    fails.append("the server did not end within 30 s of SIGTERM")
elif server_status != "0":
    fails.append("the server ended with status %s after SIGTERM" % server_status)

print("\nFiles: %s" % folder)
if fails:
    for f in fails:
        print("FAIL: " + f)
    sys.exit(1)
print("PASS: no growth, every fault kind recovered within two poll intervals, the server served throughout")
PY
