# Helpers for the Wine checks (sourced by tests/kernel/wine/*.sh, inside the
# virtual machine only): the Windows build's programs under Debian's Wine on
# the readers that vortal9-uhid-reader makes, through Wine's HID bus on their
# hidraw nodes.
source "$SRC/tests/kernel/lib.sh"
WINE=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver
WBIN=$WIN_BUILD/bin
export WINEPREFIX=/tmp/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# The guest's own prefix: the host's (WINE_PREFIX, read-only here) as a tree
# of links, with real copies of what Wine writes (the registry, dosdevices).
# Made once for all the Wine checks; the first Wine process then starts
# winedevice with winebus, which finds the readers' hidraw nodes through udev.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX/dosdevices"
    cp -rs "$WINE_PREFIX/drive_c" "$WINEPREFIX/drive_c"
    cp "$WINE_PREFIX"/*.reg "$WINE_PREFIX/.update-timestamp" "$WINEPREFIX/" 2>/dev/null
    ln -s ../drive_c "$WINEPREFIX/dosdevices/c:"
    ln -s / "$WINEPREFIX/dosdevices/z:"
fi

# wine PROGRAM.exe ARG...: a program of the Windows build, its output as is.
wine() { "$WINE" "$@"; }
# win_path UNIX_PATH: the same file as Windows programs name it (drive Z:).
win_path() { printf 'Z:%s' "$1" | tr / '\\'; }

# Starts the Wine server (and with its first program the HID bus) and waits
# until Windows programs see COUNT readers; the readers are to exist first.
# Wine's bus takes the devices udev lists when it starts, and later ones as
# udev announces them.
wine_sees() { # COUNT
    local i n
    for i in $(seq 60); do
        n=$(timeout 240 "$WINE" "$WBIN/vortal9-batch.exe" list --json 2>"$SCRATCH/wine-list.err" | grep -c '"reader":[0-9]')
        [ "$n" -ge "$1" ] && return 0
        echo "# Wine sees $n readers after $i tries ($(tail -2 "$SCRATCH/wine-list.err" | tr '\n' ' '))"
        sleep 1
    done
    return 1
}

wine_stop() { "$WINESERVER" -k 2>/dev/null; "$WINESERVER" -w 2>/dev/null; }
# Wine's HID bus in the guest lets unplugged readers go but takes no reader
# plugged in after it started: readers made anew are shown to Windows
# programs by starting Wine again (every Wine program ends with it).
wine_restart() { # COUNT
    wine_stop
    wine_sees "$1"
}

# Xorg on :8 with the dummy video driver, reading every keyboard (the
# readers' event nodes) through libinput, as a desktop's X server does: the
# readers' keys go to the window with the keyboard focus. Xvfb reads no
# input device. Sets XORG_PID and DISPLAY.
xorg_start() {
    Xorg :8 -config "$SRC/tests/kernel/wine/xorg.conf" -noreset -nolisten tcp -logfile "$SCRATCH/xorg.log" \
        -novtswitch -keeptty vt1 >"$SCRATCH/xorg.out" 2>&1 &
    XORG_PID=$!
    export DISPLAY=:8
    local i
    for i in $(seq 150); do
        xdotool getdisplaygeometry >/dev/null 2>&1 && return 0
        kill -0 "$XORG_PID" 2>/dev/null || break
        sleep 0.2
    done
    cat "$SCRATCH/xorg.out"
    return 1
}
xorg_stop() {
    [ -n "${XORG_PID:-}" ] || return 0
    kill "$XORG_PID" 2>/dev/null
    wait "$XORG_PID" 2>/dev/null
    XORG_PID=
}
# Xorg has added the input devices of every reader with a serial given.
xorg_has_readers() { # COUNT
    local i
    for i in $(seq 100); do
        [ "$(grep -c 'XINPUT: Adding extended input device "VORTAL9 Card Reader"' "$SCRATCH/xorg.log")" -ge "$1" ] &&
            return 0
        sleep 0.2
    done
    return 1
}

# The X window of a Wine program by its title (a regular expression), once
# it is shown.
x_window() { xdotool search --sync --onlyvisible --name "$1" 2>/dev/null | head -1; }

# batch OUT ARG...: vortal9-batch.exe with ARGs, its JSON lines in OUT
# (carriage returns dropped), its exit status in $status.
batch() {
    local out=$1
    shift
    "$WINE" "$WBIN/vortal9-batch.exe" "$@" >"$out.raw" 2>"$out.err"
    status=$?
    tr -d '\r' <"$out.raw" >"$out"
    tr -d '\r' <"$out.err" >"$out.stderr"
    rm -f "$out.raw" "$out.err"
    return 0
}
