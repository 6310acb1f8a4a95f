#!/bin/sh
# Runs the Windows build's test suites under Wine, then starts the packed
# program from the unpacked .zip (so with nothing but what the package
# brings) under Wine on Xvfb and saves a screenshot of its window.
#
#   test-windows.sh BUILD_DIR SCREENSHOT.png
set -eu

BUILD=$(cd "$1" && pwd)
SHOT=$(realpath "$2")
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
XVFB="xvfb-run -a -s"
SCREEN="-screen 0 1024x768x24"

# A private Wine prefix, made once (Wine's first start takes a while).
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot --init
    "$WINESERVER" -w
fi

echo "== test suites under Wine"
# One at a time: two window tests running at once in one Wine prefix lost
# the keyboard focus to each other (the prefix has one desktop). On Xvfb, so that
# Wine's screen and fonts are those of the screenshot. A failure is reported
# at the end, after the screenshot.
tests=0
$XVFB "$SCREEN" sh -c "cd '$BUILD' && ctest --output-on-failure -j1" || tests=$?
"$WINESERVER" -w

echo "== the packed program under Wine on Xvfb"
unpacked=$BUILD/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$BUILD/vortal9-setup-windows.zip")
exe=$unpacked/vortal9-setup-windows/vortal9-setup.exe
test -f "$exe"

# The copy started here the last time was ended by killing Wine, which left
# its single-instance lock behind; a restarted Wine hands out the same
# process numbers again, so the old lock would look held by the new copy.
rm -f "$WINEPREFIX"/drive_c/users/*/vortal9-setup.lock
# Wine's PATH holds only Windows' own folders and no plugin path is set, so
# every DLL and plugin must come from the program's folder.
$XVFB "$SCREEN" sh -eu -c '
    env -u QT_QPA_PLATFORM -u QT_PLUGIN_PATH "$1" "$2" &
    pid=$!
    window=
    for _ in $(seq 60); do
        window=$(xdotool search --onlyvisible --name "^VORTAL9 Configuration Setup" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        sleep 1
    done
    if [ -z "$window" ]; then echo "no window appeared" >&2; kill $pid; exit 1; fi
    sleep 3 # first paint and the key pictures
    import -window "$window" "$3"
    "$4" -k
    wait $pid || true
' sh "$WINE" "$exe" "$SHOT" "$WINESERVER"
echo "Screenshot: $SHOT"
if [ "$tests" -ne 0 ]; then
    echo "Some test suites failed under Wine (see above)" >&2
    exit "$tests"
fi
