#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Transfer throughput against rsync over ssh, on loopback, run by hand:
#   bench/transfer-bench.sh [build-dir]        (default: build/release)
# Cases (KIVO_BENCH_CASES, default all): large (one 1 GiB file), small (20,000
# files of 1-64 KiB, fixed seed, ~450 MB), tiny (200,000 files of 0-4 KiB in
# 2,000 folders), and large-2ms / small-2ms: the first two through
# kivo-delay-forwarder, which holds every byte 1 ms each way (a 2 ms round trip).
# For each case it runs our source and destination processes (TLS), then
# rsync -a --whole-file over ssh (aes128-gcm) to a private sshd started here,
# and prints one JSON line: MB/s, files/s, peak RSS of both sides, the ratio,
# the machine's load average and the folder the data lives in (TMPDIR, the real
# disk unless told otherwise). Both tools are timed until their data is
# durable: kivo until its summary (the destination flushes before it verifies),
# rsync until it exits and `sync -f` on the destination folder returns.
# Each tool runs KIVO_BENCH_RUNS times (default 3), alternating; medians are compared.
# KIVO_BENCH_FLOOR=0 leaves the one-request reference out (it is slow on 200,000 files).
# KIVO_BENCH_PRIORITY=-15 runs everything in a session of its own whose
# scheduling group gets that priority (with automatic task groups, a plain
# nice only counts within one's own session).
# kivo-work-floor runs once at the start: beside every case stands what the
# destination's unavoidable work for its bytes and files costs on this machine
# (decrypt, hash once, create and write the files, flush), measured in the same run.
# Where the machine lets it (cgroup v1 cpuacct, as root), each tool's CPU time is
# counted too, both of its sides together (rsync: its client, ssh, and what the
# private sshd runs for it): on two cores, a tool that is not waiting on anything
# takes about half its CPU seconds.
# A third contender, kivo-floor-peer, runs the same stop-and-wait exchange with
# nothing around it (blocking TLS, one thread, no event loop, no progress or
# checkpoint bookkeeping): what the exchange itself costs on this machine.
# KIVO_BENCH_BASELINE=<another build dir> adds that build's peer as a fourth
# contender, alternating with the others: a change measured against the code
# before it, in the same run.
# Needs rsync, openssh-server/-client and python3 (data generation).
set -euo pipefail
if [ -n "${KIVO_BENCH_PRIORITY:-}" ] && [ -z "${KIVO_BENCH_IN_SESSION:-}" ]; then
  export KIVO_BENCH_IN_SESSION=1
  exec setsid bash -c 'echo "$KIVO_BENCH_PRIORITY" > /proc/$$/autogroup 2>/dev/null || true; exec nice -n "$KIVO_BENCH_PRIORITY" "$@"' bench "$0" "$@"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIVO_BUILD_DIR:-$root/build/release}}
runs=${KIVO_BENCH_RUNS:-3}
peer="$build/bench/kivo-transfer-peer"
floor="$build/bench/kivo-floor-peer"
forwarder="$build/bench/kivo-delay-forwarder"
workfloor="$build/bench/kivo-work-floor"
cases=${KIVO_BENCH_CASES:-large small tiny large-2ms small-2ms}
baseline=""
[ -n "${KIVO_BENCH_BASELINE:-}" ] && baseline="$KIVO_BENCH_BASELINE/bench/kivo-transfer-peer"
for tool in "$peer" "$floor" "$forwarder" "$workfloor" $baseline; do
  [ -x "$tool" ] || { echo "build $(basename "$tool") first ($tool)" >&2; exit 2; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-bench.XXXXXX")
sshd_pid=""
fwd_pids=""
cg_dir=""
if [ -w /sys/fs/cgroup/cpuacct ] && mkdir "/sys/fs/cgroup/cpuacct/kivo-bench.$$" 2>/dev/null; then
  cg_dir=/sys/fs/cgroup/cpuacct/kivo-bench.$$
  mkdir "$cg_dir/kivo" "$cg_dir/base" "$cg_dir/rsync"
fi
cleanup() {
  [ -n "$sshd_pid" ] && kill "$sshd_pid" 2>/dev/null || true
  for p in $fwd_pids; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
  if [ -n "$cg_dir" ]; then
    sleep 0.5
    rmdir "$cg_dir"/* "$cg_dir" 2>/dev/null || true
  fi
}
trap cleanup EXIT

now() { date +%s.%N; }
# Runs a command in CPU accounting group $1; call it in a subshell of its own.
in_group() {
  local group=$1
  shift
  [ -z "$cg_dir" ] || echo "$BASHPID" > "$cg_dir/$group/tasks"
  exec "$@"
}
# The group's CPU seconds so far.
cpu_of() { if [ -n "$cg_dir" ]; then echo "$(cat "$cg_dir/$1/cpuacct.usage") / 1000000000" | bc -l; else echo 0; fi; }

echo "generating data in $work" >&2
mkdir -p "$work/large" "$work/small" "$work/tiny"
python3 - "$work" "$cases" <<'PY'
import os, random, sys
work, cases = sys.argv[1], sys.argv[2].split()
rng = random.Random(20261205)
if any(c.startswith("large") for c in cases):
    with open(os.path.join(work, "large", "one-gib.bin"), "wb") as f:
        block = rng.randbytes(1 << 20)
        for i in range(1024):
            f.write(i.to_bytes(8, "little") + block[8:])
if any(c.startswith("small") for c in cases):
    for i in range(20000):
        d = os.path.join(work, "small", "d%03d" % (i // 200))
        os.makedirs(d, exist_ok=True)
        size = int(rng.triangular(1024, 65536, 1024))
        with open(os.path.join(d, "f%05d.dat" % i), "wb") as f:
            f.write(rng.randbytes(size))
if "tiny" in cases:
    pool = rng.randbytes(1 << 20)
    for i in range(200000):
        d = os.path.join(work, "tiny", "d%04d" % (i // 100))
        if i % 100 == 0:
            os.makedirs(d, exist_ok=True)
        size = rng.randrange(0, 4097)
        start = rng.randrange(0, len(pool) - 4096)
        with open(os.path.join(d, "f%06d" % i), "wb") as f:
            f.write(i.to_bytes(8, "little")[:size] + pool[start:start + max(size - 8, 0)])
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
(in_group rsync /usr/sbin/sshd -D -f "$work/ssh/sshd_config" -E "$work/ssh/sshd.log") &
sshd_pid=$!
ssh_base="ssh -i $work/ssh/user_key -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null -o LogLevel=ERROR -c aes128-gcm@openssh.com -o Compression=no"
ssh_cmd=$ssh_base
for _ in $(seq 50); do $ssh_cmd -p "$ssh_port" root@127.0.0.1 true 2>/dev/null && break; sleep 0.1; done

echo "measuring the work floor" >&2
mkdir -p "$work/workfloor"
"$workfloor" "$work/workfloor" > "$work/workfloor.json"
# Its 420,000 files stay until the bench ends: deleting them here made the
# first runs after it (kivo's, always first) pay the allocator's scan below.

# One kivo run: prints its seconds; leaves src.json / dst.json in $work.
# Starts a forwarder holding bytes $1 ms each way to port $2; its port lands in fwd_port.
start_forwarder() {
  local file="$work/fwd.$RANDOM"
  "$forwarder" --delay-ms "$1" --to "$2" --port-file "$file" > /dev/null 2>&1 &
  fwd_pids="$fwd_pids $!"
  for _ in $(seq 200); do [ -s "$file" ] && break; sleep 0.05; done
  fwd_port=$(cat "$file")
}
stop_forwarders() {
  for p in $fwd_pids; do kill "$p" 2>/dev/null || true; done
  fwd_pids=""
}

# A fresh folder for each run's output, all of them deleted when the bench
# ends. On ext4 without a journal (as here) the inode allocator skips every
# inode deleted in the last minutes, reading its table block to find out:
# creating 20,000 files right after deleting the previous run's cost the tool
# that ran next up to half its time (perf: ext4_create -> recently_deleted).
fresh_dst() {
  mkdir -p "$work/out"
  local free
  free=$(df --output=avail -B1 "$work" | tail -1)
  if [ "$free" -lt $((case_bytes * 2 + (1 << 30))) ]; then
    echo "short of disk: earlier outputs deleted, so the next run pays for the allocator's scan" >&2
    rm -rf "$work/out" && mkdir -p "$work/out"
  fi
  mktemp -d "$work/out/run.XXXXXX"
}

run_kivo() {
  local name=$1 folder=$2 peer=${3:-$peer} delay=${4:-0} group=kivo
  [ "$peer" = "$baseline" ] && group=base
  local dst cpu0
  dst=$(fresh_dst)
  local port_file="$work/port.$name"
  rm -f "$port_file"
  cpu0=$(cpu_of $group)
  (in_group $group "$peer" --role destination --home "$dst" --listen 0 --port-file "$port_file" --transfer-id "bench-$name" \
    > "$work/dst.json" 2> "$work/dst.log") &
  local dst_pid=$!
  for _ in $(seq 200); do [ -f "$port_file" ] && break; sleep 0.05; done
  local port t0 t1
  port=$(cat "$port_file")
  if [ "$delay" != 0 ]; then start_forwarder "$delay" "$port"; port=$fwd_port; fi
  t0=$(now)
  (in_group $group "$peer" --role source --folder "$folder" --connect "127.0.0.1:$port" --transfer-id "bench-$name" \
    > "$work/src.json" 2> "$work/src.log")
  wait "$dst_pid"
  t1=$(now)
  echo "$(cpu_of $group) - $cpu0" | bc -l > "$work/cpu.last"
  stop_forwarders
  echo "$t1 - $t0" | bc -l
}

# One run of the bare stop-and-wait exchange: prints its seconds.
run_floor() {
  local folder=$1 delay=${2:-0}
  local dst
  dst=$(fresh_dst)
  rm -f "$work/port.floor"
  "$floor" --listen 0 --port-file "$work/port.floor" --into "$dst" > /dev/null &
  local dst_pid=$!
  for _ in $(seq 200); do [ -s "$work/port.floor" ] && break; sleep 0.05; done
  local port t0 t1
  port=$(cat "$work/port.floor")
  if [ "$delay" != 0 ]; then start_forwarder "$delay" "$port"; port=$fwd_port; fi
  t0=$(now)
  "$floor" --connect "$port" --folder "$folder" > /dev/null
  wait "$dst_pid"
  sync -f "$dst"
  t1=$(now)
  stop_forwarders
  echo "$t1 - $t0" | bc -l
}

# One rsync run: prints its seconds; the client's peak RSS lands in $work/rsync.rss.
run_rsync() {
  local folder=$1 delay=${2:-0}
  local dst
  dst=$(fresh_dst)
  local port=$ssh_port t0 t1 cpu0
  if [ "$delay" != 0 ]; then start_forwarder "$delay" "$ssh_port"; port=$fwd_port; fi
  cpu0=$(cpu_of rsync)
  t0=$(now)
  (in_group rsync /usr/bin/time -f %M -o "$work/rsync.rss" rsync -a --whole-file -e "$ssh_cmd -p $port" "$folder/" "root@127.0.0.1:$dst/")
  # Timed until its data is on disk, as kivo's is.
  sync -f "$dst"
  t1=$(now)
  echo "$(cpu_of rsync) - $cpu0" | bc -l > "$work/cpu.last"
  stop_forwarders
  echo "$t1 - $t0" | bc -l
}

peak_rss() { python3 -c 'import json,sys; print(max(int(sys.argv[2]), json.load(open(sys.argv[1]))["peakRssKiB"]))' "$1" "$2"; }

# The machine is shared and noisy: both tools run $runs times, alternating,
# and their medians are compared.
run_case() {
  local name=$1 folder=$2 delay=${3:-0}
  local files bytes
  files=$(find "$folder" -type f | wc -l)
  bytes=$(du -sb --apparent-size "$folder" | cut -f1)
  case_bytes=$bytes
  find "$folder" -type f -exec cat {} + > /dev/null  # same warm page cache for both tools
  local kivo_all="" rsync_all="" floor_all="" base_all="" src_rss=0 dst_rss=0 flush_all="" wait_all="" verify_all=""
  local kcpu_all="" rcpu_all=""
  local load
  load=$(cut -d' ' -f1-3 /proc/loadavg)
  for i in $(seq "$runs"); do
    echo "$name: run $i of $runs" >&2
    # First, so the files the summary reads come from the build under test.
    [ -z "$baseline" ] || base_all="$base_all $(run_kivo "$name-base" "$folder" "$baseline" "$delay")"
    kivo_all="$kivo_all $(run_kivo "$name" "$folder" "$peer" "$delay")"
    kcpu_all="$kcpu_all $(cat "$work/cpu.last")"
    src_rss=$(peak_rss "$work/src.json" "$src_rss")
    dst_rss=$(peak_rss "$work/dst.json" "$dst_rss")
    flush_all="$flush_all $(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d.get("durableFlushSeconds",0), end="")' "$work/dst.json")"
    wait_all="$wait_all $(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d.get("durableWaitSeconds",0), end="")' "$work/dst.json")"
    verify_all="$verify_all $(python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); print(d.get("verificationSeconds",0), end="")' "$work/src.json")"
    rsync_all="$rsync_all $(run_rsync "$folder" "$delay")"
    rcpu_all="$rcpu_all $(cat "$work/cpu.last")"
    # The one-request reference is for loopback: through the delay it only measures the round trips.
    [ "$delay" != 0 ] || [ "${KIVO_BENCH_FLOOR:-1}" = 0 ] || floor_all="$floor_all $(run_floor "$folder")"
  done
  load="$load / $(cut -d' ' -f1-3 /proc/loadavg)"

  python3 - "$name" "$files" "$bytes" "$kivo_all" "$rsync_all" "$src_rss" "$dst_rss" "$work/src.json" "$work/dst.json" "$work/rsync.rss" "$floor_all" "$base_all" "$flush_all" "$wait_all" "$load" "$delay" "${TMPDIR:-/tmp}" "$work/workfloor.json" "$kcpu_all" "$rcpu_all" "$verify_all" <<'PY'
import json, statistics, sys
name, files, nbytes, kall, rall, srss, drss, srcf, dstf, rssf, fall, ball, flall, wall, load, delay, tmpdir, wff, kcpu, rcpu, vall = sys.argv[1:]
files, nbytes = int(files), int(nbytes)
kall = [float(x) for x in kall.split()]
rall = [float(x) for x in rall.split()]
fall = [float(x) for x in fall.split()]
ks, rs = statistics.median(kall), statistics.median(rall)
fs = statistics.median(fall) if fall else None
src, dst = json.load(open(srcf)), json.load(open(dstf))
try:
    rsync_rss = int(open(rssf).read().split()[-1]) / 1024
except Exception:
    rsync_rss = None
flall = [float(x) for x in flall.split()]
wall = [float(x) for x in wall.split()]
out = {
    "case": name, "files": files, "bytes": nbytes, "runs": len(kall), "roundTripMs": 2 * int(delay),
    "tmpdir": tmpdir, "loadAverage": load,
    "kivo": {"ok": bool(src.get("ok") and dst.get("ok")), "seconds": round(ks, 3), "MBps": round(nbytes / 1e6 / ks, 1),
             "filesPerSecond": round(files / ks, 1), "secondsEachRun": [round(x, 3) for x in kall],
             "sourcePeakRssMB": round(int(srss) / 1024, 1), "destinationPeakRssMB": round(int(drss) / 1024, 1),
             "microsecondsPerFile": round(ks / max(files, 1) * 1e6, 1),
             "verified": src.get("verificationChecked"), "mismatches": len(src.get("mismatches", [])),
             # Flushing received files to disk: all of it (mostly overlapped), and the part the run waited for.
             "durableFlushSeconds": round(statistics.median(flall), 3) if flall else None,
             "durableWaitSeconds": round(statistics.median(wall), 3) if wall else None,
             "durableWaitShare": round(statistics.median(wall) / ks, 3) if wall else None,
             # From the verification request to the last answer: the run's tail after the last file.
             "verificationSeconds": round(statistics.median([float(x) for x in vall.split()]), 3) if vall.split() else None},
    "rsync": {"seconds": round(rs, 3), "MBps": round(nbytes / 1e6 / rs, 1), "filesPerSecond": round(files / rs, 1),
              "secondsEachRun": [round(x, 3) for x in rall], "clientPeakRssMB": rsync_rss and round(rsync_rss, 1)},
    "ratio": round(rs / ks, 2),
}
if fs:
    out["floor"] = {"seconds": round(fs, 3), "MBps": round(nbytes / 1e6 / fs, 1), "filesPerSecond": round(files / fs, 1),
                    "secondsEachRun": [round(x, 3) for x in fall], "ratioToRsync": round(rs / fs, 2)}
    out["ratioToFloor"] = round(fs / ks, 2)
# The destination's share of the work, the larger side: decrypt and hash each
# byte once, then create, write and flush the files as the floor's own copier did.
wf = json.load(open(wff))
cipher, hashing = nbytes / 1e6 / wf["aes256gcmMBps"], nbytes / 1e6 / wf["sha256MBps"]
if files == 1:
    write = wf["flushOneGiBSeconds"] * nbytes / (1 << 30)
elif name.startswith("tiny"):
    t = wf["tiny200000TwoThreads"]
    write = (t["writeSeconds"] + t["flushSeconds"]) * files / 200000
else:
    # kivo writes on two threads: the floor is the quicker of one copier and two.
    write = min(t["writeSeconds"] + t["flushSeconds"] for t in (wf["small20000"], wf.get("small20000TwoThreads", wf["small20000"])))
    write *= files / 20000
wfs = cipher + hashing + write
out["workFloor"] = {"seconds": round(wfs, 3), "cipherSeconds": round(cipher, 3), "hashSeconds": round(hashing, 3),
                    "writeAndFlushSeconds": round(write, 3), "kivoOverFloor": round(ks / wfs, 2),
                    "rsyncOverFloor": round(rs / wfs, 2)}
kcpu, rcpu = [float(x) for x in kcpu.split()], [float(x) for x in rcpu.split()]
if any(kcpu) and any(rcpu):
    out["kivo"]["cpuSeconds"] = round(statistics.median(kcpu), 3)
    out["rsync"]["cpuSeconds"] = round(statistics.median(rcpu), 3)
if ball.split():
    ball = [float(x) for x in ball.split()]
    bs = statistics.median(ball)
    out["baseline"] = {"seconds": round(bs, 3), "MBps": round(nbytes / 1e6 / bs, 1), "filesPerSecond": round(files / bs, 1),
                       "secondsEachRun": [round(x, 3) for x in ball]}
    out["ratioToBaseline"] = round(bs / ks, 2)
print(json.dumps(out))
PY
}

for c in $cases; do
  case $c in
    large) run_case large "$work/large" ;;
    small) run_case small "$work/small" ;;
    tiny) run_case tiny "$work/tiny" ;;
    large-2ms) run_case large-2ms "$work/large" 1 ;;
    small-2ms) run_case small-2ms "$work/small" 1 ;;
    *) echo "unknown case $c" >&2; exit 2 ;;
  esac
done
