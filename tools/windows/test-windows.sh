#!/bin/sh
# Runs the Windows build's test suites under Wine, then the installer as a
# deployment tool would: the .msi installed silently, the installed program
# started from its Start-menu shortcut under Wine on Xvfb (a screenshot of
# its window, whose command buttons must have their solid green face), an
# upgrade to the .msi of a higher version, a refused downgrade, and a silent
# removal that leaves no file, shortcut or uninstall entry behind.
#
#   test-windows.sh BUILD_DIR SCREENSHOT.png NEXT_BUILD_DIR
#
# NEXT_BUILD_DIR holds the .msi of a higher version built from the same tree.
set -eu

BUILD=$(cd "$1" && pwd)
SHOT=$(realpath "$2")
NEXT=$(cd "$3" && pwd)
WINE=${WINE:-/usr/lib/wine/wine64}
WINESERVER=$(dirname "$WINE")/wineserver
# No desktop entries outside the prefix for the installed shortcut.
export WINEPREFIX="$BUILD/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
XVFB="xvfb-run -a -s"
SCREEN="-screen 0 1024x768x24"
UNINSTALL='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
PROGRAM_KEY='HKLM\Software\VORTAL9 Setup'
INSTALLDIR="$WINEPREFIX/drive_c/Program Files/VORTAL9 Setup"
SHORTCUT="VORTAL9 Configuration Setup.lnk"

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# A private Wine prefix, made once (Wine's first start takes a while).
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    "$WINE" wineboot --init
    "$WINESERVER" -w
fi

echo "== test suites under Wine"
# One at a time: two window tests running at once in one Wine prefix lost
# the keyboard focus to each other (the prefix has one desktop). On Xvfb, so that
# Wine's screen and fonts are those of the screenshot. A failure is reported
# at the end, after the installer's checks.
tests=0
$XVFB "$SCREEN" sh -c "cd '$BUILD' && ctest --output-on-failure -j1" || tests=$?
"$WINESERVER" -w

echo "== the .zip holds the program"
unpacked=$BUILD/unpacked
rm -rf "$unpacked"
mkdir -p "$unpacked"
(cd "$unpacked" && cmake -E tar xf "$BUILD/vortal9-setup-windows.zip")
test -f "$unpacked/vortal9-setup-windows/vortal9-setup.exe" || fail "no vortal9-setup.exe in the .zip"

# The one .msi of each build, and what its Property table says.
only_msi() {
    set -- "$1"/vortal9-setup-*.msi
    [ $# -eq 1 ] && [ -f "$1" ] || fail "not exactly one .msi in $(dirname "$1")"
    echo "$1"
}
property() {
    msiinfo export "$1" Property | tr -d '\r' | awk -F '\t' -v name="$2" '$1 == name { print $2 }'
}
OLD=$(only_msi "$BUILD")
NEW=$(only_msi "$NEXT")
OLD_CODE=$(property "$OLD" ProductCode | tr -d '{}')
NEW_CODE=$(property "$NEW" ProductCode | tr -d '{}')
OLD_VERSION=$(property "$OLD" ProductVersion)
NEW_VERSION=$(property "$NEW" ProductVersion)
[ "$(property "$OLD" UpgradeCode)" = "$(property "$NEW" UpgradeCode)" ] || fail "the two .msi have other upgrade codes"
[ "$OLD_CODE" != "$NEW_CODE" ] || fail "the two versions have one product code"
echo "$OLD_VERSION $OLD_CODE -> $NEW_VERSION $NEW_CODE"

# msiexec as a deployment tool runs it; its exit status is echoed. (Under
# Wine it comes back modulo 256: 3010, reboot needed, would be 194.)
msiexec() {
    status=0
    "$WINE" msiexec "$@" /qn >&2 || status=$?
    "$WINESERVER" -w
    echo "$status"
}
winpath() {
    "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'
}
# A file in the prefix's drive C: by its C: path, as Windows names it (Wine's
# shell does not follow a shortcut that it is given by its Z: path).
cpath() {
    printf 'C:\\%s' "${1#"$WINEPREFIX/drive_c/"}" | tr / '\\'
}
# One value of a registry key, or nothing when the key or value is missing.
reg_value() {
    "$WINE" reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" '$1 == name { $1 = ""; $2 = ""; sub(/^ +/, ""); print }'
}
reg_exists() {
    "$WINE" reg query "$1" >/dev/null 2>&1
}
# Every copy of the shortcut: Windows puts a per-machine one into the common
# Start menu, Wine into the user's.
shortcuts() {
    find "$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu" \
         "$WINEPREFIX"/drive_c/users/*/AppData/Roaming/Microsoft/Windows/"Start Menu" \
         -name "$SHORTCUT" 2>/dev/null || true
}
# The product is installed as VERSION under CODE, and only so.
expect_installed() {
    code=$1 version=$2 other=$3
    key="$UNINSTALL\\{$code}"
    [ "$(reg_value "$key" DisplayName)" = "VORTAL9 Configuration Setup" ] || fail "no uninstall entry $key"
    [ "$(reg_value "$key" DisplayVersion)" = "$version" ] || fail "$key shows version $(reg_value "$key" DisplayVersion)"
    [ "$(reg_value "$key" Publisher)" = "The VORTAL9 Setup developers" ] || fail "$key has no publisher"
    case $(reg_value "$key" UninstallString) in
    *"/X{$code}"*) ;;
    *) fail "$key has no uninstall command" ;;
    esac
    ! reg_exists "$UNINSTALL\\{$other}" || fail "the other version's uninstall entry is still there"
    for file in vortal9-setup.exe vortal9-batch.exe Qt6Widgets.dll platforms/qwindows.dll libwinpthread-1.dll \
                licenses/NOTICES.txt licenses/Qt/LGPL-3.0-only.txt licenses/Qt/copyright \
                licenses/MinGW/gcc-runtime-copyright.txt licenses/MinGW/mingw-w64-copyright.txt; do
        [ -f "$INSTALLDIR/$file" ] || fail "$file is not installed"
    done
    [ "$(shortcuts | wc -l)" -eq 1 ] || fail "not exactly one Start-menu shortcut: $(shortcuts)"
    on_path || fail "the installed folder is not on the system's PATH: $(system_path)"
}

# The system's PATH, and whether the installed folder is on it.
ENVIRONMENT='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
system_path() { reg_value "$ENVIRONMENT" PATH; }
on_path() { system_path | tr ';' '\n' | grep -qix 'C:\\Program Files\\VORTAL9 Setup\\\?'; }

# Share of exactly green pixels inside a button's bevel (x y width height of
# the button in the window, the design's twips / 15).
green_share() {
    convert "$1" -crop "$(($4 - 4))x$(($5 - 4))+$(($2 + 2))+$(($3 + 2))" +repage \
        -fill black +opaque "rgb(0,255,0)" -fill white -opaque "rgb(0,255,0)" -format "%[fx:mean]" info:
}

echo "== a clean start: nothing of the program installed"
for code in "$OLD_CODE" "$NEW_CODE"; do
    msiexec /x "{$code}" >/dev/null
done
[ ! -e "$INSTALLDIR" ] && [ -z "$(shortcuts)" ] || fail "an earlier install could not be removed"

echo "== silent install of $OLD_VERSION"
[ "$(msiexec /i "$(winpath "$OLD")")" = 0 ] || fail "msiexec /i $OLD /qn"
expect_installed "$OLD_CODE" "$OLD_VERSION" "$NEW_CODE"

echo "== vortal9-batch by its name, as an administrator's shell runs it"
# A new process reads the PATH that the installer changed; it is searched by
# Windows' own rules (SearchPath). (Wine's cmd.exe stops at an empty PATH
# entry, which Wine's removal of an entry leaves behind; Windows' does not.)
version=$("$WINE" vortal9-batch --version 2>/dev/null | tr -d '\r')
[ "$version" = "vortal9-batch $OLD_VERSION" ] || fail "vortal9-batch --version through the PATH gave: $version"
status=0
"$WINE" vortal9-batch list >/dev/null 2>&1 || status=$?
[ "$status" = 4 ] || fail "vortal9-batch list without readers exited $status, not 4 (no reader attached)"
# This Wine session has no display; the window below needs a new one on Xvfb.
"$WINESERVER" -w
echo "vortal9-batch runs from the PATH: $version; list without readers exits 4"

echo "== the installed program, started from its shortcut, on Xvfb"
link=$(shortcuts)
# The copy started here the last time was ended by killing Wine, which left
# its single-instance lock behind; a restarted Wine hands out the same
# process numbers again, so the old lock would look held by the new copy.
rm -f "$WINEPREFIX"/drive_c/users/*/vortal9-setup.lock
# Wine's PATH holds only Windows' own folders and no plugin path is set, so
# every DLL and plugin must come from the installed folder.
$XVFB "$SCREEN" sh -eu -c '
    env -u QT_QPA_PLATFORM -u QT_PLUGIN_PATH "$1" start "$2"
    window=
    for _ in $(seq 60); do
        window=$(xdotool search --onlyvisible --name "^VORTAL9 Configuration Setup" 2>/dev/null | head -n 1) || true
        [ -n "$window" ] && break
        sleep 1
    done
    if [ -z "$window" ]; then echo "no window appeared" >&2; "$4" -k; exit 1; fi
    sleep 3 # first paint and the key pictures
    import -window "$window" "$3"
    "$4" -k
' sh "$WINE" "$(cpath "$link")" "$SHOT" "$WINESERVER"
echo "Screenshot: $SHOT"
while read -r name x y w h; do
    share=$(green_share "$SHOT" "$x" "$y" "$w" "$h")
    awk -v s="$share" 'BEGIN { exit !(s >= 0.6) }' || fail "$name: only $share of its face is green"
done <<EOF
BtnStart 288 8 65 33
BtnSetup 288 48 65 33
BtnClose 360 8 65 33
BtnClear 360 48 65 33
BtnExit 432 8 57 73
BtnLoadFile 144 104 81 17
BtnConSetting 232 104 81 17
BtnStartRec 320 104 81 17
BtnSave 408 104 81 17
EOF
echo "the nine command buttons have a solid green face"

echo "== silent upgrade to $NEW_VERSION"
[ "$(msiexec /i "$(winpath "$NEW")")" = 0 ] || fail "msiexec /i $NEW /qn"
expect_installed "$NEW_CODE" "$NEW_VERSION" "$OLD_CODE"

echo "== $OLD_VERSION over $NEW_VERSION is refused"
# 1603 (67 under Wine): the launch condition with the downgrade message.
[ "$(msiexec /i "$(winpath "$OLD")")" != 0 ] || fail "the downgrade was accepted"
msiinfo export "$OLD" LaunchCondition | grep -q "A newer version of \[ProductName\] is already installed" ||
    fail "no downgrade message"
expect_installed "$NEW_CODE" "$NEW_VERSION" "$OLD_CODE"

echo "== silent removal"
[ "$(msiexec /x "{$NEW_CODE}")" = 0 ] || fail "msiexec /x {$NEW_CODE} /qn"
[ ! -e "$INSTALLDIR" ] || fail "left behind: $(find "$INSTALLDIR")"
[ -z "$(shortcuts)" ] || fail "shortcut left behind: $(shortcuts)"
for code in "$OLD_CODE" "$NEW_CODE"; do
    ! reg_exists "$UNINSTALL\\{$code}" || fail "uninstall entry {$code} left behind"
done
! reg_exists "$PROGRAM_KEY" || fail "$PROGRAM_KEY left behind"
! on_path || fail "the installed folder is still on the PATH: $(system_path)"
echo "installer: install, upgrade, refused downgrade and removal passed"

if [ "$tests" -ne 0 ]; then
    echo "Some test suites failed under Wine (see above)" >&2
    exit "$tests"
fi
