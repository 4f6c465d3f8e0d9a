# The two commands of this project:
#   make run    builds, then updates the built-in virtual ARKO Q9 and shows its versions
#   make test   builds and runs every test (plain, AddressSanitizer+UBSan, ThreadSanitizer,
#               fuzzing, the Debian package, Windows under Wine, the real kernel under QEMU)
# and the quicker `make check`: the plain build's tests without the slow harnesses.
# Each target installs the Debian packages it needs first (tools/install-deps.sh):
# `make build` and `make run` the run set only, every other target the test set too.

JOBS ?= $(shell nproc)
RUNS ?= 20000
CHECK_RUNS ?= 100
CMAKE_FLAGS ?=
VIRTUAL_LINK ?= link=262144,erase-ms=2,write-ms=1

# build/ holds the programs only when nothing but `make build` or `make run`
# is asked for (then neither GoogleTest nor any other test package is
# needed); for every other target it holds the tests and benchmarks too.
ifeq ($(MAKECMDGOALS),$(filter build run,$(MAKECMDGOALS)))
BUILD_TESTS ?= OFF
else
BUILD_TESTS ?= ON
endif
# `make run` alone builds only the program it runs (`make build`: all of them).
ifeq ($(MAKECMDGOALS),run)
BUILD_TARGETS ?= --target q9-updater-cli
endif

.DEFAULT_GOAL := build
.PHONY: run test check deps deps-test build build-asan build-tsan fuzz bench explore screenshot clean package check-package windows build-win test-windows

deps:
	@bash tools/install-deps.sh run

deps-test:
	@bash tools/install-deps.sh run test

build: $(if $(filter ON,$(BUILD_TESTS)),deps-test,deps)
	cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQ9_WERROR=ON \
	  -DQ9_TESTS=$(BUILD_TESTS) -DQ9_BENCH=$(BUILD_TESTS) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS) $(BUILD_TARGETS)

run: build
	./build/cli/q9-updater-cli update --virtual-device=$(VIRTUAL_LINK)

test: build check-package
	ctest --test-dir build --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory build-asan build-tsan fuzz test-windows

# The plain build's unit and end-to-end tests, without the real kernel under
# QEMU (label qemu) and the JACK server stops (label slow), and the fault
# explorer over CHECK_RUNS seeds instead of 500; no sanitizer builds, fuzzer,
# package or Wine (docs/testing.md).
check: build
	ctest --test-dir build --output-on-failure -j $(JOBS) -LE 'qemu|slow' -E '^fault_explorer$$'
	./build/tests/fault_explorer --runs=$(CHECK_RUNS)

build-asan: deps-test
	cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQ9_WERROR=ON -DQ9_BENCH=OFF \
	  -DQ9_SANITIZE=address,undefined
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# Qt itself is not built for ThreadSanitizer, so the toolkit-free code is checked here.
build-tsan: deps-test
	cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQ9_WERROR=ON -DQ9_BENCH=OFF -DQ9_GUI=OFF \
	  -DQ9_SANITIZE=thread
	cmake --build build-tsan -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 setarch $$(uname -m) -R ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

fuzz: deps-test
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQ9_GUI=OFF -DQ9_BENCH=OFF \
	  -DQ9_FUZZ=ON -DQ9_SANITIZE=address,undefined
	cmake --build build-fuzz -j $(JOBS) --target fuzz_parse_replies
	mkdir -p build-fuzz/corpus
	./build-fuzz/tests/fuzz_parse_replies -max_total_time=30 -print_final_stats=1 build-fuzz/corpus

# The Debian package, build/q9-updater_<version>_<arch>.deb.
package: build
	cmake --build build --target package

# The package checked as installed: lintian, desktop entry, AppStream data,
# dpkg -i, the programs from /usr/bin, the manual, dpkg -r (as root).
check-package: package
	bash tools/check-package.sh build

bench: build
	for b in build/bench/*_bench; do $$b; done
	bash bench/alsa_standin_bench.sh build || [ $$? = 77 ]
	bash bench/all_devices_bench.sh build

# Whole updates under faults drawn from seeds 1 to RUNS (see tests/fault_explorer.cpp).
explore: build
	./build/tests/fault_explorer --runs=$(RUNS)

screenshot: build
	@bash tools/install-deps.sh pictures
	bash tools/screenshot.sh build docs/dialog.png

# Windows: MinGW-w64 cross build (cmake/mingw-w64-x86_64.cmake).  `make windows`
# leaves q9-updater.exe and q9-updater-cli.exe, which need nothing beside
# them, in build-windows/bin; the tests run under Wine from build-win.
WINDOWS_CMAKE = -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DQ9_WERROR=ON

windows: deps-test
	cmake -S . -B build-windows $(WINDOWS_CMAKE) -DQ9_TESTS=OFF
	cmake --build build-windows -j $(JOBS)
	cmake --install build-windows --prefix $(CURDIR)/build-windows --strip
	@ls -l build-windows/bin/*.exe

build-win: deps-test
	cmake -S . -B build-win $(WINDOWS_CMAKE)
	cmake --build build-win -j $(JOBS)

test-windows: build-win
	bash tools/wine-tests.sh build-win -j $(JOBS)

clean:
	-WINEPREFIX=$(CURDIR)/build-win/wine wineserver -k 2>/dev/null
	rm -rf build build-asan build-tsan build-fuzz build-win build-windows
