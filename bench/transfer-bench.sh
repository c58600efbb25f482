#!/usr/bin/env bash
# Transfer throughput against rsync over ssh, on loopback, run by hand:
#   bench/transfer-bench.sh [build-dir]        (default: build/release)
# Cases: one 1 GiB file; 20,000 small files of 1-64 KiB (fixed seed, ~450 MB).
# For each case it runs our source and destination processes (TLS), then
# rsync -a --whole-file over ssh (aes128-gcm) to a private sshd started here,
# and prints one JSON line: MB/s, files/s, peak RSS of both sides, the ratio.
# Each tool runs KIVO_BENCH_RUNS times (default 3), alternating; medians are compared.
# A third contender, kivo-floor-peer, runs the same stop-and-wait exchange with
# nothing around it (blocking TLS, one thread, no event loop, no progress or
# checkpoint bookkeeping): what the exchange itself costs on this machine.
# KIVO_BENCH_BASELINE=<another build dir> adds that build's peer as a fourth
# contender, alternating with the others: a change measured against the code
# before it, in the same run.
# Needs rsync, openssh-server/-client and python3 (data generation).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIVO_BUILD_DIR:-$root/build/release}}
runs=${KIVO_BENCH_RUNS:-3}
peer="$build/bench/kivo-transfer-peer"
floor="$build/bench/kivo-floor-peer"
baseline=""
[ -n "${KIVO_BENCH_BASELINE:-}" ] && baseline="$KIVO_BENCH_BASELINE/bench/kivo-transfer-peer"
for tool in "$peer" "$floor" $baseline; do
  [ -x "$tool" ] || { echo "build $(basename "$tool") first ($tool)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-bench.XXXXXX")
sshd_pid=""
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

now() { date +%s.%N; }

echo "generating data in $work" >&2
mkdir -p "$work/large" "$work/small"
python3 - "$work" <<'PY'
import os, random, sys
work = sys.argv[1]
rng = random.Random(20261205)
with open(os.path.join(work, "large", "one-gib.bin"), "wb") as f:
    block = rng.randbytes(1 << 20)
    for i in range(1024):
        f.write(i.to_bytes(8, "little") + block[8:])
for i in range(20000):
    d = os.path.join(work, "small", "d%03d" % (i // 200))
    os.makedirs(d, exist_ok=True)
    size = int(rng.triangular(1024, 65536, 1024))
    with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
        f.write(rng.randbytes(size))
PY

# A private sshd on a loopback port with throwaway keys.
mkdir -p "$work/ssh" /run/sshd
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/ssh/user_key"
cp "$work/ssh/user_key.pub" "$work/ssh/authorized_keys"
ssh_port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
cat > "$work/ssh/sshd_config" <<CONF
Port $ssh_port
ListenAddress 127.0.0.1
HostKey $work/ssh/host_key
AuthorizedKeysFile $work/ssh/authorized_keys
PidFile $work/ssh/sshd.pid
StrictModes no
PermitRootLogin yes
PasswordAuthentication no
KbdInteractiveAuthentication no
UsePAM no
Ciphers aes128-gcm@openssh.com
CONF
/usr/sbin/sshd -D -f "$work/ssh/sshd_config" -E "$work/ssh/sshd.log" &
sshd_pid=$!
ssh_cmd="ssh -p $ssh_port -i $work/ssh/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -c aes128-gcm@openssh.com -o Compression=no"
for _ in $(seq 50); do $ssh_cmd root@127.0.0.1 true 2>/dev/null && break; sleep 0.1; done

# One kivo run: prints its seconds; leaves src.json / dst.json in $work.
run_kivo() {
  local name=$1 folder=$2 peer=${3:-$peer}
  rm -rf "$work/dst" && mkdir -p "$work/dst"
  local port_file="$work/port.$name"
  rm -f "$port_file"
  "$peer" --role destination --home "$work/dst" --listen 0 --port-file "$port_file" --transfer-id "bench-$name" \
    > "$work/dst.json" 2> "$work/dst.log" &
  local dst_pid=$!
  for _ in $(seq 200); do [ -f "$port_file" ] && break; sleep 0.05; done
  local t0 t1
  t0=$(now)
  "$peer" --role source --folder "$folder" --connect "127.0.0.1:$(cat "$port_file")" --transfer-id "bench-$name" \
    > "$work/src.json" 2> "$work/src.log"
  wait "$dst_pid"
  t1=$(now)
  echo "$t1 - $t0" | bc -l
}

# One run of the bare stop-and-wait exchange: prints its seconds.
run_floor() {
  local folder=$1
  rm -rf "$work/dst" && mkdir -p "$work/dst"
  rm -f "$work/port.floor"
  "$floor" --listen 0 --port-file "$work/port.floor" --into "$work/dst" > /dev/null &
  local dst_pid=$!
  for _ in $(seq 200); do [ -s "$work/port.floor" ] && break; sleep 0.05; done
  local t0 t1
  t0=$(now)
  "$floor" --connect "$(cat "$work/port.floor")" --folder "$folder" > /dev/null
  wait "$dst_pid"
  t1=$(now)
  rm -rf "$work/dst"
  echo "$t1 - $t0" | bc -l
}

# One rsync run: prints its seconds; the client's peak RSS lands in $work/rsync.rss.
run_rsync() {
  local folder=$1
  rm -rf "$work/dst" && mkdir -p "$work/dst"
  local t0 t1
  t0=$(now)
  /usr/bin/time -f %M -o "$work/rsync.rss" rsync -a --whole-file -e "$ssh_cmd" "$folder/" "root@127.0.0.1:$work/dst/"
  t1=$(now)
  rm -rf "$work/dst"
  echo "$t1 - $t0" | bc -l
}

peak_rss() { python3 -c 'import json,sys; print(max(int(sys.argv[2]), json.load(open(sys.argv[1]))["peakRssKiB"]))' "$1" "$2"; }

# The machine is shared and noisy: both tools run $runs times, alternating,
# and their medians are compared.
run_case() {
  local name=$1 folder=$2
  local files bytes
  files=$(find "$folder" -type f | wc -l)
  bytes=$(du -sb --apparent-size "$folder" | cut -f1)
  cat $(find "$folder" -type f) > /dev/null  # same warm page cache for both tools
  local kivo_all="" rsync_all="" floor_all="" base_all="" src_rss=0 dst_rss=0
  for i in $(seq "$runs"); do
    echo "$name: run $i of $runs" >&2
    # First, so the files the summary reads come from the build under test.
    [ -z "$baseline" ] || base_all="$base_all $(run_kivo "$name-base" "$folder" "$baseline")"
    kivo_all="$kivo_all $(run_kivo "$name" "$folder")"
    src_rss=$(peak_rss "$work/src.json" "$src_rss")
    dst_rss=$(peak_rss "$work/dst.json" "$dst_rss")
    rsync_all="$rsync_all $(run_rsync "$folder")"
    floor_all="$floor_all $(run_floor "$folder")"
  done

  python3 - "$name" "$files" "$bytes" "$kivo_all" "$rsync_all" "$src_rss" "$dst_rss" "$work/src.json" "$work/dst.json" "$work/rsync.rss" "$floor_all" "$base_all" <<'PY'
import json, statistics, sys
name, files, nbytes, kall, rall, srss, drss, srcf, dstf, rssf, fall, ball = sys.argv[1:]
files, nbytes = int(files), int(nbytes)
kall = [float(x) for x in kall.split()]
rall = [float(x) for x in rall.split()]
fall = [float(x) for x in fall.split()]
ks, rs, fs = statistics.median(kall), statistics.median(rall), statistics.median(fall)
src, dst = json.load(open(srcf)), json.load(open(dstf))
try:
    rsync_rss = int(open(rssf).read().split()[-1]) / 1024
except Exception:
    rsync_rss = None
out = {
    "case": name, "files": files, "bytes": nbytes, "runs": len(kall),
    "kivo": {"ok": bool(src.get("ok") and dst.get("ok")), "seconds": round(ks, 3), "MBps": round(nbytes / 1e6 / ks, 1),
             "filesPerSecond": round(files / ks, 1), "secondsEachRun": [round(x, 3) for x in kall],
             "sourcePeakRssMB": round(int(srss) / 1024, 1), "destinationPeakRssMB": round(int(drss) / 1024, 1),
             "verified": src.get("verificationChecked"), "mismatches": len(src.get("mismatches", []))},
    "rsync": {"seconds": round(rs, 3), "MBps": round(nbytes / 1e6 / rs, 1), "filesPerSecond": round(files / rs, 1),
              "secondsEachRun": [round(x, 3) for x in rall], "clientPeakRssMB": rsync_rss and round(rsync_rss, 1)},
    "floor": {"seconds": round(fs, 3), "MBps": round(nbytes / 1e6 / fs, 1), "filesPerSecond": round(files / fs, 1),
              "secondsEachRun": [round(x, 3) for x in fall], "ratioToRsync": round(rs / fs, 2)},
    "ratio": round(rs / ks, 2),
    "ratioToFloor": round(fs / ks, 2),
}
if ball.split():
    ball = [float(x) for x in ball.split()]
    bs = statistics.median(ball)
    out["baseline"] = {"seconds": round(bs, 3), "MBps": round(nbytes / 1e6 / bs, 1), "filesPerSecond": round(files / bs, 1),
                       "secondsEachRun": [round(x, 3) for x in ball]}
    out["ratioToBaseline"] = round(bs / ks, 2)
print(json.dumps(out))
PY
}

run_case large "$work/large"
run_case small "$work/small"
