# Entry points: `make demo` and `make test` (see README.md). Both install
# what is missing first, then build what they need.
LINUX_BUILD := build/linux
WIN_BUILD := build/win
WIN64_BUILD := build/win64
DIST_DIR := build/dist
ASAN_BUILD ?= build/asan
TSAN_BUILD ?= build/tsan
SOAK_SECONDS ?= 600
JOBS ?= 2
CTEST_ARGS ?=

# The two Windows builds, "win" (32-bit) and "win64" (x64), share their
# recipes below; each has its build tree, mingw processor, Wine loader and
# kind of Wine prefix.
win_DIR = $(WIN_BUILD)
win_CPU = i686
win_WINE = wine
win_ARCH = win32
win64_DIR = $(WIN64_BUILD)
win64_CPU = x86_64
win64_WINE = /usr/lib/wine/wine64
win64_ARCH = win64
WINE_ENV = WINEPREFIX=$(CURDIR)/$($(1)_DIR)/wineprefix WINEARCH=$($(1)_ARCH) WINEDEBUG=-all

.PHONY: all deps configure build build-linux build-win build-win64 test test-linux test-vm test-win test-win64 \
	test-asan test-tsan test-dist dist soak demo lint bench bench-wine-win bench-wine-win64 clean wine-prefix-win wine-prefix-win64

all: build

deps:
	@./tools/install-deps.sh

$(LINUX_BUILD)/CMakeCache.txt:
	cmake -S . -B $(LINUX_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build-linux: deps $(LINUX_BUILD)/CMakeCache.txt
	cmake --build $(LINUX_BUILD) -j$(JOBS)

build-win build-win64: build-%: deps
	@test -f $($*_DIR)/CMakeCache.txt || cmake -S . -B $($*_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-$($*_CPU).cmake
	cmake --build $($*_DIR) -j$(JOBS)

build: build-linux build-win build-win64

test-linux: build-linux
	@rm -f $(LINUX_BUILD)/Testing/Temporary/LastTestsFailed*.log
	ctest --test-dir $(LINUX_BUILD) --output-on-failure -j$(JOBS) $(CTEST_ARGS)

# The real-stack tests alone: one VM boot (tests/vm); test-linux runs them too.
test-vm: build-linux
	ctest --test-dir $(LINUX_BUILD) --output-on-failure -L vm $(CTEST_ARGS)

# A Wine prefix private to each build tree; its wineserver is kept running
# for the whole test run (fast process start) and stopped afterwards, also
# when a test fails.
wine-prefix-win wine-prefix-win64: wine-prefix-%: deps
	@mkdir -p $($*_DIR)
	@test -d $($*_DIR)/wineprefix || $(call WINE_ENV,$*) $($*_WINE) wineboot -i >/dev/null 2>&1 || true

# Wine's own client/server link has been seen to drop under heavy load
# ("recvmsg: Connection reset by peer"), which says nothing about the
# library: a test that failed with that in its output runs once more, and
# only such a test (tools/ctest-wine.sh); the recap lists every one. The
# native runs get no retry.
# Wine starts its background services (winedevice, ...) with the first
# program of a session; they would inherit that program's output pipe and
# keep ctest waiting, so a throwaway program starts the session first.
test-win test-win64: test-%: build-% wine-prefix-%
	@rm -f $($*_DIR)/Testing/Temporary/NotRun.log; \
	if ! $(call WINE_ENV,$*) $($*_WINE) --version >/dev/null 2>&1; then \
	  ./tools/ctest-no-wine.sh $($*_DIR) $($*_WINE) $(CTEST_ARGS); exit $$?; \
	fi; \
	$(call WINE_ENV,$*) wineserver -p; \
	$(call WINE_ENV,$*) $($*_WINE) cmd /c exit >/dev/null 2>&1 </dev/null; \
	./tools/ctest-wine.sh $($*_DIR) -j$(JOBS) $(CTEST_ARGS); status=$$?; \
	$(call WINE_ENV,$*) wineserver -k; exit $$status

# Sanitizer builds of the Linux target build test programs only (no bench,
# no Java: a JVM cannot take a sanitizer runtime), plus what the tool, export
# and natives tests run.
SANITIZE_CONFIGURE = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPDXKIT_SANITIZE=$(2) >/dev/null
# (test_programs and <area>_test_programs gather test programs, so that one
# target is built in parallel instead of many targets one after the other.)
NATIVE_TEST_TARGETS = test_programs pdxkit pdxkit_tool pdxsim_provider
# Under ThreadSanitizer: the conformance suite, the runtime's contention
# tests, the library's concurrency tests and the reliability tests (stress,
# unplugging, lifecycle, faults).
TSAN_TEST_TARGETS = conformance_test_programs reliability_test_programs concurrency_test contention_test
# The umockdev-based tests preload a library ahead of the sanitizer runtime.
ASAN_ENV = ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
TSAN_ENV = TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$(CURDIR)/tests/reliability/sim.tsan.supp

# AddressSanitizer with UndefinedBehaviorSanitizer (and LeakSanitizer): every
# native test.
test-asan: deps
	@$(call SANITIZE_CONFIGURE,$(ASAN_BUILD),address)
	cmake --build $(ASAN_BUILD) -j$(JOBS) --target $(NATIVE_TEST_TARGETS)
	@rm -f $(ASAN_BUILD)/Testing/Temporary/LastTestsFailed*.log
	$(ASAN_ENV) ctest --test-dir $(ASAN_BUILD) --output-on-failure -j$(JOBS) -LE "java|install" $(CTEST_ARGS)

test-tsan: deps
	@$(call SANITIZE_CONFIGURE,$(TSAN_BUILD),thread)
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target $(TSAN_TEST_TARGETS)
	@rm -f $(TSAN_BUILD)/Testing/Temporary/LastTestsFailed*.log $(TSAN_BUILD)/Testing/Temporary/LastTest-first.log; \
	status=0; \
	$(TSAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(JOBS) -L "conformance|reliability" $(CTEST_ARGS) || status=1; \
	mv -f $(TSAN_BUILD)/Testing/Temporary/LastTestsFailed.log $(TSAN_BUILD)/Testing/Temporary/LastTestsFailed-first.log 2>/dev/null; \
	mv -f $(TSAN_BUILD)/Testing/Temporary/LastTest.log $(TSAN_BUILD)/Testing/Temporary/LastTest-first.log 2>/dev/null; \
	$(TSAN_ENV) ctest --test-dir $(TSAN_BUILD) --output-on-failure -j$(JOBS) -R "^(ConcurrencyTest\.|Contention)" $(CTEST_ARGS) || status=1; \
	exit $$status

# The reliability stress test for $(SOAK_SECONDS) seconds on the plain build.
soak: deps $(LINUX_BUILD)/CMakeCache.txt
	cmake --build $(LINUX_BUILD) -j$(JOBS) --target stress_posix_test
	PDXKIT_STRESS_SECONDS=$(SOAK_SECONDS) $(LINUX_BUILD)/bin/stress_posix_test \
	  --gtest_filter=StressTest.SixteenStreamingChipsUnderMixedCalls

# The house style: .clang-format over every C/C++ file, .clang-tidy over the
# library, its runtime and the Linux HID stack (tools/lint.sh).
lint: deps $(LINUX_BUILD)/CMakeCache.txt
	./tools/lint.sh $(LINUX_BUILD)

# Every run goes ahead even when an earlier one failed; a recap at the end
# names the runs and tests that failed, so the tail of a long log says why.
test: deps
	@$(MAKE) --no-print-directory build-linux build-win build-win64
	@failed=""; \
	for run in lint test-linux test-win test-win64 test-dist test-asan test-tsan; do \
	  $(MAKE) --no-print-directory $$run || failed="$$failed $$run"; \
	done; \
	./tools/test-recap.sh $$failed

# Benchmarks on simulated chips: the Linux build natively (Release), the
# Windows build under Wine (informative); JSON in build/bench-results/.
# BENCH_ARGS=--full holds the throughput rates for 10 s. The real-stack
# section runs first, in its own VM boot (tests/vm/run-vm.sh ... bench; the
# VM's limits apply); its figures go into linux.json under "real_stack". A
# failed VM fails make bench, once the other figures are measured.
REAL_STACK_JSON := build/bench-linux/vm/out/real_stack.json
bench: deps
	cmake -S . -B build/bench-linux -DCMAKE_BUILD_TYPE=Release
	cmake --build build/bench-linux --target pdxbench pdxbench_real_stack pdxchip -j$(JOBS)
	@mkdir -p build/bench-results
	@status=0; tests/vm/run-vm.sh build/bench-linux bench || status=$$?; \
	echo $$status > build/bench-results/real-stack.status; \
	real_stack=; [ $$status -eq 0 ] && real_stack="--real-stack $(REAL_STACK_JSON)"; \
	echo build/bench-linux/bin/pdxbench $(BENCH_ARGS) $$real_stack --json build/bench-results/linux.json; \
	build/bench-linux/bin/pdxbench $(BENCH_ARGS) $$real_stack --json build/bench-results/linux.json
	@$(MAKE) --no-print-directory bench-wine-$$($(call WINE_ENV,win) $(win_WINE) --version >/dev/null 2>&1 && echo win || echo win64)
	@[ "$$(cat build/bench-results/real-stack.status)" = 0 ] || { echo "make bench: the real-stack VM failed (its log tail is above)" >&2; exit 1; }

# The Windows build's figures under Wine: the 32-bit build where 32-bit Wine
# can start, else (a kernel that runs 64-bit programs only) the x64 build.
bench-wine-win bench-wine-win64: bench-wine-%:
	cmake -S . -B build/bench-$* -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/toolchain-mingw-$($*_CPU).cmake
	cmake --build build/bench-$* --target pdxbench -j$(JOBS)
	@status=0; cmake/wine-run build/bench-$*/bin/pdxbench.exe $(BENCH_ARGS) \
	  --json build/bench-results/windows-wine-$*.json || status=$$?; \
	WINEPREFIX=$(CURDIR)/build/bench-$*/wineprefix wineserver -k; exit $$status

# What a Windows user downloads: both DLLs with their import libraries and
# .def files, the header, the jar and a README (tools/make-dist.sh).
dist: build-win build-win64
	./tools/make-dist.sh $(DIST_DIR) $(WIN_BUILD) $(WIN64_BUILD)

test-dist: dist
	sh tests/dist/check_dist.sh $(DIST_DIR)

demo: build-linux
	./tools/demo.sh $(LINUX_BUILD)/bin/pdxkit

clean:
	rm -rf build
