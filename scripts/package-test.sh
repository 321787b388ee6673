#!/usr/bin/env bash
# Builds the Debian package, installs it as a user would, runs the installed
# programs against a simulated counter (the server as a plain process that
# reports its readiness over the service manager's notification socket, as
# systemd's Type=notify expects), then removes the package and checks that
# none of its files are left. Needs root (CI runs as root).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "package-test: needs root to install the package" >&2; exit 1; }

work=$(mktemp -d)
"$root/scripts/package.sh" >"$work/package.log" 2>&1 || { cat "$work/package.log" >&2; exit 1; }
grep -E "^(lintian on|[EWI]: |size: )" "$work/package.log" | sed 's/^/package-test: /'
deb=$(tail -1 "$work/package.log")
server=""
sim=""
fake_systemd=""
cleanup() {
  # Both write into the folder as they end: wait for them before it goes.
  for pid in $server $sim; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  [ -n "$fake_systemd" ] && rmdir /run/systemd/system 2>/dev/null
  rm -rf "$work" || true
}
trap cleanup EXIT

# The maintainer scripts talk to systemd only where it runs (/run/systemd/system
# exists). No systemd runs here: the folder is made for the test's while, and
# stand-ins for systemctl and deb-systemd-invoke note what the scripts ask.
mkdir "$work/stubs"
for tool in systemctl deb-systemd-invoke; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/invoked" >"$work/stubs/$tool"
  chmod 755 "$work/stubs/$tool"
done
if [ ! -d /run/systemd/system ]; then
  mkdir -p /run/systemd/system
  fake_systemd=yes
fi
maintain() { PATH="$work/stubs:$PATH" "$@"; }

echo "package-test: installing $deb"
maintain dpkg -i "$deb" >"$work/dpkg.log" 2>&1 || DEBIAN_FRONTEND=noninteractive apt-get -f install -y -qq >>"$work/dpkg.log" 2>&1
dpkg -s vok | grep -q "Status: install ok installed" || { cat "$work/dpkg.log"; echo "package-test: not installed" >&2; exit 1; }
dpkg -L vok >"$work/files"
getent passwd vok >/dev/null || { echo "package-test: no service user vok" >&2; exit 1; }
id -nG vok | grep -qw dialout || { echo "package-test: the user vok may not use the serial ports" >&2; exit 1; }

# The installed programs, not the build folder's.
export PATH=/usr/bin:$PATH VOK_REGISTRY_DIR="$work/registry" XDG_RUNTIME_DIR="$work/run" XDG_DATA_HOME="$work/data"
mkdir -p "$VOK_REGISTRY_DIR" "$XDG_DATA_HOME" && mkdir -m 700 "$XDG_RUNTIME_DIR"
[ "$(command -v vok)" = /usr/bin/vok ] || { echo "package-test: vok is not the installed one" >&2; exit 1; }
vok --help | head -3
vok-explorer --help | head -1
man -w vok-explorer >/dev/null 2>&1 || [ -f /usr/share/man/man1/vok-explorer.1.gz ]
[ -f /usr/share/vok/help/index.html ] || { echo "package-test: help pages missing" >&2; exit 1; }

# The installed units as the service manager reads them; this needs no running systemd.
if command -v systemd-analyze >/dev/null; then
  mkdir -m 700 "$work/verify-run"
  { systemd-analyze verify /lib/systemd/system/vok-explorer.service
    XDG_RUNTIME_DIR="$work/verify-run" systemd-analyze --user verify /lib/systemd/user/vok-explorer.service
  } >"$work/verify.log" 2>&1 || { cat "$work/verify.log" >&2; echo "package-test: a unit does not verify" >&2; exit 1; }
  [ -s "$work/verify.log" ] && { cat "$work/verify.log" >&2; echo "package-test: systemd-analyze warns" >&2; exit 1; }
  echo "package-test: systemd-analyze verify: the system and the user unit load without a warning"
fi

vok sim --port COM95 --counter 4 --interval 2 --time-scale 10 >"$work/sim.out" 2>&1 &
sim=$!
for _ in $(seq 50); do [ -s "$work/sim.out" ] && break; sleep 0.1; done
config="$work/data/plant.psf"
vok discover --port COM95 --echo-timeout 50 --add "$config" 2>/dev/null

# A stand-in for the service manager: the datagram the server sends when ready.
notify="$work/notify"
python3 - "$notify" >"$work/notified" <<'PY' &
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
s.bind(sys.argv[1])
s.settimeout(60)
print(s.recv(256).decode(), flush=True)
PY
listener=$!
for _ in $(seq 50); do [ -S "$notify" ] && break; sleep 0.1; done
NOTIFY_SOCKET="$notify" vok-explorer --headless --poll "$config" >"$work/server.out" 2>"$work/server.err" &
server=$!
wait "$listener" || { echo "package-test: the server never said it was ready" >&2; cat "$work/server.err" >&2; exit 1; }
echo "package-test: the server (a plain process: no service manager runs here) notified '$(cat "$work/notified")'"
grep -q "READY=1" "$work/notified"
vok opc status | python3 -c 'import json,sys; d=json.load(sys.stdin); print("package-test: opc status: server_state", d["server_state"], "vendor", d["vendor"])'
vok opc read "4400 VOK 95-04.Cumulative Raw Bin Counts.Cumulative Raw Count Bin 01" --timeout 30 |
  python3 -c 'import json,sys; i=json.load(sys.stdin)["items"][0]; print("package-test: opc read:", i["id"], "=", i.get("value"), "quality", i.get("quality")); sys.exit(0 if i.get("quality") == 192 else 1)'
kill -TERM "$server"
wait "$server" && status=0 || status=$?
server=""
[ "$status" -eq 0 ] || { echo "package-test: the server ended with $status on SIGTERM" >&2; exit 1; }
echo "package-test: the server stopped on SIGTERM with status 0"

# An upgrade (the same version again) restarts a running system service on
# the new program; removal stops it before the files go.
echo "package-test: upgrading to the same package again"
maintain dpkg -i "$deb" >>"$work/dpkg.log" 2>&1
echo "package-test: removing the package"
maintain dpkg --purge vok >>"$work/dpkg.log" 2>&1
expected="systemctl --system daemon-reload
systemctl --system daemon-reload
deb-systemd-invoke try-restart vok-explorer.service
deb-systemd-invoke stop vok-explorer.service
systemctl --system daemon-reload"
if [ "$(cat "$work/invoked" 2>/dev/null)" != "$expected" ]; then
  echo "package-test: the maintainer scripts asked the service manager:" >&2
  cat "$work/invoked" >&2 || true
  exit 1
fi
echo "package-test: maintainer scripts: daemon-reload on install, try-restart on upgrade, stop on removal"
left=0
while read -r path; do
  if [ -f "$path" ] || [ -L "$path" ]; then echo "left behind: $path"; left=1; fi
done <"$work/files"
[ -e /var/lib/vok ] && { echo "left behind: /var/lib/vok"; left=1; }
[ "$left" -eq 0 ] || exit 1
echo "package-test: installed, served, removed; nothing of the package is left"
