#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# The pre-flight scan against find over the same tree: a generated home of
# 200,000 files (fixed seed) with project folders, regenerable folders, hidden
# files and 300 of the projects git clones (one in ten with a commit of its
# own, so its .git travels; the rest are left out after git is asked);
# `kivo-cli preflight --offline --json` and `find HOME -printf '%s\n'`, one
# warm-up each, then three runs each alternating; one JSON line with both
# medians, their ratio and the scan's peak RSS.
#   TMPDIR=/dev/shm bench/preflight-bench.sh BUILD_DIR [FILES [REPOSITORIES]]
set -eu
build=${1:?usage: bench/preflight-bench.sh BUILD_DIR [FILES [REPOSITORIES]]}
files=${2:-200000}
repos=${3:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
home="$work/home"

python3 - "$home" "$files" "$repos" "$work/origin" <<'PY'
import os, random, subprocess, sys
home, total, repos, origin = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
rng = random.Random(16)
made = 0
project = 0
bases = []
while made < total:
    project += 1
    top = rng.choice(["Documents", "Desktop", "Downloads", "Pictures", "Music", "Movies"])
    base = os.path.join(home, top, "p%d" % project)
    kind = rng.random()
    bases.append(base)
    folders = [base]
    if kind < 0.3:
        os.makedirs(base, exist_ok=True)
        open(os.path.join(base, "package.json"), "w").write("{}")
        folders.append(os.path.join(base, "node_modules", "dep%d" % rng.randrange(50)))
    elif kind < 0.4:
        os.makedirs(base, exist_ok=True)
        open(os.path.join(base, "Package.swift"), "w").write("// swift")
        folders.append(os.path.join(base, "build", "obj"))
    for d in range(rng.randrange(1, 4)):
        folders.append(os.path.join(base, "d%d" % d, "e%d" % rng.randrange(3)))
    for folder in folders:
        os.makedirs(folder, exist_ok=True)
        for i in range(rng.randrange(5, 60)):
            name = (".h%d" % i) if rng.random() < 0.05 else ("f%d.txt" % i)
            with open(os.path.join(folder, name), "wb") as f:
                f.write(b"x" * rng.randrange(0, 2048))
            made += 1
            if made >= total:
                break
        if made >= total:
            break

# The repositories: clones of one origin, their upstreams set as a clone sets them.
def git(*args, cwd=None):
    subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@example.com", *args], cwd=cwd, check=True,
                   stdout=subprocess.DEVNULL)
os.makedirs(origin)
with open(os.path.join(origin, "README"), "w") as f:
    f.write("origin\n")
git("init", "-q", "-b", "main", cwd=origin)
git("add", ".", cwd=origin)
git("commit", "-qm", "first", cwd=origin)
for i, base in enumerate(bases[:repos]):
    scratch = os.path.join(base, ".clone")
    git("clone", "-q", "--no-checkout", origin, scratch)
    os.rename(os.path.join(scratch, ".git"), os.path.join(base, ".git"))
    os.rmdir(scratch)
    if i % 10 == 0:
        tree = subprocess.run(["git", "rev-parse", "HEAD^{tree}"], cwd=base, check=True, capture_output=True, text=True).stdout.strip()
        commit = subprocess.run(["git", "-c", "user.name=b", "-c", "user.email=b@example.com", "commit-tree", tree,
                                 "-p", "HEAD", "-m", "local"], cwd=base, check=True, capture_output=True, text=True).stdout.strip()
        git("update-ref", "refs/heads/main", commit, cwd=base)
PY

cli="$build/cli/kivo-cli"
kivo() { "$cli" preflight --home "$home" --offline --json --categories userFiles >/dev/null; }
finder() { find "$home" -printf '%s\n' >/dev/null; }
# wall seconds, peak RSS in KiB, CPU seconds (user + system)
seconds() { /usr/bin/time -f '%e %M %U %S' -o "$work/t" "$@" >/dev/null && awk '{ print $1, $2, $3 + $4 }' "$work/t"; }

kivo; finder
k=""; f=""; kc=""; fc=""; rss=0
for run in 1 2 3; do
    set -- $(seconds "$cli" preflight --home "$home" --offline --json --categories userFiles)
    k="$k $1"; kc="$kc $3"; [ "$2" -gt "$rss" ] && rss=$2
    set -- $(seconds find "$home" -printf '%s\n')
    f="$f $1"; fc="$fc $3"
done
median() { printf '%s\n' $1 | sort -n | sed -n 2p; }
python3 - "$(median "$k")" "$(median "$f")" "$(median "$kc")" "$(median "$fc")" "$rss" "$files" "$repos" <<'PY'
import json, sys
k, f, kc, fc = (float(v) for v in sys.argv[1:5])
rss, n, repos = int(sys.argv[5]), int(sys.argv[6]), int(sys.argv[7])
ratio = lambda a, b: round(a / b, 2) if b > 0 else None
print(json.dumps({"case": "preflight-scan", "files": n, "repositories": repos, "kivoSeconds": k, "findSeconds": f, "ratio": ratio(k, f),
                  "kivoCpuSeconds": kc, "findCpuSeconds": fc, "cpuRatio": ratio(kc, fc),
                  "peakRssMB": round(rss / 1024, 1)}))
PY
