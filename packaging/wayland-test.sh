#!/bin/sh
# The demo on Qt's Wayland platform, in weston: clicks "Enter Config" and
# takes a screenshot once the emulated reader has typed its menu.
#
# weston 10's headless backend has no input device, so nothing could click
# there; weston runs instead with its X11 backend on Xvfb, whose window
# gives it a real pointer: xdotool's click reaches the demo as a Wayland
# pointer event. The demo's environment has no DISPLAY, so it can only be a
# Wayland client.
#
#   wayland-test.sh BUILD_DIR SCREENSHOT.png      (under xvfb-run)
set -eu

build=$(realpath "$1")
shot=$2
runtime=$(mktemp -d)
chmod 700 "$runtime"
cleanup() {
    [ -n "${demo:-}" ] && kill "$demo" 2>/dev/null
    [ -n "${compositor:-}" ] && kill "$compositor" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$runtime"
}
trap cleanup EXIT
fail() { echo "FAILED: $*" >&2; exit 1; }

XDG_RUNTIME_DIR=$runtime weston --backend=x11-backend.so --use-pixman --shell=kiosk-shell.so --no-config \
    --socket=vortal9 --width=1024 --height=768 > "$runtime/weston.log" 2>&1 &
compositor=$!
for _ in $(seq 100); do [ -S "$runtime/vortal9" ] && break; sleep 0.1; done
[ -S "$runtime/vortal9" ] || { cat "$runtime/weston.log"; fail "weston did not start"; }

env -u DISPLAY XDG_RUNTIME_DIR="$runtime" WAYLAND_DISPLAY=vortal9 QT_QPA_PLATFORM=wayland \
    "$build/bin/vortal9-setup-demo" > "$runtime/demo.log" 2>&1 &
demo=$!

# The receive box (kiosk-shell centres the 504x532 window): white until the
# reader types into it.
box=460x180+270+290
ink() { import -window root -crop "$box" +repage -format '%[fx:int(1000*(1-mean))]' info:; }
for _ in $(seq 100); do
    import -window root "$runtime/before.png" 2>/dev/null &&
        [ "$(convert "$runtime/before.png" -format '%[fx:mean<0.5]' info:)" = 0 ] && break
    sleep 0.1
done
kill -0 "$demo" 2>/dev/null || { cat "$runtime/demo.log"; fail "the demo did not start on Wayland"; }
before=$(ink)

# "Enter Config", in the window's top right group of buttons.
xdotool mousemove 580 182 click 1
after=$before
for _ in $(seq 50); do
    sleep 0.2
    after=$(ink)
    [ "$after" -gt "$before" ] && break
done
sleep 2 # the rest of the menu, and the quiet period after it
import -window root -crop 504x532+260+118 +repage "$shot"
[ "$after" -gt "$before" ] || fail "nothing was typed into the receive box after Enter Config"
echo "OK: the demo ran on Wayland; after Enter Config the reader's menu is in the receive box ($shot)"
