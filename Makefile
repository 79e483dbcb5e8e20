# bulkcom: on a fresh Debian 12 machine, as root.
#   make test     builds the target bulkcom.sys and the host simulation three
#                 times (AddressSanitizer with UndefinedBehaviorSanitizer,
#                 ThreadSanitizer, and clang's libFuzzer harnesses), runs the
#                 real bulkcom.sys on Wine's kernel, and runs every test through
#                 ctest; the stress test and the fuzzers run for a fixed, short time
#   make demo     runs the simulator's scenario (optimised build)
#   make package  builds the test-signed driver package in build/package
#                 (bulkcom.sys, bulkcom.inf, the test certificate, INSTALL.txt)
#   make bench    benchmarks the data path against raw USB requests (optimised
#                 build) and charts it in build/bench/throughput.svg
# Long runs, built as for make test:
#   make stress STRESS_SECONDS=600   the stress test, under both sanitizers
#   make fuzz FUZZ_SECONDS=3600      both fuzzers

BUILD := build
JOBS := $(shell nproc)

# What the builds need from Debian; installed with apt-get when missing.
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
            g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 mawk \
            clang libclang-rt-14-dev wine wine64 g++-mingw-w64-x86-64-posix googletest \
            osslsigncode openssl gnuplot-nox libpcap-dev tshark
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: test demo package bench packages target host-asan host-tsan fuzz-build stress fuzz

STRESS_SECONDS ?= 600
FUZZ_SECONDS ?= 600

packages:
	@missing=$$(for package in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$package 2>/dev/null | grep -q 'install ok installed' || echo $$package; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing: $$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

test: packages host-asan host-tsan fuzz-build target
	cmake -S usb-driver/tests/wine/scenarios -B $(BUILD)/wine-scenarios -G Ninja
	cmake --build $(BUILD)/wine-scenarios -j $(JOBS)
	cmake -S usb-driver/tests/wine -B $(BUILD)/wine-test -G Ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake \
	    -DBULKCOM_SYS_IMAGE=$(CURDIR)/$(BUILD)/target/bulkcom.sys \
	    -DBULKCOM_WINE_CLIENTS=$(CURDIR)/$(BUILD)/wine-scenarios/bulkcom-scenarios.exe
	cmake --build $(BUILD)/wine-test
	ctest --test-dir $(BUILD)/wine-test --output-on-failure
	ctest --test-dir $(BUILD)/host-tsan --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/fuzz --output-on-failure -j $(JOBS)
	ctest --test-dir $(BUILD)/host-test --output-on-failure -j $(JOBS)

target: packages
	cmake -S usb-driver/target -B $(BUILD)/target -G Ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD)/target

host-asan: packages
	cmake -S . -B $(BUILD)/host-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBULKCOM_SANITIZE=ON \
	    -DBULKCOM_SYS_IMAGE=$(CURDIR)/$(BUILD)/target/bulkcom.sys
	cmake --build $(BUILD)/host-test -j $(JOBS)

host-tsan: packages
	cmake -S . -B $(BUILD)/host-tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBULKCOM_SANITIZE_THREAD=ON
	cmake --build $(BUILD)/host-tsan -j $(JOBS)

fuzz-build: packages
	cmake -S . -B $(BUILD)/fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DBULKCOM_FUZZ=ON
	cmake --build $(BUILD)/fuzz -j $(JOBS)

stress: host-asan host-tsan
	BULKCOM_STRESS_SECONDS=$(STRESS_SECONDS) \
	    $(BUILD)/host-test/usb-driver/tests/tests_reliability --gtest_filter='*StressTest*'
	BULKCOM_STRESS_SECONDS=$(STRESS_SECONDS) TSAN_OPTIONS=suppressions=$(CURDIR)/usb-driver/tests/tsan.supp \
	    $(BUILD)/host-tsan/usb-driver/tests/tests_reliability --gtest_filter='*StressTest*'

fuzz: fuzz-build
	FUZZ_SECONDS=$(FUZZ_SECONDS) cmake --build $(BUILD)/fuzz --target fuzz -j 2

demo: packages
	cmake -S . -B $(BUILD)/host-release -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/host-release --target bulkcom-sim -j $(JOBS)
	$(BUILD)/host-release/usb-driver/tools/bulkcom-sim

package: target
	usb-driver/tools/make-package.sh $(BUILD)/target/bulkcom.sys usb-driver/inf/bulkcom.inf README.md $(BUILD)/package

bench: packages
	cmake -S . -B $(BUILD)/host-release -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/host-release --target bulkcom-bench -j $(JOBS)
	usb-driver/tools/bench-chart.sh $(BUILD)/host-release/usb-driver/tools/bulkcom-bench $(BUILD)/bench
