#!/bin/sh
# Builds Qt Core, Gui, Widgets and Test for 64-bit Windows (win32-g++) from the
# source of Debian's own qt6-base package, with Debian's mingw-w64, and
# installs it into PREFIX. Host tools (moc, rcc, uic) come from the
# build machine's qt6-base-dev-tools. Nothing of the system's apt set-up is
# touched: the deb-src list lives in a private folder under WORK.
#
#   build-qt.sh PREFIX [WORK]
#
# The licence texts of the source (its LICENSES folder and Debian's copyright
# file, which lists every bundled library's notice) go into
# PREFIX/share/licenses/qt6-base, to be shipped with the DLLs.
#
# An existing, complete PREFIX is reused as it is (a PREFIX from before the
# licence texts were kept gets them added). WORK (default PREFIX.work) holds
# the source and the build tree and may be removed afterwards.
set -eu

PREFIX=${1:?usage: build-qt.sh PREFIX [WORK]}
WORK=${2:-$PREFIX.work}
JOBS=${JOBS:-2}
HERE=$(cd "$(dirname "$0")" && pwd)
TOOLCHAIN=$HERE/../../cmake/mingw-w64-x86_64.cmake
STAMP=$PREFIX/.vortal9-qt-complete
LICENSES=$PREFIX/share/licenses/qt6-base

if [ -f "$STAMP" ] && [ -f "$LICENSES/copyright" ]; then
    echo "Qt for Windows: reusing $PREFIX"
    exit 0
fi

mkdir -p "$WORK"
cd "$WORK"

# Source of Debian's qt6-base, fetched with a private deb-src list.
if ! ls -d qt6-base-*/ >/dev/null 2>&1; then
    apt_dir=$WORK/apt
    mkdir -p "$apt_dir/lists/partial"
    sed 's/^Types:.*/Types: deb-src/' /etc/apt/sources.list.d/debian.sources > "$apt_dir/debian.sources"
    set -- -o Dir::Etc::sourcelist=/dev/null -o Dir::Etc::sourceparts="$apt_dir" \
           -o Dir::State::Lists="$apt_dir/lists"
    apt-get "$@" -qq update
    apt-get "$@" -qq source qt6-base
fi
src=$(ls -d "$WORK"/qt6-base-*/ | head -n 1)

# Every third-party library is the one bundled in the source, so the DLLs
# need nothing beyond Windows and the MinGW runtime. The Debian source lacks
# the wintab header (tablet events off); the Windows platform plugin of this
# Qt version needs OpenGL on (it loads it dynamically at run time).
if [ -f "$STAMP" ]; then
    echo "Qt for Windows: adding the licence texts to $PREFIX"
else
    cmake -G Ninja -S "$src" -B "$WORK/build" \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
        -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$PREFIX" \
        -DQT_HOST_PATH=/usr \
        -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
        -DQT_QMAKE_TARGET_MKSPEC=win32-g++ \
        -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
        -DFEATURE_tabletevent=OFF \
        -DFEATURE_opengl=ON \
        -DFEATURE_dbus=OFF -DFEATURE_sql=OFF -DFEATURE_network=OFF \
        -DFEATURE_printsupport=OFF -DFEATURE_concurrent=OFF \
        -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_harfbuzz=OFF \
        -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF -DFEATURE_system_freetype=OFF \
        -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF \
        -DFEATURE_system_textmarkdownreader=OFF -DFEATURE_system_sqlite=OFF

    cmake --build "$WORK/build" --parallel "$JOBS"
    cmake --install "$WORK/build"
fi

rm -rf "$LICENSES"
mkdir -p "$LICENSES"
cp "$src/debian/copyright" "$LICENSES/copyright"
for text in "$src"/LICENSES/*.txt; do
    case $(basename "$text") in
    LicenseRef-Qt-Commercial*) ;; # not the terms this build is used under
    *) cp "$text" "$LICENSES/" ;;
    esac
done
touch "$STAMP"
echo "Qt for Windows: installed into $PREFIX"
