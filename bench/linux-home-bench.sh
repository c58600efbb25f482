#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# A Linux home's own categories against the same bytes as plain files, run by hand:
#   bench/linux-home-bench.sh [--check] [build-dir]        (default: build/release)
# Generates (bench/linux-home.py, fixed seed) a home with a Firefox and a
# Chromium profile of 300 MB / 20,000 files together, 40 apps' data in the
# formats a private machine folder installs them in (.desktop files, Flatpaks,
# Snaps) and 1,500 dconf keys written through the real dconf service on a
# private bus, on the real disk (TMPDIR, default /var/tmp; a tmpfs is refused).
# Then, KIVO_BENCH_RUNS times (default 3), alternating, with the page cache
# dropped before every measured command (KIVO_BENCH_DROP_CACHES=0: warm):
#   inspect   `kivo-cli inspect --layout linux --json` of the three categories
#             against `du -sb` of the same folders (target <= 2x);
#   transfer  `kivo-cli send` of browserData, applicationData and systemSettings
#             -> `kivo-cli receive` into a fresh home, against the same files
#             copied under Documents of a second home and sent as userFiles,
#             each timed from the start of send until receive exits (target <= 1.2x);
#   memory    peak RSS of inspect, send and receive (target <= 64 MB each).
# Prints a table of medians, ratios and targets, then one JSON line. With
# --check it exits 1 when a target is missed; otherwise it only reports.
# KIVO_BENCH_SCALE=0.05 shrinks the browsers and app data for a quick run (the
# dconf keys and the 40 apps stay). Needs python3, dconf, dbus-daemon, GNU time.
set -euo pipefail
check=0
if [ "${1:-}" = --check ]; then check=1; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-${KIVO_BUILD_DIR:-$root/build/release}}
cli="$build/cli/kivo-cli"
runs=${KIVO_BENCH_RUNS:-3}
scale=${KIVO_BENCH_SCALE:-1}
drop=${KIVO_BENCH_DROP_CACHES:-1}
[ -x "$cli" ] || { echo "build kivo-cli first ($cli)" >&2; exit 2; }
for tool in python3 dconf dbus-run-session /usr/bin/time; do
  command -v "$tool" >/dev/null || { echo "$tool is needed" >&2; exit 2; }
done
if [ "$drop" = 1 ] && ! { [ "$(id -u)" = 0 ] && [ -w /proc/sys/vm/drop_caches ]; }; then
  echo "cannot drop the page cache here (root and a writable /proc/sys/vm/drop_caches needed); measuring warm" >&2
  drop=0
fi
work=$(mktemp -d "${TMPDIR:-/var/tmp}/kivo-linux-bench.XXXXXX")
# KIVO_BENCH_KEEP=1 leaves the folder for a look afterwards.
[ "${KIVO_BENCH_KEEP:-0}" = 1 ] || trap 'rm -rf "$work"' EXIT
if [ "$(stat -f -c %T "$work")" = tmpfs ]; then
  echo "$work is in memory (tmpfs): set TMPDIR to a folder on a disk" >&2
  exit 2
fi

# The machine both sides run on: its installs in $work/machine, never this one's.
# No bus of the caller's: the settings service each side needs is its own.
unset DBUS_SESSION_BUS_ADDRESS
export XDG_DATA_DIRS="$work/machine/share"
export KIVO_FLATPAK_SYSTEM_DIR="$work/machine/flatpak"
export KIVO_SNAP_DIR="$work/machine/snap"

home="$work/ann"
echo "generating the home in $work (scale $scale)" >&2
made=$(python3 "$root/bench/linux-home.py" "$home" "$work/machine" "$root/src/categories/LinuxApplications.json" "$scale")
mkdir -p "$work/run" && chmod 700 "$work/run"
HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" \
  dbus-run-session -- dconf load / <"$work/dconf-keys.ini" 2>/dev/null
printf 'user-db:user\n' >"$work/dconf-profile"
keys=$(DCONF_PROFILE="$work/dconf-profile" XDG_CONFIG_HOME="$home/.config" XDG_RUNTIME_DIR="$work/run" \
  dconf dump / | grep -c '=' || true)
[ "$keys" -gt 0 ] || { echo "the dconf database was not written" >&2; exit 1; }
categories=browserData,applicationData,systemSettings

now() { date +%s.%N; }
drop_caches() { if [ "$drop" = 1 ]; then sync; echo 3 >/proc/sys/vm/drop_caches; fi; }
# Seconds and peak RSS (KiB) of one command: "SECONDS KIB".
timed() {
  local out=$1; shift
  drop_caches
  local t0 t1
  t0=$(now)
  /usr/bin/time -f %M -o "$work/time.rss" "$@" >"$out"
  t1=$(now)
  echo "$(echo "$t1 - $t0" | bc -l) $(tail -1 "$work/time.rss")"
}

# One warm-up each. The home holds only what the three categories look at
# (browser profiles, the apps' folders, the desktop's files): du reads all of it.
"$cli" inspect --home "$home" --layout linux --json --categories "$categories" >"$work/inspect.json"
du -sb "$home" >/dev/null

# The reference home: every file the three categories send, byte for byte, as
# user files (an export made while listing gets a file of its size).
python3 - "$work/inspect.json" "$home" "$work/plain/Documents" <<'PY'
import json, os, shutil, sys
report, home, into = sys.argv[1:]
doc = json.loads(open(report).read().splitlines()[-1])
made = 0
for category in doc["categories"]:
    if category.get("error"):
        sys.exit(f"inspect failed for {category['id']}: {category['error']}")
    for item in category["items"]:
        rel = item["relativePath"][2:]
        # Hidden names would be another category's question: the same bytes, visible names.
        to = os.path.join(into, *[("dot-" + p[1:]) if p.startswith(".") else p for p in rel.split("/")])
        os.makedirs(os.path.dirname(to), exist_ok=True)
        src = os.path.join(home, rel)
        if os.path.isfile(src) and os.path.getsize(src) == item["size"]:
            shutil.copyfile(src, to)
        else:
            with open(to, "wb") as f:
                f.write(os.urandom(int(item["size"])))
        made += 1
print(made, file=sys.stderr)
PY

# A fresh destination home per run, all kept until the end: on ext4 creating
# files right after deleting as many costs the next run a scan of the inode tables.
fresh_home() { mkdir -p "$work/out"; mktemp -d "$work/out/bob.XXXXXX"; }

# send -> receive of one home: "SECONDS SEND_KIB RECEIVE_KIB FILES BYTES".
transfer() {
  local from=$1 cats=$2 dst
  dst=$(fresh_home)
  drop_caches
  local t0 t1 rc=0
  t0=$(now)
  "$root/bench/send-receive.sh" "$cli" "$work" "$dst" --home "$from" --categories "$cats" --layout linux || rc=$?
  t1=$(cat "$work/receive.end")
  # A run that ends with problems still moved and checked every byte: it is
  # timed, and what went wrong is listed with the results.
  python3 - "$(echo "$t1 - $t0" | bc -l)" "$(tail -1 "$work/send.rss")" "$(tail -1 "$work/receive.rss")" \
    "$work/send.json" "$work/receive.json" "$rc" "$cats" "$work/problems" <<'PY'
import json, sys
seconds, send_kib, receive_kib, send, receive, rc, cats, problems = sys.argv[1:]
def summary(path):
    found = [e for e in map(json.loads, open(path)) if e.get("event") == "summary"]
    if not found:
        sys.exit(f"no summary from {path}")
    return found[-1]
src, dst = summary(send), summary(receive)
notes = [f"{p['path']}: {p['reason']}" for p in dst["notTransferred"]]
notes += [f"{m}: verification mismatch" for m in src["mismatches"]]
if rc != "0" or notes:
    with open(problems, "a") as f:
        for note in [f"{cats}: exit {rc}"] + notes:
            f.write(note + "\n")
print(seconds, send_kib, receive_kib, dst["filesCompleted"], int(dst["bytes"]))
PY
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
inspect_all="" du_all="" inspect_rss=0 kivo_all="" plain_all="" send_rss=0 receive_rss=0 plain_rss=""
started=$(now)
for i in $(seq "$runs"); do
  echo "run $i of $runs" >&2
  line=$(timed "$work/inspect.json" "$cli" inspect --home "$home" --layout linux --json --categories "$categories")
  set -- $line
  inspect_all="$inspect_all $1"; [ "$2" -gt "$inspect_rss" ] && inspect_rss=$2
  line=$(timed /dev/null du -sb "$home"); set -- $line
  du_all="$du_all $1"
  line=$(transfer "$home" "$categories"); set -- $line
  kivo_all="$kivo_all $1"; [ "$2" -gt "$send_rss" ] && send_rss=$2; [ "$3" -gt "$receive_rss" ] && receive_rss=$3
  kivo_files=$4 kivo_bytes=$5
  line=$(transfer "$work/plain" userFiles); set -- $line
  plain_all="$plain_all $1"; plain_rss="$2 $3"
  plain_files=$4 plain_bytes=$5
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
elapsed=$(echo "$(now) - $started" | bc -l)

python3 - "$made" "$keys" "$inspect_all" "$du_all" "$inspect_rss" "$kivo_all" "$plain_all" "$send_rss" "$receive_rss" \
  "$plain_rss" "$kivo_files $kivo_bytes $plain_files $plain_bytes" "$load_before / $load_after" "$drop" "$elapsed" \
  "$work" "$check" "$work/problems" <<'PY'
import json, os, statistics, sys
(made, keys, ins, du, ins_rss, kivo, plain, send_rss, recv_rss, plain_rss, counts, load, drop, elapsed,
 folder, check, problems) = sys.argv[1:]
problems = list(dict.fromkeys(open(problems).read().splitlines())) if os.path.exists(problems) else []
made = json.loads(made)
med = lambda s: statistics.median(float(x) for x in s.split())
each = lambda s: [round(float(x), 3) for x in s.split()]
mb = lambda kib: round(int(kib) / 1024, 1)
kf, kb, pf, pb = (int(x) for x in counts.split())
i, d, k, p = med(ins), med(du), med(kivo), med(plain)
rows = [
    ("inspect / du -sb", i, d, i / d, 2.0),
    ("send->receive / as userFiles", k, p, k / p, 1.2),
]
memory = [("inspect", mb(ins_rss)), ("send", mb(send_rss)), ("receive", mb(recv_rss))]
print(f"Linux home: {made['browserFiles']} browser files ({made['browserBytes'] / 1e6:.0f} MB), "
      f"{made['apps']} apps {made['appFormats']} ({made['otherFiles']} more files, {made['otherBytes'] / 1e6:.0f} MB), "
      f"{keys} dconf keys; page cache {'dropped' if drop == '1' else 'warm'}; load {load}")
print(f"sent: {kf} files, {kb / 1e6:.1f} MB; as userFiles: {pf} files, {pb / 1e6:.1f} MB")
print(f"{'measure':32} {'kivo s':>9} {'reference s':>12} {'ratio':>7} {'target':>7}  ok")
ok = True
for name, a, b, r, t in rows:
    ok &= r <= t
    print(f"{name:32} {a:9.3f} {b:12.3f} {r:7.2f} {t:7.2f}  {'yes' if r <= t else 'NO'}")
for name, m in memory:
    ok &= m <= 64
    print(f"{'peak RSS ' + name + ' (MB)':32} {m:9.1f} {'':12} {'':7} {64:7}  {'yes' if m <= 64 else 'NO'}")
print(f"runs (s): inspect {each(ins)}  du {each(du)}  kivo {each(kivo)}  userFiles {each(plain)}; "
      f"userFiles peak RSS send/receive {[mb(x) for x in plain_rss.split()]} MB; whole bench {float(elapsed):.0f} s")
if problems:
    ok = False
    print("transfers that ended with problems (timed all the same):")
    for note in problems:
        print("  " + note)
print(json.dumps({"case": "linux-home", "generated": made, "dconfKeys": int(keys), "tmpdir": folder,
                  "pageCache": "dropped" if drop == "1" else "warm", "loadAverage": load,
                  "inspectSeconds": round(i, 3), "duSeconds": round(d, 3), "inspectRatio": round(i / d, 2),
                  "transferSeconds": round(k, 3), "userFilesSeconds": round(p, 3), "transferRatio": round(k / p, 2),
                  "sentFiles": kf, "sentBytes": kb, "userFilesFiles": pf, "userFilesBytes": pb,
                  "peakRssMB": dict(memory), "problems": problems, "ok": ok}))
sys.exit(1 if check == "1" and not ok else 0)
PY
