#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# What a configuration profile's bandwidth cap holds a real send to: kivo-cli
# send under a profile with kivo.maxTransferMbps (8 unless given), and a
# receive over loopback, of one folder of 20 MiB (KIVO_BENCH_MIB). Prints one
# JSON line: bytes, seconds and the rate the destination measured, against the
# cap in bytes per second (8 Mbps = 1,000,000 B/s).
#
#   bench/managed-bench.sh BUILD_DIR [MBPS]
set -u
build=${1:?usage: bench/managed-bench.sh BUILD_DIR [MBPS]}
mbps=${2:-8}
mib=${KIVO_BENCH_MIB:-20}
cli=$build/cli/kivo-cli
[ -x "$cli" ] || { echo "no $cli" >&2; exit 2; }
work=$(mktemp -d)
spid=
cleanup() { [ -n "$spid" ] && kill "$spid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

mkdir -p "$work/src/Documents" "$work/dst"
for i in $(seq "$mib"); do head -c 1048576 /dev/urandom >"$work/src/Documents/part-$i.bin"; done
python3 -c 'import plistlib,sys; open(sys.argv[1],"wb").write(plistlib.dumps({"kivo.brandingName":"bench","kivo.maxTransferMbps":int(sys.argv[2])}))' \
    "$work/profile.plist" "$mbps"

# The user's own flag asks for far more; the profile's cap is what holds.
KIVO_CONFIG_PROFILE=$work/profile.plist "$cli" send --home "$work/src" --categories userFiles --folders Documents \
    --max-mbps 1000 --json >"$work/send.out" 2>"$work/send.err" &
spid=$!
for _ in $(seq 100); do grep -q '"advertising"' "$work/send.out" 2>/dev/null && break; sleep 0.1; done
line=$(grep -m1 '"advertising"' "$work/send.out") || { cat "$work/send.err" >&2; exit 1; }
port=$(sed 's/.*"port":\([0-9]*\).*/\1/' <<<"$line")
code=$(sed 's/.*"code":"\([0-9]*\)".*/\1/' <<<"$line")
"$cli" receive --home "$work/dst" --connect "127.0.0.1:$port" --code "$code" --json </dev/null >"$work/receive.out" 2>"$work/receive.err" \
    || { cat "$work/receive.err" >&2; exit 1; }
wait "$spid"; spid=
summary=$(grep -m1 '"summary"' "$work/receive.out")
python3 - "$summary" "$mbps" <<'PY'
import json, sys
s = json.loads(sys.argv[1]); cap = int(sys.argv[2]) * 125000
print(json.dumps({"case": "profile-cap", "capMbps": int(sys.argv[2]), "capBytesPerSecond": cap, "bytes": s["bytes"],
                  "seconds": round(s["durationSeconds"], 2), "bytesPerSecond": round(s["bytes"] / s["durationSeconds"]),
                  "ofCap": round(s["bytes"] / s["durationSeconds"] / cap, 3)}))
PY
