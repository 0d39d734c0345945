# The two everyday commands are `make run` and `make test`; the rest are for developers.
.PHONY: deps run test test-asan test-tsan test-fuzz bench clean

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps.sh

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target tobble
	./build/release/app/shell/tobble

test: deps
	cmake --preset debug >/dev/null
	cmake --build --preset debug -j $(JOBS)
	ctest --preset debug -j $(JOBS)

test-asan: deps
	cmake --preset asan >/dev/null
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan -j $(JOBS)

# Each fuzzer runs for FUZZ_SECONDS on a scratch copy of its seed corpus, so the checked-in seeds
# stay as they are; a crash leaves its input in build/fuzz/runs/ and fails the target.
FUZZ_SECONDS ?= 60
FUZZERS := volume_store_fuzzer hidden_apps_store_fuzzer

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

clean:
	rm -rf build
