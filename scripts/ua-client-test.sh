#!/usr/bin/env bash
# Runs the OPC UA client suite (ua/tests/client, node-opcua as an independent
# client) against the built programs in BIN_DIR: vok-explorer serves simulated
# counters and the suite judges its OPC UA endpoint from outside. Installs Node
# and the suite's locked npm packages when they are missing or the lock changed.
# Usage: scripts/ua-client-test.sh BIN_DIR [node --test arguments...]
source "$(dirname "$0")/common.sh"

if [ $# -lt 1 ]; then
  echo "usage: $0 BIN_DIR [node --test arguments...]" >&2
  exit 2
fi
bin_dir=$(cd "$1" && pwd)
shift
for program in vok vok-explorer; do
  if [ ! -x "$bin_dir/$program" ]; then
    echo "ua-client-test: $bin_dir/$program is not built" >&2
    exit 1
  fi
done

vok_ua_client_packages
suite="$VOK_ROOT/ua/tests/client"
cd "$suite"

# The client's certificate store for the whole run, made once, never the
# user's ~/.config; the servers' folders are the harness's own.
work=$(mktemp -d "${TMPDIR:-/tmp}/vok-ua-client.XXXXXX")
trap 'rm -rf "$work"' EXIT
export VOK_TEST_BIN_DIR="$bin_dir"
export VOK_UA_CLIENT_PKI="$work/pki"
# Two test files at a time: each runs its own server and counters in folders
# of its own, and they mostly wait for polls; more would crowd the timing of
# polls and publishes that several tests judge.
# Test files named among the arguments run alone, otherwise all of them;
# the other arguments are node's options (--test-name-pattern=...).
files=() options=()
for a in "$@"; do
  if [[ "$a" == *.test.js ]]; then files+=("$a"); else options+=("$a"); fi
done
[ ${#files[@]} -eq 0 ] && files=(./*.test.js)
# In the background so that a terminate request (a CTest time-out) reaches
# node, whose harness then ends the servers and simulators it started.
node --test --test-concurrency=2 "${options[@]}" "${files[@]}" &
suite_pid=$!
trap 'kill -TERM "$suite_pid" 2>/dev/null; wait "$suite_pid"; exit 143' TERM INT
wait "$suite_pid"
