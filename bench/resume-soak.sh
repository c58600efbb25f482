#!/bin/bash
# SPDX-License-Identifier: Apache-2.0
# Kills either side of a transfer with SIGKILL, again and again, and lets it
# resume each time; then checks the copy is byte-identical with its modes and
# that no conflict was ever recorded (the destination home starts empty, so
# every file in it is kivo's own). Kills cycle through three moments: a random
# instant, the destination's verification, and the first chunk of an empty or
# small file. When a transfer finishes before enough kills, another one starts
# into a fresh home. Prints one JSON line; exits 0 only when every copy was
# identical and nothing crashed, hung or recorded a conflict.
#
#   bench/resume-soak.sh BUILD_DIR [KILLS (50)] [SEED]
#   SOAK_TREE=small  a tree of a few MiB, for a quick run
set -u

build=${1:?usage: bench/resume-soak.sh BUILD_DIR [KILLS] [SEED]}
kills_wanted=${2:-50}
seed=${3:-$$}
RANDOM=$seed
peer=$build/bench/kivo-transfer-peer
[ -x "$peer" ] || { echo "no $peer" >&2; exit 2; }
# Slow enough that a kill lands inside a run, fast enough to finish.
cap=${SOAK_CAP_MBPS:-80}
work=$(mktemp -d)
# The shell reports every killed or crashed peer on its stderr; keep that out of the way.
exec 3>&2 2>>"$work/shell.log"
dpid= spid=
cleanup() {
    for p in $dpid $spid; do kill -9 "$p" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "${SOAK_KEEP:-}" ] && echo "kept $work" >&3 || rm -rf "$work"
}
trap cleanup EXIT
src=$work/source

mk() { # path size mode
    mkdir -p "$(dirname "$src/$1")"
    head -c "$2" /dev/urandom >"$src/$1"
    chmod "$3" "$src/$1"
}
MiB=1048576
mk a/00-empty 0 0644
mk a/01-tiny 1 0600
mk a/02-empty 0 0755
mk a/03-mib-minus-one $((MiB - 1)) 0644
mk a/04-mib $MiB 0600
mk a/05-mib-plus-one $((MiB + 1)) 0755
mk a/06-small 700 0755
mk a/07-few-mib $((3 * MiB + 17)) 0600
random_ms=500
if [ "${SOAK_TREE:-full}" != small ]; then
    random_ms=2500
    mk b/08-empty 0 0600
    mk b/09-tiny 13 0644
    mk b/10-few-mib $((5 * MiB)) 0755
    mk b/11-small 4096 0600
    mk c/12-few-mib $((7 * MiB + 1)) 0644
    mk c/13-empty 0 0755
    mk c/14-tiny 2 0644
    modes=(0600 0644 0755)
    for i in $(seq 10 29); do
        mk "d/$i-small" $((RANDOM % 5000)) "${modes[RANDOM % 3]}"
    done
fi
# In the order the source sends them.
mapfile -t files < <(cd "$src" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)

describe() { # relative path, size, mode and hash of every file but kivo's own folder
    (cd "$1" && find . -path ./.local/share/kivo -prune -o -type f -printf '%P\n' | LC_ALL=C sort |
        while IFS= read -r p; do echo "$p $(stat -c '%s %a' "$p") $(sha256sum <"$p" | cut -c1-64)"; done)
}
want=$(describe "$src")

kills=0 resumes=0 rounds=0 runs=0 crashes=0 hangs=0 conflicts=0 identical=true
killed_source=0 killed_destination=0 by_random=0 by_verification=0 by_small=0
# Failures are grouped by their text with the numbers taken out: one entry
# per kind, with its count and its first occurrence.
declare -A failure_count failure_first
failure_keys=()
fail() {
    identical=false
    local key
    key=$(sed 's/[0-9]\+/N/g' <<<"$1")
    if [ -z "${failure_count[$key]:-}" ]; then
        failure_keys+=("$key")
        failure_count[$key]=0
        failure_first[$key]=${1:0:240}
    fi
    failure_count[$key]=$((failure_count[$key] + 1))
}
errors_of() { grep -o '"error":"[^"]*"' "$1" | head -1; }

checkpoint() { echo "$home/.local/share/kivo/transfers/$id.json"; }
completed_files() { awk '/"completedFiles"/{f=1;next} f&&/\]/{f=0} f' "$(checkpoint)" 2>/dev/null; }
alive() { kill -0 "$1" 2>/dev/null; }
both_alive() { alive "$dpid" && alive "$spid"; }

start_pair() {
    rm -f "$work/port"
    "$peer" --role destination --home "$home" --listen 0 --port-file "$work/port" --transfer-id "$id" \
        >"$work/dst.out" 2>>"$work/dst.log" &
    dpid=$!
    for _ in $(seq 3000); do [ -s "$work/port" ] && break; sleep 0.01; done
    "$peer" --role source --folder "$src" --connect "127.0.0.1:$(cat "$work/port")" --transfer-id "$id" \
        --cap "$cap" >"$work/src.out" 2>>"$work/src.log" &
    spid=$!
}

# Exit status of a peer, killing it after 60 s of waiting (a hang).
reap() {
    local pid=$1 name=$2
    hung=false
    for _ in $(seq 600); do alive "$pid" || break; sleep 0.1; done
    if alive "$pid"; then
        hangs=$((hangs + 1))
        fail "$name still running 60 s after its peer ended (round $rounds, run $runs; last kill: $last_kill)"
        kill -9 "$pid" 2>/dev/null
        hung=true
    fi
    wait "$pid" 2>/dev/null
}

# Waits until the chosen moment or until the run ends; true when it is time to kill.
await_moment() {
    local kind=$1 target=$2 i=0
    case $kind in
    random)
        local until=$((RANDOM % random_ms))
        while both_alive && [ $i -lt "$until" ]; do sleep 0.005; i=$((i + 5)); done ;;
    verification)
        # The source says so once it has asked; the destination is then hashing.
        until ! both_alive || [ "$(grep -c 'Asking the destination to verify' "$work/src.log")" -gt "$asked_before" ]; do
            sleep 0.002
        done ;;
    small)
        # Right after the file before it finished: its first chunk is on its way.
        until ! both_alive || { [ -z "$target" ] && [ -s "$(checkpoint)" ]; } ||
            { [ -n "$target" ] && completed_files | grep -qF "\"~/$target\""; }; do
            sleep 0.002
        done ;;
    esac
    both_alive
}

# The file sent after `$1` ("" for the first one).
pick_small_name() {
    local i
    [ -z "$1" ] && { echo "${files[0]}"; return; }
    for i in "${!files[@]}"; do [ "${files[$i]}" = "$1" ] && { echo "${files[$((i + 1))]}"; return; }; done
}

# The empty or small file whose predecessor to wait for ("" for the first file), among those not done yet.
pick_small() {
    local done_now candidates=() i
    done_now=$(completed_files)
    for i in "${!files[@]}"; do
        local size
        size=$(stat -c %s "$src/${files[$i]}")
        [ "$size" -le 4096 ] || continue
        grep -qF "\"~/${files[$i]}\"" <<<"$done_now" && continue
        candidates+=("$i")
    done
    [ ${#candidates[@]} -gt 0 ] || return 1
    i=${candidates[RANDOM % ${#candidates[@]}]}
    [ "$i" -eq 0 ] && echo "" || echo "${files[$((i - 1))]}"
}

started=$(date +%s.%N)
while :; do
    rounds=$((rounds + 1))
    home=$work/home-$rounds
    id=soak-$seed-$rounds
    mkdir -p "$home"
    finished=false
    failed_runs=0
    last_kill=none
    for _ in $(seq $((kills_wanted * 3 + 20))); do
        runs=$((runs + 1))
        [ -s "$(checkpoint)" ] && resumes=$((resumes + 1))
        asked_before=$(grep -c 'Asking the destination to verify' "$work/src.log" 2>/dev/null || true)
        asked_before=${asked_before:-0}
        start_pair
        killed=
        if [ "$kills" -lt "$kills_wanted" ]; then
            kinds=(random verification small)
            kind=${kinds[kills % 3]}
            target=
            if [ "$kind" = small ]; then
                if target=$(pick_small); then small_file=$(pick_small_name "$target"); else kind=verification; fi
            fi
            if await_moment "$kind" "$target"; then
                # Seen too late, the small file already done: it counts as a kill at random.
                [ "$kind" = small ] && completed_files | grep -qF "\"~/$small_file\"" && kind=random
                if [ $((RANDOM % 2)) -eq 0 ]; then
                    killed=source victim=$spid killed_source=$((killed_source + 1))
                else
                    killed=destination victim=$dpid killed_destination=$((killed_destination + 1))
                fi
                kill -9 "$victim"
                kills=$((kills + 1))
                last_kill="$killed at $kind"
                case $kind in
                random) by_random=$((by_random + 1)) ;;
                verification) by_verification=$((by_verification + 1)) ;;
                small) by_small=$((by_small + 1)) ;;
                esac
            fi
        fi
        reap "$spid" source; src_rc=$?
        $hung && src_rc=1
        reap "$dpid" destination; dst_rc=$?
        $hung && dst_rc=1
        dpid= spid=
        # A signal we did not send is a crash.
        [ "$killed" != source ] && [ "$src_rc" -gt 128 ] && { crashes=$((crashes + 1)); fail "source died with status $src_rc (round $rounds, run $runs; last kill: $last_kill)"; }
        [ "$killed" != destination ] && [ "$dst_rc" -gt 128 ] && { crashes=$((crashes + 1)); fail "destination died with status $dst_rc (round $rounds, run $runs; last kill: $last_kill)"; }
        if [ "$killed" != destination ] && [ -s "$work/dst.out" ] && ! grep -q '"conflicts":\[\]' "$work/dst.out"; then
            conflicts=$((conflicts + 1))
            fail "destination recorded a conflict over its own file: $(grep -o '"conflicts":\[[^]]*\]' "$work/dst.out" | head -c 300)"
        fi
        if [ -z "$killed" ]; then
            if [ "$src_rc" -eq 0 ] && [ "$dst_rc" -eq 0 ]; then
                finished=true
                break
            fi
            fail "run $runs ended without a kill: source $src_rc $(errors_of "$work/src.out"), destination $dst_rc $(errors_of "$work/dst.out")"
            # The same failure again and again: this transfer cannot finish.
            failed_runs=$((failed_runs + 1))
            [ $failed_runs -ge 3 ] && break
        fi
    done
    if ! $finished; then
        fail "round $rounds never finished"
    elif [ "$(describe "$home")" != "$want" ]; then
        fail "round $rounds: the copy differs: $(diff <(echo "$want") <(describe "$home") | head -5 | tr '\n' ' ')"
    elif [ -e "$(checkpoint)" ]; then
        fail "round $rounds: the checkpoint outlived a finished transfer"
    fi
    [ "$kills" -ge "$kills_wanted" ] && break
    [ "$rounds" -ge $((kills_wanted + 5)) ] && { fail "too many rounds"; break; }
done
seconds=$(echo "$(date +%s.%N) - $started" | bc)

json_failures=
for key in "${failure_keys[@]}"; do
    f="${failure_count[$key]}x: ${failure_first[$key]}"
    f=${f//\\/\\\\}; f=${f//\"/\\\"}
    json_failures+=${json_failures:+,}\"$f\"
done
printf '{"kills":%d,"resumes":%d,"seconds":%.1f,"identical":%s,"rounds":%d,"runs":%d,"killedSource":%d,"killedDestination":%d,"killsAtRandom":%d,"killsInVerification":%d,"killsAtSmallFiles":%d,"crashes":%d,"hangs":%d,"conflicts":%d,"seed":%d,"failures":[%s]}\n' \
    "$kills" "$resumes" "$seconds" "$identical" "$rounds" "$runs" "$killed_source" "$killed_destination" \
    "$by_random" "$by_verification" "$by_small" "$crashes" "$hangs" "$conflicts" "$seed" "$json_failures"
$identical
