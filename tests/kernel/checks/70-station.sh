#!/bin/bash
# The configuration station's command line as its unit runs it: its
# ExecStart (the program from the build, the script in the scratch folder:
# the guest's /etc is the host's, read-only), as a dynamic user of its own
# whose only way to the readers is the group vortal9 the station's rule gives
# them, without new privileges, with the unit's umask; a reader plugged in
# after it started is configured, and SIGTERM ends it as the unit expects.
source "$SRC/tests/kernel/lib.sh"
UNIT=$SRC/packaging/station/vortal9-station.service.in
script station.txt
chmod 644 station.txt
exec_start=$(sed -n 's/^ExecStart=//p' "$UNIT")
success=$(sed -n 's/^SuccessExitStatus=//p' "$UNIT")
command=${exec_start//@VORTAL9_BINDIR@/$BUILD/bin}
command=${command//\/etc\/vortal9\/station.txt/$SCRATCH/station.txt}
group=$(sed -n 's/^SupplementaryGroups=//p' "$UNIT")
gid=$(getent group "$group" | cut -d: -f3)
echo "unit: $exec_start; runs: $command; group $group ($gid)"

(umask 077; exec setpriv --reuid=61184 --regid=61184 --groups="$gid" --no-new-privs -- $command) \
    > station.json 2> station.err &
station=$!
sleep 3
fleet f.json '{ "serial": "STATION-1", "settings": { "beep": "ON" } }'
readers r --fleet f.json || { fail start "the uhid reader did not start: $(cat r.err)"; finish; }
for i in $(seq 120); do grep -q '"STATION-1"' station.json && break; sleep 0.5; done
kill -TERM $station; wait $station; status=$?
stop_readers
cat station.json station.err
result=$(jq -r 'select(.serial == "STATION-1") | .result' station.json)
expect configured "the station configured a reader plugged in after it started: ${result:-no line}" \
    eval "[ \"$result\" = configured ] && [ \"\$(jq -r '.devices[0].stored.preamble' r.settings.json)\" = ab ]"
expect sigterm "the station's exit status on SIGTERM is $status (the unit counts 0 and $success as success)" \
    eval "[ $status = 0 ] || [ $status = $success ]"
finish
