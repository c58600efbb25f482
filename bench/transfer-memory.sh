#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Peak resident memory of a real `kivo-cli send` and `kivo-cli receive` of many
# small files over loopback, run by hand:
#   bench/transfer-memory.sh [build-dir] [FILES...]     (default: 20000 100000 200000)
# Each home holds FILES files of 0-4 KiB, 100 to a folder, under Documents, on
# the real disk (TMPDIR, default /var/tmp). Homes are generated once and kept in
# KIVO_BENCH_HOMES when that is set (generating 200,000 files takes a while).
# Prints one JSON line per size: peak RSS of either side (GNU time's maximum
# resident set), files received, the targets and the load average around the run.
# Beside each peak, the largest anonymous part of the resident set seen (sampled
# every 50 ms): what the process allocated itself, without the pages of the
# program and its shared libraries, which other processes share.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIVO_BUILD_DIR:-$root/build/release}}
shift || true
sizes=${*:-20000 100000 200000}
cli="$build/cli/kivo-cli"
[ -x "$cli" ] || { echo "build kivo-cli first ($cli)" >&2; exit 2; }
command -v /usr/bin/time >/dev/null || { echo "GNU time is needed" >&2; exit 2; }
work=$(mktemp -d "${TMPDIR:-/var/tmp}/kivo-memory.XXXXXX")
trap 'rm -rf "$work"' EXIT
homes=${KIVO_BENCH_HOMES:-$work/homes}
mkdir -p "$homes"

# Largest anonymous resident set of each side so far, in KiB, rewritten as it grows.
sample_anonymous() {
  local out=$1 send=0 receive=0 pid kib args
  while :; do
    for pid in $(pgrep -x kivo-cli); do
      kib=$(awk '/^Anonymous:/ {print $2}' "/proc/$pid/smaps_rollup" 2>/dev/null) || continue
      [ -n "$kib" ] || continue
      # A side that has just exited has no command line left.
      args=$(tr '\0' ' ' 2>/dev/null <"/proc/$pid/cmdline") || continue
      case " $args" in
        *" send "*) [ "$kib" -gt "$send" ] && send=$kib ;;
        *" receive "*) [ "$kib" -gt "$receive" ] && receive=$kib ;;
      esac
    done
    echo "$send $receive" >"$out.next" && mv "$out.next" "$out"
    sleep 0.05
  done
}

for files in $sizes; do
  home="$homes/home-$files"
  if [ ! -e "$home/.complete" ]; then
    echo "generating $files files in $home" >&2
    rm -rf "$home"
    python3 - "$home/Documents" "$files" <<'PY'
import os, random, sys
into, count = sys.argv[1], int(sys.argv[2])
rng = random.Random(20261207)
pool = rng.randbytes(1 << 20)
for i in range(count):
    d = os.path.join(into, "folder-%04d" % (i // 100))
    if i % 100 == 0:
        os.makedirs(d, exist_ok=True)
    size = rng.randrange(0, 4097)
    at = rng.randrange(0, len(pool) - size)
    with open(os.path.join(d, "file-%06d.txt" % i), "wb") as f:
        f.write(pool[at:at + size])
PY
    touch "$home/.complete"
  fi

  dst=$(mktemp -d "$work/dst.XXXXXX")
  load_before=$(cut -d' ' -f1 /proc/loadavg)
  rc=0
  sample_anonymous "$work/anonymous" &
  sampler=$!
  "$root/bench/send-receive.sh" "$cli" "$work" "$dst" --home "$home" --categories userFiles || rc=$?
  kill "$sampler" 2>/dev/null || true
  wait "$sampler" 2>/dev/null || true
  load_after=$(cut -d' ' -f1 /proc/loadavg)
  python3 - "$files" "$(tail -1 "$work/send.rss")" "$(tail -1 "$work/receive.rss")" "$work/receive.json" "$rc" \
    "$load_before" "$load_after" "$(cat "$work/anonymous" 2>/dev/null || echo 0 0)" <<'PY'
import json, sys
files, send_kib, receive_kib, receive, rc, before, after, anonymous = sys.argv[1:]
send_anon, receive_anon = (int(k) for k in anonymous.split())
done = [e for e in map(json.loads, open(receive)) if e.get("event") == "summary"]
target = 64 if int(files) <= 100000 else 96
print(json.dumps({"files": int(files), "sendPeakRssMB": round(int(send_kib) / 1024, 1),
                  "receivePeakRssMB": round(int(receive_kib) / 1024, 1), "targetMB": target,
                  "sendPeakAnonymousMB": round(send_anon / 1024, 1),
                  "receivePeakAnonymousMB": round(receive_anon / 1024, 1),
                  "filesReceived": done[-1]["filesCompleted"] if done else None, "exit": int(rc),
                  "load": f"{before} / {after}"}))
PY
  rm -rf "$dst"
done
