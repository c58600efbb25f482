#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The desktop window while it moves 20,000 small files, run by hand:
#   bench/screens-bench.sh [build-dir]        (default: build/release)
# Runs kivo-cli -> kivo-cli once for the reference rate, then the window
# (offscreen, software rendering, a frame asked for every 16 ms) as the source
# against kivo-cli receive and as the destination against kivo-cli send.
# One JSON line per window role: the longest gap between swapped frames during
# the transfer (goal < 100 ms), progress figures published per second (goal
# <= 4), and files per second as the kivo-cli peer measured it, against the
# same side's rate in the kivo-cli pair (goal >= 90 %).
# Needs python3 (data generation and the JSON lines).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIVO_BUILD_DIR:-$root/build/release}}
cli="$build/cli/kivo-cli"
bench="$build/bench/kivo-gui-bench"
for tool in "$cli" "$bench"; do
  [ -x "$tool" ] || { echo "build $(basename "$tool") first ($tool)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-screens-bench.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "generating 20,000 small files in $work/source" >&2
python3 - "$work/source/Documents" <<'PY'
import os, random, sys
root = sys.argv[1]
rng = random.Random(20261206)
for i in range(20000):
    d = os.path.join(root, "d%03d" % (i // 200))
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
        f.write(rng.randbytes(rng.randint(256, 4096)))
PY

# kivo-cli to kivo-cli: each side's summary gives its own rate.
mkdir -p "$work/cli-dest"
"$cli" send --home "$work/source" --categories userFiles --json >"$work/send.json" 2>"$work/send.err" &
sender=$!
for _ in $(seq 600); do grep -q '"advertising"' "$work/send.json" 2>/dev/null && break; sleep 0.1; done
read -r port code < <(python3 -c '
import json,sys
for l in open(sys.argv[1]):
    e=json.loads(l)
    if e.get("event")=="advertising": print(e["port"], e["code"]); break' "$work/send.json")
"$cli" receive --home "$work/cli-dest" --connect "127.0.0.1:$port" --code "$code" --json >"$work/receive.json" 2>"$work/receive.err"
wait "$sender"

rate() { python3 -c '
import json,sys
for l in open(sys.argv[1]):
    e=json.loads(l)
    if e.get("event")=="summary": print(e["filesCompleted"]/e["durationSeconds"] if e["durationSeconds"] else 0)' "$1"; }
cli_receive_rate=$(rate "$work/receive.json")
cli_send_rate=$(rate "$work/send.json")

report() { # line, reference rate
  python3 -c '
import json,sys
r=json.loads(sys.argv[1]); ref=float(sys.argv[2])
r["cliFilesPerSecond"]=round(ref,1)
r["filesPerSecond"]=round(r["filesPerSecond"],1)
r["figureUpdatesPerSecond"]=round(r["figureUpdatesPerSecond"],2)
r["rateRatio"]=round(r["filesPerSecond"]/ref,3) if ref else 0
r["ok"]=r["longestFrameGapMs"]<100 and r["figureUpdatesPerSecond"]<=4 and r["rateRatio"]>=0.9 and r["peerExit"]==0
print(json.dumps(r))' "$1" "$2"
}

mkdir -p "$work/gui-source-dest" "$work/gui-dest"
# The window sends; its peer is a kivo-cli receiver, compared with the receiver of the pair.
line=$("$bench" --role source --home "$work/source" --peer-home "$work/gui-source-dest" --cli "$cli")
report "$line" "$cli_receive_rate"
# The window receives; its peer is a kivo-cli sender, compared with the sender of the pair.
line=$("$bench" --role destination --home "$work/gui-dest" --peer-home "$work/source" --cli "$cli")
report "$line" "$cli_send_rate"
