#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# kivo-cli vault against restic alone, on the same warm tree of KIVO_BENCH_FILES
# (20,000) files of 1-64 KiB: a first snapshot into a fresh folder vault against
# `restic backup` into a fresh repository, an unchanged second snapshot against
# the first, a restore against `restic restore`, rolling back a receive of that
# tree against `restic restore`, and kivo-cli's peak memory. Targets: first <=
# 1.15x restic, second <= 10 % of the first, restore and rollback <= 1.3x
# restic restore, RSS <= 64 MB; --check exits 1 when one is missed.
# Beside them stands what restic alone does for the same work in the same run: its
# own unchanged second backup, and for the rollback, a backup of what it replaces
# (the safety copy a rollback takes first) plus a restore.
# The first snapshot is also taken into a fresh S3 vault on radosgw against
# `restic backup` into a fresh repository on the same radosgw (<= 1.15x): the
# store KIVO_OBJECTSTORE_DIR names, else one scripts/objectstore starts and stops.
# Usage: bench/vault-bench.sh BUILD_DIR [--check]
set -euo pipefail
build=${1:?usage: vault-bench.sh BUILD_DIR [--check]}
check=${2:-}
cli="$build/cli/kivo-cli"
files=${KIVO_BENCH_FILES:-20000}
restic=${KIVO_RESTIC:-restic}
[ -x "$cli" ] || { echo "build kivo-cli first" >&2; exit 2; }
command -v "$restic" >/dev/null || { echo "restic is missing (scripts/setup-deps)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/kivo-vaultbench.XXXXXX")
objectstore=$(dirname "$0")/../scripts/objectstore
store=${KIVO_OBJECTSTORE_DIR:-}
cleanup() {
  [ -z "${KIVO_OBJECTSTORE_DIR:-}" ] && [ -n "$store" ] && "$objectstore" down "$store" || true
  rm -rf "$work"
}
trap cleanup EXIT
home="$work/home"
python3 - "$home/Documents" "$files" <<'PY'
import os, random, sys
root, files = sys.argv[1], int(sys.argv[2])
rng = random.Random(7)
for i in range(files):
    d = os.path.join(root, f"d{i // 500:03d}")
    if i % 500 == 0:
        os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, f"f{i:06d}.bin"), "wb") as f:
        f.write(rng.randbytes(rng.randint(1, 64) * 1024))
PY
mkdir -p "$home/.config"
printf 'bench-password\n' > "$work/password"
export XDG_CACHE_HOME="$work/cache" RESTIC_PASSWORD_FILE="$work/password"
cat "$home"/Documents/*/* > /dev/null  # warm

seconds() {
  local start=$EPOCHREALTIME
  "$@" > /dev/null || { echo "failed: $*" >&2; exit 1; }
  echo "$EPOCHREALTIME - $start" | bc | sed 's/^\./0./'
}

"$restic" -r "$work/plain" init -q
plain_first=$( (cd "$home" && seconds "$restic" -r "$work/plain" backup -q Documents) )
plain_second=$( (cd "$home" && seconds "$restic" -r "$work/plain" backup -q Documents) )
plain_restore=$(seconds "$restic" -r "$work/plain" restore latest --target "$work/plain-out")

vault=(--vault "$work/vault" --password-file "$work/password" --home "$home")
"$cli" vault init "${vault[@]}" > /dev/null
# kivo-cli's own peak, not restic's: its high-water mark, read until it exits.
peak_of() {
  "$@" > /dev/null & local pid=$! hwm=0 v
  while kill -0 "$pid" 2>/dev/null; do
    v=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    [ -n "$v" ] && [ "$v" -gt "$hwm" ] && hwm=$v
    sleep 0.1
  done
  wait "$pid"
  echo "$hwm" > "$work/rss"
}
kivo_first=$(seconds peak_of "$cli" vault snapshot "${vault[@]}" --categories userFiles --json)
rss_kb=$(cat "$work/rss")
kivo_second=$(seconds "$cli" vault snapshot "${vault[@]}" --categories userFiles --json)
kivo_restore=$(seconds "$cli" vault restore latest "${vault[@]}" --target "$work/kivo-out" --json)

# Rolling a receive back: the same tree sent over a destination holding other
# bytes under the same names, then all of it put back, against `restic restore`.
dest="$work/dest"
cp -r "$home" "$dest"
find "$dest/Documents" -type f -exec sh -c 'printf x >> "$1"' _ {} \;
"$cli" send --home "$home" --categories userFiles --folders Documents --conflict-policy overwrite --json \
  > "$work/send.out" 2>&1 &
sender=$!
for _ in $(seq 600); do grep -q '"advertising"' "$work/send.out" && break; sleep 0.1; done
port=$(grep '"advertising"' "$work/send.out" | head -1 | sed 's/.*"port":\([0-9]*\).*/\1/')
code=$(grep '"advertising"' "$work/send.out" | head -1 | sed 's/.*"code":"\([0-9]*\)".*/\1/')
(unset RESTIC_PASSWORD_FILE; "$cli" receive --home "$dest" --connect "127.0.0.1:$port" --code "$code" --json > /dev/null)
wait "$sender"
sync  # the receive's writes are not the rollback's to flush
"$restic" -r "$work/plain-replaced" init -q
plain_replaced=$( (cd "$dest" && seconds "$restic" -r "$work/plain-replaced" backup -q Documents) )
kivo_rollback=$(unset RESTIC_PASSWORD_FILE; seconds peak_of "$cli" vault rollback latest --home "$dest" --json)
rollback_rss_kb=$(cat "$work/rss")
cmp -s "$home/Documents/d000/f000000.bin" "$dest/Documents/d000/f000000.bin" && { echo "rollback left the sent bytes" >&2; exit 1; }

# The same first snapshot into an object store, against restic into the same store.
if [ -z "$store" ]; then
  store="$work/objectstore"
  # Two copies of the tree, kept in memory by the store.
  OBJECTSTORE_MEMORY_MB=${OBJECTSTORE_MEMORY_MB:-3072} "$objectstore" up "$store" > "$work/store.env"
else
  "$objectstore" env "$store" > "$work/store.env"
fi
# shellcheck disable=SC1091
. "$work/store.env"
export AWS_ACCESS_KEY_ID=$OBJECTSTORE_ACCESS_KEY AWS_SECRET_ACCESS_KEY=$OBJECTSTORE_SECRET_KEY
bucket="bench-$$-$RANDOM"
"$restic" -r "s3:$OBJECTSTORE_ENDPOINT/$bucket/plain" init -q
s3_plain_first=$( (cd "$home" && seconds "$restic" -r "s3:$OBJECTSTORE_ENDPOINT/$bucket/plain" backup -q Documents) )
s3vault=(--vault "s3:$OBJECTSTORE_ENDPOINT/$bucket/kivo" --password-file "$work/password" --home "$home")
"$cli" vault init "${s3vault[@]}" > /dev/null
s3_kivo_first=$(seconds peak_of "$cli" vault snapshot "${s3vault[@]}" --categories userFiles --json)
s3_rss_kb=$(cat "$work/rss")
unset AWS_ACCESS_KEY_ID AWS_SECRET_ACCESS_KEY

ratio() { echo "scale=3; $1 / $2" | bc | sed 's/^\./0./'; }
first_ratio=$(ratio "$kivo_first" "$plain_first")
second_ratio=$(ratio "$kivo_second" "$kivo_first")
plain_second_ratio=$(ratio "$plain_second" "$plain_first")
restore_ratio=$(ratio "$kivo_restore" "$plain_restore")
# One JSON line per case, like the other benchmarks.
printf '{"case":"firstSnapshot","seconds":%s,"resticSeconds":%s,"ratio":%s,"target":1.15}\n' "$kivo_first" "$plain_first" "$first_ratio"
printf '{"case":"unchangedSecondSnapshot","seconds":%s,"ofFirst":%s,"resticSeconds":%s,"resticOfFirst":%s,"target":0.10}\n' \
  "$kivo_second" "$second_ratio" "$plain_second" "$plain_second_ratio"
printf '{"case":"restore","seconds":%s,"resticSeconds":%s,"ratio":%s,"target":1.3}\n' "$kivo_restore" "$plain_restore" "$restore_ratio"
s3_ratio=$(ratio "$s3_kivo_first" "$s3_plain_first")
printf '{"case":"firstSnapshotRadosgw","seconds":%s,"resticSeconds":%s,"ratio":%s,"kivoCliMegabytes":%s,"target":1.15}\n' \
  "$s3_kivo_first" "$s3_plain_first" "$s3_ratio" "$((s3_rss_kb / 1024))"
rollback_ratio=$(ratio "$kivo_rollback" "$plain_restore")
rollback_floor=$(echo "$plain_replaced + $plain_restore" | bc | sed 's/^\./0./')
printf '{"case":"rollbackAll","seconds":%s,"resticRestoreSeconds":%s,"ratio":%s,"resticBackupOfReplacedSeconds":%s,"resticBackupAndRestoreRatio":%s,"target":1.3}\n' \
  "$kivo_rollback" "$plain_restore" "$rollback_ratio" "$plain_replaced" "$(ratio "$kivo_rollback" "$rollback_floor")"
printf '{"case":"peakMemory","kivoCliMegabytes":%s,"rollbackMegabytes":%s,"target":64}\n' "$((rss_kb / 1024))" "$((rollback_rss_kb / 1024))"

if [ "$check" = --check ]; then
  missed=0
  [ "$(echo "$first_ratio <= 1.15" | bc)" = 1 ] || missed=1
  [ "$(echo "$s3_ratio <= 1.15" | bc)" = 1 ] || missed=1
  [ "$s3_rss_kb" -le 65536 ] || missed=1
  [ "$(echo "$second_ratio <= 0.10" | bc)" = 1 ] || missed=1
  [ "$(echo "$restore_ratio <= 1.3" | bc)" = 1 ] || missed=1
  [ "$(echo "$rollback_ratio <= 1.3" | bc)" = 1 ] || missed=1
  [ "$rss_kb" -le 65536 ] || missed=1
  [ "$rollback_rss_kb" -le 65536 ] || missed=1
  exit $missed
fi
