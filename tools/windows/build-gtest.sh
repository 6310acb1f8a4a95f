#!/bin/sh
# Builds GoogleTest for 64-bit Windows from the source that Debian's
# googletest package puts under /usr/src/googletest, with the same mingw-w64
# toolchain as the program, and installs it into PREFIX. An existing,
# complete PREFIX is reused as it is.
#
#   build-gtest.sh PREFIX [WORK]
set -eu

PREFIX=${1:?usage: build-gtest.sh PREFIX [WORK]}
WORK=${2:-$PREFIX.work}
JOBS=${JOBS:-2}
HERE=$(cd "$(dirname "$0")" && pwd)
STAMP=$PREFIX/.vortal9-gtest-complete

if [ -f "$STAMP" ]; then
    echo "GoogleTest for Windows: reusing $PREFIX"
    exit 0
fi

cmake -G Ninja -S /usr/src/googletest -B "$WORK" \
    -DCMAKE_TOOLCHAIN_FILE="$HERE/../../cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" \
    -DBUILD_GMOCK=OFF
cmake --build "$WORK" --parallel "$JOBS"
cmake --install "$WORK"
touch "$STAMP"
echo "GoogleTest for Windows: installed into $PREFIX"
