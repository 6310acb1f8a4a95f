#!/bin/bash
# Two uhid readers and a uhid keyboard of other ids: list and doctor find the
# readers (node, serial, capturable) and not the keyboard; udev applies our
# rules to the readers' hidraw and event nodes (and not the keyboard's); a
# user outside the rules' reach gets the fix from doctor, and once it is
# applied configures a reader; so does the station's group.
source "$SRC/tests/kernel/lib.sh"
script s.txt
RULES=/run/udev/rules.d

readers r --readers 2 --keyboard || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
R1=$(hidraw_of VT9-UHID-001) R2=$(hidraw_of VT9-UHID-002)
KB=$(grep -l 'HID_ID=0003:000004B4:00000101' /sys/class/hidraw/hidraw*/device/uevent | head -1 | cut -d/ -f5)
echo "readers $R1 $R2, keyboard $KB"

"$BATCH" list --json > list.json; echo "list: $?"; cat list.json
expect list "list shows the two readers, open and capturable" \
    test "$(jq -r 'select(.reader != null and .open and .capture) | "\(.hidraw) \(.serial)"' list.json | sort | tr '\n' ' ')" \
    = "$R1 VT9-UHID-001 $R2 VT9-UHID-002 "
expect list-keyboard "list names the keyboard of other ids" \
    test -n "$KB" -a "$(grep -c "/dev/$KB\"" list.json)" = 0
"$BATCH" doctor > doctor.txt; status=$?; cat doctor.txt
"$BATCH" doctor --json > doctor.json
expect doctor "doctor: both readers ready, exit 0 (got $status)" \
    test "$status" = 0 -a "$(jq -r 'select(.usable and .capture and (.problems | length) == 0) | .hidraw' doctor.json | sort | tr '\n' ' ')" = "$R1 $R2 "

# The rules on the nodes: udev's own word, then the nodes' group and mode.
rules_on() { # NODE: "tag group mode"
    local tag=no
    udevadm info --query=property --name="$1" | grep -q '^CURRENT_TAGS=.*:uaccess:' && tag=uaccess
    echo "$tag $(stat -c '%G %a' "$1")"
}
bad=
for node in $R1 $(events_of $R1) $R2 $(events_of $R2); do
    got=$(rules_on $node); echo "$node: $got"
    [ "$got" = "uaccess vortal9 660" ] || bad="$bad $node($got)"
done
expect rules "our rules on every reader node (tag uaccess, group vortal9, mode 660):${bad:- none}" test -z "$bad"
bad=
for node in /dev/$KB $(events_of /dev/$KB); do
    got=$(rules_on $node); echo "$node: $got"
    # udev's own default: root 600, or group input 660 for its event nodes
    # where the system has that group (Xorg's packages add it).
    case "$node:$got" in "$node:no root 600" | /dev/input/*:"no input 660") ;; *) bad="$bad $node($got)" ;; esac
done
expect rules-keyboard "the keyboard's nodes untouched by our rules:${bad:- none}" test -z "$bad"

# The station's group: a user with only the group vortal9.
as_station "$BATCH" doctor > station-doctor.txt; status=$?; cat station-doctor.txt
expect station-doctor "doctor in the group vortal9 exits $status" test "$status" = 0
as_station "$BATCH" apply s.txt --reader "$R1" --json > station-apply.json; status=$?; cat station-apply.json
expect station-apply "apply in the group vortal9 exits $status" \
    test "$status" = 0 -a "$(jq -r .result station-apply.json)" = configured
stop_readers

# A plain user, without the rule: doctor names the fix.
mv $RULES/70-vortal9.rules "$SCRATCH/70-vortal9.rules.orig"
udevadm control --reload
readers u --readers 1 --serial-prefix USER- || { fail start "the uhid reader did not start"; finish; }
U1=$(hidraw_of USER-001)
as_user "$BATCH" doctor > user-doctor.txt; status=$?; cat user-doctor.txt
as_user "$BATCH" apply s.txt --reader "$U1" > user-refused.txt 2>&1; refused=$?; cat user-refused.txt
expect user-doctor "doctor as a plain user exits 1 and names the rule and the reload (exit $status)" \
    eval "[ $status = 1 ] && grep -q \"<<'EOF'\" user-doctor.txt && grep -q 'udevadm control --reload' user-doctor.txt"
# A reader it cannot open is a reader not configured (exit 1), with the fix named.
expect user-refused "apply as a plain user without the rule: exit $refused, nothing sent" \
    eval "[ $refused = 1 ] && grep -q 'not configured' user-refused.txt && [ \$(jq -s '[.[] | select(.event == \"set_report\")] | length' u.log) = 0 ]"

# The fix as doctor prints it: the here-document (into the guest's /run, as
# /etc is the host's, read-only), then the reload. logind is not running in
# the guest, so the seat's access that "uaccess" stands for is given by a
# rule of the test's own: the owner of every node udev tagged.
sed -n "/<<'EOF'/,/^EOF\$/p" user-doctor.txt | sed '1d;$d' > $RULES/70-vortal9.rules
cat $RULES/70-vortal9.rules
echo 'TAG=="uaccess", SUBSYSTEM=="hidraw|input", OWNER="991"' > $RULES/73-vortal9-test-seat.rules
fix=$(grep -m1 'udevadm control --reload' user-doctor.txt | sed 's/sudo //g')
echo "fix: $fix"
eval "$fix"
udevadm settle --timeout=20
ls -l "$U1" $(events_of "$U1")
as_user "$BATCH" doctor > user-doctor2.txt; status=$?; cat user-doctor2.txt
expect user-fixed "doctor as the plain user after the fix exits $status" test "$status" = 0
as_user "$BATCH" apply s.txt --reader "$U1" --json > user-apply.json; status=$?; cat user-apply.json
expect user-apply "apply as the plain user after the fix exits $status" \
    test "$status" = 0 -a "$(jq -r .result user-apply.json)" = configured
stop_readers

rm -f $RULES/73-vortal9-test-seat.rules
cp "$SRC/udev/70-vortal9.rules" $RULES/
udevadm control --reload
finish
