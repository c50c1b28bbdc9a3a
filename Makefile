# Entry points: `make demo` and `make test` (see README.md). Both install
# what is missing first, then build what they need.
LINUX_BUILD := build/linux
WIN_BUILD := build/win
JOBS ?= 2
CTEST_ARGS ?=
WINE_ENV = WINEPREFIX=$(CURDIR)/$(WIN_BUILD)/wineprefix WINEARCH=win32 WINEDEBUG=-all

.PHONY: all deps configure build build-linux build-win test test-linux test-win demo bench clean wine-prefix

all: build

deps:
	@./tools/install-deps.sh

$(LINUX_BUILD)/CMakeCache.txt:
	cmake -S . -B $(LINUX_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

$(WIN_BUILD)/CMakeCache.txt:
	cmake -S . -B $(WIN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-i686.cmake

build-linux: deps $(LINUX_BUILD)/CMakeCache.txt
	cmake --build $(LINUX_BUILD) -j$(JOBS)

build-win: deps $(WIN_BUILD)/CMakeCache.txt
	cmake --build $(WIN_BUILD) -j$(JOBS)

build: build-linux build-win

test-linux: build-linux
	ctest --test-dir $(LINUX_BUILD) --output-on-failure -j$(JOBS) $(CTEST_ARGS)

# A Wine prefix private to the build tree; its wineserver is kept running for
# the whole test run (fast process start) and stopped afterwards, also when a
# test fails.
wine-prefix: deps
	@mkdir -p $(WIN_BUILD)
	@test -d $(WIN_BUILD)/wineprefix || $(WINE_ENV) wineboot -i >/dev/null 2>&1 || true

test-win: build-win wine-prefix
	@$(WINE_ENV) wineserver -p; \
	ctest --test-dir $(WIN_BUILD) --output-on-failure -j$(JOBS) $(CTEST_ARGS); status=$$?; \
	$(WINE_ENV) wineserver -k; exit $$status

test: deps
	@$(MAKE) --no-print-directory build-linux build-win
	@status=0; \
	$(MAKE) --no-print-directory test-linux || status=1; \
	$(MAKE) --no-print-directory test-win || status=1; \
	exit $$status

# Benchmarks on simulated chips: the Linux build natively (Release), the
# Windows build under Wine (informative); JSON in build/bench-results/.
# BENCH_ARGS=--full holds the throughput rates for 10 s.
bench: deps
	cmake -S . -B build/bench-linux -DCMAKE_BUILD_TYPE=Release
	cmake --build build/bench-linux --target pdxbench -j$(JOBS)
	cmake -S . -B build/bench-win -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-i686.cmake
	cmake --build build/bench-win --target pdxbench -j$(JOBS)
	@mkdir -p build/bench-results
	build/bench-linux/bin/pdxbench $(BENCH_ARGS) --json build/bench-results/linux.json
	@status=0; cmake/wine-run build/bench-win/bin/pdxbench.exe $(BENCH_ARGS) \
	  --json build/bench-results/windows-wine.json || status=$$?; \
	WINEPREFIX=$(CURDIR)/build/bench-win/wineprefix wineserver -k; exit $$status

demo: build-linux
	@if [ -x $(LINUX_BUILD)/bin/pdxkit ]; then ./tools/demo.sh $(LINUX_BUILD)/bin/pdxkit; \
	else echo "pdxkit is built; the demonstration tool is not part of this build yet."; fi

clean:
	rm -rf build
