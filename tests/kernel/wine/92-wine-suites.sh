#!/bin/bash
# The Windows test suites that need a HID device, under Wine on uhid readers
# instead of Wine's own virtual mouse and keyboard: discovery counts the
# readers and finds their serials, a report reaches every reader from its
# channel's report thread (the readers' logs), a silent reader's report is
# given up on when the program ends; and the capture's suite with readers
# attached.
source "$SRC/tests/kernel/wine/lib.sh"
fleet f.json '{ "serial": "U1" }' '{ "serial": "U2" }' '{ "serial": "MUTE", "noAnswerAt": 1 }'
readers r --fleet f.json || { fail start "the uhid readers did not start: $(cat r.err)"; finish; }
# Wine passes no QT_* variable on: the suites with a QApplication run on
# Qt's Windows platform, which needs Wine's X driver.
xorg_start || { fail xorg "Xorg did not start: $(tail -5 xorg.log)"; finish; }
wine_sees 3 || { fail start "Wine's HID bus shows no three readers"; finish; }
for suite in test_win32_platform test_win32_capture; do
    t=$(now)
    VORTAL9_UHID_READERS=U1,U2,MUTE VORTAL9_UHID_SILENT=MUTE "$WINE" "$WBIN/$suite.exe" >"$suite.log" 2>&1
    status=$?
    tr -d '\r' <"$suite.log" | grep -E '^\[  (PASSED|FAILED|SKIPPED) |^\[==========\]|given up' | sed "s/^/$suite: /"
    tr -d '\r' <"$suite.log" | grep -E '^\[  FAILED  \]' | head -5
    expect "$suite" "$suite under Wine with three uhid readers attached: exit $status in $(elapsed "$t") s, $(tr -d '\r' <"$suite.log" | grep -c '^\[       OK \]') passed, $(tr -d '\r' <"$suite.log" | grep -c '^\[  SKIPPED \]') skipped" \
        eval "[ $status = 0 ] && ! tr -d '\r' <'$suite.log' | grep -q '^\[  SKIPPED \]'"
done
stop_readers
hot=$(jq -r 'select(.event == "set_report") | "\(.device)=\(.data)=\(.answer)"' r.log | sort | tr '\n' ' ')
echo "$hot"
expect reports "the readers' logs: $hot" \
    test "$hot" = "MUTE=001411090000000000=none U1=001411090000000000=ok U2=001411090000000000=ok "
wine_stop
xorg_stop
finish
