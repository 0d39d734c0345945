#!/usr/bin/env bash
# Prints the non-blank line counts of the tests and of the code they test, and their ratio.
# Tests are everything under tests/; code is the C++ of the layers and the tools (benchmarks and
# fuzz targets count as neither). It only prints: the goal is a quarter to a third.
set -euo pipefail
cd "$(dirname "$0")/.."
count() { git ls-files "$@" | grep -E '\.(cpp|h)$' | xargs cat 2>/dev/null | grep -cv '^[[:space:]]*$'; }
tests=$(count tests)
code=$(count platform engine services ui shell tools)
awk -v t="$tests" -v c="$code" 'BEGIN { printf "test-ratio: tests %d lines, code %d lines, ratio %.2f\n", t, c, t / c }'
