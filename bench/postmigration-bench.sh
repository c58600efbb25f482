#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Post-migration costs on this machine, one JSON line each:
#  - rewriting 50,000 settings files (text and plists, half naming the old home)
#    with kivo against `sed -i` over the same files;
#  - handing 200,000 files to an account through kivo-helper against `chown -R`,
#    with the helper's peak memory;
#  - rewriting one 1 GiB text file, with kivo's peak memory.
# Needs root (a throwaway account and the helper).
#   TMPDIR=/dev/shm bench/postmigration-bench.sh BUILD_DIR [FILES] [OWNED_FILES] [LARGE_MIB]
set -eu
build=$(cd "${1:?usage: bench/postmigration-bench.sh BUILD_DIR [FILES] [OWNED_FILES] [LARGE_MIB]}" && pwd)
files=${2:-50000}
owned=${3:-200000}
large=${4:-1024}
bench="$build/bench/kivo-postmigration-bench"
work=$(mktemp -d)
user="kivobench$$"
helper_pid=
cleanup() {
  [ -n "$helper_pid" ] && kill "$helper_pid" 2>/dev/null || true
  userdel -f "$user" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

old="/Users/ann"
new="$work/kivo/home/bob"
mkdir -p "$work/kivo" "$work/sed"
"$bench" generate-tree "$work/kivo/home" "$old" "$files"
cp -a "$work/kivo/home" "$work/sed/home"
sync
"$bench" rewrite-tree "$work/kivo/home" "$old" "$new"
start=$(now)
find "$work/sed/home" -type f -print0 | xargs -0 sed -i "s|$old|$new|g"
end=$(now)
printf '{"case":"sed-i","files":%s,"seconds":%s}\n' "$files" "$(elapsed "$start" "$end")"
rm -rf "$work/kivo" "$work/sed"

chmod 755 "$work"
useradd -M -d "$work/owned" -s /bin/false "$user"
mkdir -p "$work/owned" "$work/chown"
"$bench" generate-many "$work/owned" "$owned"
"$bench" generate-many "$work/chown" "$owned"
chown "$user" "$work/owned"
"$build/helper/kivo-helper" --socket "$work/helper.sock" --allow-exe "$bench" 2>/dev/null &
helper_pid=$!
while [ ! -S "$work/helper.sock" ]; do sleep 0.1; done
sync
"$bench" chown "$work/owned" "$user" "$work/helper.sock" "$helper_pid"
start=$(now)
chown -R "$user:$user" "$work/chown"
end=$(now)
printf '{"case":"chown-R","files":%s,"seconds":%s}\n' "$owned" "$(elapsed "$start" "$end")"
rm -rf "$work/owned" "$work/chown"

"$bench" generate-large "$work/large.txt" "$old" "$large"
"$bench" rewrite-large "$work/large.txt" "$old" "$work/home/bob"
