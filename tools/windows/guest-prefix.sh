#!/bin/sh
# Makes the Wine prefix that the Wine checks of the real-kernel test use
# inside the virtual machine (tests/kernel/wine/), once, on the host: the
# guest sees the host's root read-only and links its own copy to it.
#
#   guest-prefix.sh PREFIX
#
# Wine's HID bus (winebus.sys) reads its options from the registry when it
# starts. Its udev bus, which shows hidraw nodes to Windows programs, never
# starts while "Enable SDL" is 1 (the default, whether or not SDL is there);
# with DisableInput=1 a reader's input event node cannot win over its hidraw
# node (the first of the two that udev announces would be taken, the second
# dropped as a duplicate).
set -eu
PREFIX=${1:?usage: guest-prefix.sh PREFIX}
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
export WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
KEY='HKLM\System\CurrentControlSet\Services\winebus'

value() { "$WINE" reg query "$KEY" /v "$1" 2>/dev/null | tr -d '\r' | awk -v n="$1" '$1 == n { print $3 }'; }
if [ -f "$PREFIX/system.reg" ] && [ "$(value DisableInput)" = 0x1 ] && [ "$(value 'Enable SDL')" = 0x0 ]; then
    "$WINESERVER" -k 2>/dev/null || true
    exit 0
fi
mkdir -p "$PREFIX"
[ -f "$PREFIX/system.reg" ] || "$WINE" wineboot --init
"$WINE" reg add "$KEY" /v "Enable SDL" /t REG_DWORD /d 0 /f
"$WINE" reg add "$KEY" /v DisableInput /t REG_DWORD /d 1 /f
"$WINE" reg add "$KEY" /v DisableHidraw /t REG_DWORD /d 0 /f
# The registry is written when the server ends.
"$WINESERVER" -k 2>/dev/null || true
"$WINESERVER" -w
echo "Wine prefix for the guest: $PREFIX"
