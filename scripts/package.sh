#!/usr/bin/env bash
# Builds the Debian package in the release tree: build/release/tobble_<version>_<arch>.deb.
# Only the installed programs and documents are built, not the tree's test suites.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${JOBS:-$(nproc)}
cmake --preset release >/dev/null
cmake --build --preset release -j "$jobs" --target tobble tobblectl tobble_docs
cd build/release
rm -f tobble_*.deb
cpack -G DEB
