# The two everyday commands are `make run` and `make test`; the rest are for developers.
.PHONY: deps format format-check run package test test-debug test-asan test-tsan test-sanitizers test-fuzz \
        test-package soak bench clean

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps.sh

# Reformats every C++ file with .clang-format; `make test` fails, naming the files, when one is not.
format: deps
	@scripts/format.sh

format-check: deps
	@scripts/format.sh --check

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target tobble
	./build/release/shell/tobble

# The Debian package, from the release tree: build/release/tobble_<version>_<arch>.deb.
package: deps
	JOBS=$(JOBS) scripts/package.sh

# Everything CI checks: every suite, then the engine, service and simulator suites again under
# the sanitizers, then the package. They run one after the other even under `make -j`.
test: deps
	$(MAKE) --no-print-directory format-check
	@scripts/test-ratio.sh
	$(MAKE) --no-print-directory test-debug
	$(MAKE) --no-print-directory test-asan
	$(MAKE) --no-print-directory test-tsan
	$(MAKE) --no-print-directory test-package

# Every suite in the debug tree: the quick check while working.
test-debug: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug -j $(JOBS)

# The suites that run under the sanitizers: dispatch, simulated system, engine, services and the
# scenario runner (the Qt suites and the real-server suites are left out: their libraries are not
# built with the sanitizers). The soak runs a shorter hour there.
SANITIZER_SUITES := platform_dispatch_tests platform_audio_tests engine_core_tests engine_pipeline_tests \
                    engine_engine_tests services_tests tools_tests
SANITIZER_LABELS := ^($(subst $(eval) ,|,$(strip $(SANITIZER_SUITES))))$$
SANITIZER_SOAK_ROUNDS ?= 45

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS) --target $(SANITIZER_SUITES)
	TOBBLE_SOAK_ROUNDS=$(SANITIZER_SOAK_ROUNDS) ctest --preset asan -j $(JOBS) -L '$(SANITIZER_LABELS)'

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS) --target $(SANITIZER_SUITES)
	TOBBLE_SOAK_ROUNDS=$(SANITIZER_SOAK_ROUNDS) TSAN_OPTIONS=halt_on_error=1 \
	  ctest --preset tsan -j $(JOBS) -L '$(SANITIZER_LABELS)'

test-sanitizers: test-asan test-tsan

# The package as Debian's tools see it, and installed programs started from it (tests/package/).
test-package: package
	ctest --test-dir build/release -L '^package$$' --output-on-failure

# A longer soak than the test suite's three seeds, for nightly runs.
SOAK_SEEDS ?= 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20
soak: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target engine_engine_tests
	TOBBLE_SOAK_SEEDS=$(SOAK_SEEDS) ./build/release/tests/engine_engine_tests --gtest_filter='Seeds/SoakTest.*'

# Each fuzzer runs for FUZZ_SECONDS on a scratch copy of its seed corpus, so the checked-in seeds
# stay as they are; a crash leaves its input in build/fuzz/runs/ and fails the target.
FUZZ_SECONDS ?= 60
FUZZERS := volume_store_fuzzer hidden_apps_store_fuzzer property_array_fuzzer scenario_parser_fuzzer \
           settings_file_fuzzer

test-fuzz: deps
	cmake --preset fuzz >/dev/null
	cmake --build --preset fuzz -j $(JOBS) --target $(FUZZERS)
	@set -e; for f in $(FUZZERS); do \
	  run=build/fuzz/runs/$$f; rm -rf $$run; mkdir -p $$run/corpus; \
	  cp fuzz/corpus/$$f/* $$run/corpus/; \
	  echo "== $$f for $(FUZZ_SECONDS) s"; \
	  build/fuzz/fuzz/$$f -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/json.dict \
	    -print_final_stats=1 -artifact_prefix=$$run/ $$run/corpus; \
	done

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/*_bench; do \
	  [ -x "$$b" ] || continue; echo "== $$b"; "$$b" || exit 1; \
	done
	@echo "== bench/tobble_idle.sh"; bench/tobble_idle.sh build/release/shell/tobble
	@echo "== bench/tobblectl_roundtrip.sh"; bench/tobblectl_roundtrip.sh build/release
	@echo "== bench/pipewire_scale.sh"; bench/pipewire_scale.sh build/release
	@echo "== pipewire_session_bench"; \
	  build/release/tests/pipewire_session_bench --tobble build/release/shell/tobble

clean:
	rm -rf build
