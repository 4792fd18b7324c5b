#!/usr/bin/env bash
# Builds the Debian package build-package/quorvia_VERSION_ARCH.deb from a
# release build of its own, after checking the metadata that it carries.
set -euo pipefail
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$top"

"$top/scripts/install-missing.sh" cmake g++ make pkg-config qtbase5-dev qtbase5-dev-tools \
    dpkg-dev file appstream desktop-file-utils

build=build-package
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUORVIA_BUILD_TESTS=OFF \
    -DQUORVIA_BUILD_BENCH=OFF
cmake --build "$build" --parallel "$(nproc 2>/dev/null || echo 2)"

# A software centre or a file manager that cannot read these ignores the
# program; find out here.
appstreamcli validate --no-net "$build/source/app/example.norvale.Quorvia.metainfo.xml"
desktop-file-validate source/app/quorvia.desktop

rm -f "$build"/quorvia_*.deb
(cd "$build" && cpack -G DEB)
ls "$build"/quorvia_*.deb
