#!/usr/bin/env bash
# Cost of Tobble's data thread on a real PipeWire server with 8 and 32 tapped applications, in a
# private session the test starts and stops (PipeWire, WirePlumber, two null sinks).
# Usage: bench/pipewire_scale.sh [build tree]
set -euo pipefail
tree=${1:-build/release}
suite=$tree/tests/platform_pipewire_tests
[ -x "$suite" ] || { echo "no $suite: build the tree first" >&2; exit 1; }
"$suite" --gtest_filter='PipeWireBackendTest.ManyTappedApplicationsAllRunInTheDeviceCycle:PipeWireBackendTest.TappedApplicationIsHeardThroughTheBlockAtItsGain' |
  grep -E '^\[ measure|FAILED'
