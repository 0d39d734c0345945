# The two everyday commands are `make run` and `make test`; the rest are for developers.
.PHONY: deps run test test-asan test-tsan bench clean

JOBS ?= $(shell nproc)

deps:
	@scripts/install-deps.sh

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target tobble-demo
	./build/release/tools/tobble-demo/tobble-demo

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

bench: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/*_bench; do \
	  [ -x "$$b" ] || continue; echo "== $$b"; "$$b" || exit 1; \
	done

clean:
	rm -rf build
