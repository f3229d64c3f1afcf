# make run   - build and start qvt on the simulated controller
# make test  - build and run the whole test suite headless
.PHONY: run test test-sanitize test-tsan bench deps build

JOBS ?= $(shell nproc)

deps:
	@bash tools/install-deps.sh

build: deps
	cmake --preset default >/dev/null
	cmake --build --preset default -j $(JOBS)

run: build
	./build/bin/qvt

test: build
	QT_QPA_PLATFORM=offscreen ctest --preset default

test-sanitize: deps
	cmake --preset sanitize >/dev/null
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize

test-tsan: deps
	cmake --preset tsan >/dev/null
	cmake --build --preset tsan -j $(JOBS)
	ctest --preset tsan

bench: deps
	cmake --preset bench >/dev/null
	cmake --build --preset bench -j $(JOBS)
	@for b in build-bench/bin/bench_*; do [ -x "$$b" ] && "$$b"; done; true
