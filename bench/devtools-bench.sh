#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# The development-folder probe against du -sb plus find for .git, over the same
# warm tree: 100 repositories holding 200,000 files (KIVO_BENCH_FILES,
# KIVO_BENCH_REPOS), each tool KIVO_BENCH_RUNS times, medians compared.
# Usage: bench/devtools-bench.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: devtools-bench.sh BUILD_DIR}
probe="$build/bench/kivo-devfolder-probe"
files=${KIVO_BENCH_FILES:-200000}
repos=${KIVO_BENCH_REPOS:-100}
runs=${KIVO_BENCH_RUNS:-5}
[ -x "$probe" ] || { echo "build kivo-devfolder-probe first" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-devbench.XXXXXX")
trap 'rm -rf "$work"' EXIT
home="$work/home"
per_repo=$((files / repos))
per_dir=200
python3 - "$home/Projects" "$repos" "$per_repo" "$per_dir" <<'PY'
import os, sys
root, repos, per_repo, per_dir = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
for r in range(repos):
    # Half the repositories sit one level deeper, as in a team folder.
    repo = os.path.join(root, f"repo{r:03d}") if r % 2 == 0 else os.path.join(root, f"team{r % 7}", f"repo{r:03d}")
    os.makedirs(os.path.join(repo, ".git"), exist_ok=True)
    for i in range(per_repo - 1):
        d = os.path.join(repo, "src", f"d{i // per_dir:03d}")
        if i % per_dir == 0:
            os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, f"f{i}.txt"), "wb") as f:
            f.write(b"x" * (i % 3000))
    with open(os.path.join(repo, ".git", "HEAD"), "wb") as f:
        f.write(b"ref: refs/heads/main\n")
PY

median() { sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
now() { date +%s.%N; }

# Warm the cache once with each.
du -sb "$home/Projects" >/dev/null
"$probe" "$home" >/dev/null

probe_times=() ; base_times=()
for _ in $(seq "$runs"); do
  start=$(now); "$probe" "$home" >"$work/probe.json"; end=$(now)
  probe_times+=("$(echo "$end - $start" | bc)")
  start=$(now)
  du -sb "$home/Projects" >/dev/null
  find "$home/Projects" -maxdepth 3 -name .git >/dev/null
  end=$(now)
  base_times+=("$(echo "$end - $start" | bc)")
done
p=$(printf '%s\n' "${probe_times[@]}" | median)
b=$(printf '%s\n' "${base_times[@]}" | median)
ratio=$(echo "scale=3; $p / $b" | bc)
echo "{\"case\":\"devFolderProbe\",\"files\":$files,\"repos\":$repos,\"probeSeconds\":$p,\"duFindSeconds\":$b,\"ratio\":$ratio,\"found\":$(cat "$work/probe.json")}"
