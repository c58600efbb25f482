#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# One `kivo-cli send` into `kivo-cli receive` over loopback, each under GNU time;
# the benches' shared step:
#   bench/send-receive.sh CLI WORK DESTINATION SEND-ARGUMENTS...
# Writes WORK/send.{json,err,rss} and WORK/receive.{json,err,rss} (rss: peak
# resident set in KiB) and WORK/receive.end (when receive exited, seconds since
# the epoch), and exits with the first non-zero status of the two.
set -euo pipefail
cli=$1 work=$2 destination=$3
shift 3
/usr/bin/time -f %M -o "$work/send.rss" "$cli" send "$@" --offline --json >"$work/send.json" 2>"$work/send.err" &
sender=$!
port="" code=""
for _ in $(seq 6000); do
  read -r port code < <(python3 -c '
import json, sys
for line in open(sys.argv[1]):
    e = json.loads(line)
    if e.get("event") == "advertising":
        print(e["port"], e["code"]); break' "$work/send.json" 2>/dev/null) || true
  [ -n "$port" ] && break
  kill -0 "$sender" 2>/dev/null || break
  sleep 0.02
done
if [ -z "$port" ]; then
  kill "$sender" 2>/dev/null || true
  cat "$work/send.err" >&2
  echo "send did not advertise" >&2
  exit 1
fi
rc=0
/usr/bin/time -f %M -o "$work/receive.rss" "$cli" receive --home "$destination" --connect "127.0.0.1:$port" \
  --code "$code" --json >"$work/receive.json" 2>"$work/receive.err" || rc=$?
date +%s.%N >"$work/receive.end"
wait "$sender" || rc=$((rc ? rc : $?))
exit "$rc"
