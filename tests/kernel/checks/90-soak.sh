#!/bin/bash
# A station that runs for weeks, compressed: the station's command line as
# its unit runs it (vortal9-batch watch --json, as a dynamic user of its own
# in the group vortal9) while uhid readers are plugged in and out SOAK_PLUGS
# times (make kernel-test KERNEL_SOAK_PLUGS=N; 500 by default), ten at a
# time: four that are configured, two that swipe a card while their script
# plays, two that never answer a report (the kernel gives up after 5 s), one
# unplugged at its third report and one, typing slowly, unplugged with the
# rest while its script still plays. A round's readers are plugged in while
# the round before plays its script. Every reader plugged in has one result
# line, with the result its kind calls for; no card digit is in anything the
# station wrote; with no reader plugged in, its threads and open files after
# the last round are what they were after the warm-up (the first five
# rounds), its resident memory within 10 % of it. The figures of each quiet
# moment are in soak.csv, each round's times in rounds.csv (plugged in: the
# uhid readers made and udev done with them; the results of the round
# before in; unplugged: every result of that round in).
# time limit: 120 + 3 * SOAK_PLUGS
source "$SRC/tests/kernel/lib.sh"
UNIT=$SRC/packaging/station/vortal9-station.service.in
CARD=4731829460571938 # the emulated reader's test card (its number)
PER_ROUND=10
WARM_UP=5
ROUNDS=$(( (SOAK_PLUGS + PER_ROUND - 1) / PER_ROUND ))
[ "$ROUNDS" -gt "$WARM_UP" ] || ROUNDS=$((WARM_UP + 1))
# The hot key, "3" (the next terminator), "8" (save and exit).
printf '%s\r\n' 141109F009F011F014FF26F026FF3EF03EFF > station.txt
chmod 644 station.txt
exec_start=$(sed -n 's/^ExecStart=//p' "$UNIT")
success=$(sed -n 's/^SuccessExitStatus=//p' "$UNIT")
command=${exec_start//@VORTAL9_BINDIR@/$BUILD/bin}
command=${command//\/etc\/vortal9\/station.txt/$SCRATCH/station.txt}
gid=$(getent group "$(sed -n 's/^SupplementaryGroups=//p' "$UNIT")" | cut -d: -f3)
echo "soak: $ROUNDS rounds of $PER_ROUND readers; the station runs: $command"

(umask 077; exec setpriv --reuid=61184 --regid=61184 --groups="$gid" --no-new-privs -- $command) \
    > station.json 2> station.err &
station=$!
began=$(now)

# The station's threads, open files and resident memory (KiB).
threads() { awk '/^Threads:/ { print $2 }' "/proc/$station/status"; }
files() { ls "/proc/$station/fd" | wc -l; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$station/status"; }
# steady_rss: the resident memory once two readings a second apart agree (a
# job's last work may still allocate for a moment), 15 s at most.
steady_rss() {
    local last now i
    last=$(rss)
    for i in $(seq 15); do
        sleep 1
        now=$(rss)
        [ "$now" = "$last" ] && break
        last=$now
    done
    echo "$now"
}
sample() { echo "$1,$(elapsed "$began"),$(threads),$(files),$(rss)" >> soak.csv; }
# results SERIAL...: how many of them have a result line.
results() {
    local serial n=0
    for serial in "$@"; do grep -q "\"serial\":\"$serial\"" station.json && n=$((n + 1)); done
    echo $n
}
# await COUNT SERIAL...: until COUNT of them have their result (60 s at most).
await() {
    local want=$1 i
    shift
    for i in $(seq 240); do [ "$(results "$@")" -ge "$want" ] && return 0; sleep 0.25; done
    stuck="$stuck $(results "$@") of $want results for $*;"
}
# settle COUNT: until the station's threads are back to COUNT (its jobs have
# let their readers go), 10 s at most.
settle() {
    local i
    for i in $(seq 40); do [ "$(threads)" -le "$1" ] && return 0; sleep 0.25; done
    return 1
}

# plug ROUND: its readers, in two uhid reader programs: the one unplugged at
# its third report alone (the kernel holds its program while the device goes
# away, and the others' answers must not wait for that).
declare -A PIDS
plug() {
    local p=S$1-
    fleet f$1.json \
        "{ \"serial\": \"${p}G1\" }" "{ \"serial\": \"${p}G2\" }" "{ \"serial\": \"${p}G3\" }" "{ \"serial\": \"${p}G4\" }" \
        "{ \"serial\": \"${p}W1\", \"swipes\": [ { \"atMs\": 2000 } ] }" \
        "{ \"serial\": \"${p}W2\", \"swipes\": [ { \"atMs\": 4000 } ] }" \
        "{ \"serial\": \"${p}M1\", \"noAnswerAt\": 1 }" "{ \"serial\": \"${p}M2\", \"noAnswerAt\": 4 }" \
        "{ \"serial\": \"${p}P1\", \"typing\": { \"charIntervalMs\": 400 } }"
    fleet u$1.json "{ \"serial\": \"${p}U1\", \"unplugAt\": 3 }"
    local from
    from=$(elapsed "$began")
    readers r$1 --fleet f$1.json || { fail start "round $1: the uhid readers did not start: $(cat r$1.err)"; return 1; }
    PIDS[$1]=$READERS_PID
    readers u$1 --fleet u$1.json || { fail start "round $1: the uhid reader did not start: $(cat u$1.err)"; return 1; }
    PIDS[$1]="${PIDS[$1]} $READERS_PID"
    READERS_PID=
    echo "$1,plugging,$from" >> rounds.csv
    echo "$1,plugged,$(elapsed "$began")" >> rounds.csv
    plugged+=("${p}G1" "${p}G2" "${p}G3" "${p}G4" "${p}W1" "${p}W2" "${p}M1" "${p}M2" "${p}U1" "${p}P1")
}
# unplug ROUND: once every reader of the round but the slow one has its
# result, the rest go away (the slow one while its script plays).
unplug() {
    local p=S$1- pid
    await 9 "${p}G1" "${p}G2" "${p}G3" "${p}G4" "${p}W1" "${p}W2" "${p}M1" "${p}M2" "${p}U1"
    echo "$1,ended,$(elapsed "$began")" >> rounds.csv
    for pid in ${PIDS[$1]}; do kill -TERM "$pid" 2>/dev/null; wait "$pid" 2>/dev/null; done
    await 1 "${p}P1"
    echo "$1,unplugged,$(elapsed "$began")" >> rounds.csv
}

sleep 3 # the station's start-up, before the first reader
idle_threads=$(threads) idle_files=$(files)
echo "after,elapsed_s,threads,files,rss_kib" > soak.csv
echo "round,event,elapsed_s" > rounds.csv
sample start
plugged=()
stuck=
for round in $(seq "$ROUNDS"); do
    plug "$round" || break
    # The round before goes while this one starts: its readers' captures
    # and the other's script overlap.
    [ "$round" -gt 1 ] && [ "$round" != $((WARM_UP + 1)) ] && unplug $((round - 1))
    if [ "$round" = "$WARM_UP" ]; then
        # No reader left: what the station holds when idle, after the warm-up.
        unplug "$round"
        settle "$idle_threads"
        sample "round $round"
        warm_threads=$(threads) warm_files=$(files) warm_rss=$(steady_rss)
        # Where the station's time goes in the next rounds (timer samples:
        # perf works under TCG), for a look afterwards: soak-profile.txt.
        if command -v perf >/dev/null; then
            perf record -F 199 -g -p $station -o perf.data -- sleep 60 >/dev/null 2>&1 &
            profiler=$!
        fi
    fi
    kill -0 $station 2>/dev/null || { fail alive "the station ended in round $round: $(tail -3 station.err)"; break; }
done
[ "$ROUNDS" != "$WARM_UP" ] && unplug "$ROUNDS"
settle "$warm_threads"
sample "round $ROUNDS"
end_threads=$(threads) end_files=$(files) end_rss=$(steady_rss)
took=$(elapsed "$began")
if [ -n "${profiler:-}" ]; then
    wait $profiler
    perf report -i perf.data --stdio --no-children -g none --sort dso,sym 2>/dev/null | grep -v '^$' | head -40 > soak-profile.txt
    rm -f perf.data
fi
kill -TERM $station; wait $station; status=$?
cat soak.csv station.err
tail -12 station.json

# One result line per reader plugged in, as its kind calls for.
wrong=
for serial in "${plugged[@]}"; do
    got=$(jq -r --arg s "$serial" 'select(.serial == $s) | .result' station.json)
    case "${serial##*-}:$got" in
    G?:configured | W?:configured | M?:"write error" | M?:"reader not responding" | U1:unplugged | P1:unplugged) ;;
    W?:*card* | W?:*swipe*) ;; # a swipe that voids an answer is a result of its own
    # Keys the guest's kernel dropped (its event queue overflowed while the
    # shared machine held the virtual CPU back): the reader is told to be
    # configured again, which is a result with its reason; counted below.
    G?:"keys lost: repeat" | W?:"keys lost: repeat") ;;
    # The slow reader is unplugged while its script plays; where the guest
    # let it finish first, it is configured (counted below).
    P1:configured) ;;
    *) wrong="$wrong $serial:${got:-no line}" ;;
    esac
    [ "$(grep -c "\"serial\":\"$serial\"" station.json)" -le 1 ] || wrong="$wrong $serial:twice"
done
lines=$(grep -c '"result"' station.json)
expect every-reader "${#plugged[@]} readers plugged in, $lines result lines, $(grep -c '"configured"' station.json) configured, $(grep -c '"keys lost: repeat"' station.json) keys lost: repeat, $(jq -r 'select(.result == "configured") | .serial' station.json | grep -c -- '-P1$') slow readers done before their unplug;${wrong:- each as its kind calls for}${stuck:+; stuck:$stuck}" \
    eval "[ -z '$wrong' ] && [ -z '$stuck' ] && [ $lines = ${#plugged[@]} ]"
expect flat "idle after the warm-up ($((WARM_UP * PER_ROUND)) readers) / at the end (${#plugged[@]} readers, $took s): threads $warm_threads / $end_threads (at the start $idle_threads), open files $warm_files / $end_files (at the start $idle_files), resident memory $warm_rss / $end_rss KiB" \
    eval "[ '$end_threads' = '$warm_threads' ] && [ '$end_files' = '$warm_files' ] \
          && awk -v a='$warm_rss' -v b='$end_rss' 'BEGIN { d = b - a; if (d < 0) d = -d; exit !(a > 0 && d <= a / 10) }'"
leaks=$(grep -l -e "$CARD" -e "${CARD:0:6}" -e "${CARD: -4}" station.json station.err 2>/dev/null | tr '\n' ' ')
expect no-card-data "card digits found in: ${leaks:-nothing}" test -z "$leaks"
expect sigterm "the station's exit status on SIGTERM is $status (the unit counts 0 and $success as success)" \
    eval "[ $status = 0 ] || [ $status = $success ]"
finish
