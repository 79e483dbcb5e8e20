# bulkcom: two commands, for a fresh Debian 12 machine as root.
#   make test   builds the host simulation (with sanitizers) and the target
#               bulkcom.sys, and runs every test through ctest
#   make demo   runs the simulator's scenario (optimised build)

BUILD := build
JOBS := $(shell nproc)

# What the builds need from Debian; installed with apt-get when missing.
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev \
            g++-mingw-w64-x86-64 mingw-w64-x86-64-dev binutils-mingw-w64-x86-64 mawk
SUDO := $(if $(filter 0,$(shell id -u)),,sudo)

.PHONY: test demo packages

packages:
	@missing=$$(for package in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$package 2>/dev/null | grep -q 'install ok installed' || echo $$package; \
	done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing: $$missing"; \
	    $(SUDO) apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq --no-install-recommends $$missing; \
	fi

test: packages
	cmake -S usb-driver/target -B $(BUILD)/target -G Ninja \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake
	cmake --build $(BUILD)/target
	cmake -S . -B $(BUILD)/host-test -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBULKCOM_SANITIZE=ON \
	    -DBULKCOM_SYS_IMAGE=$(CURDIR)/$(BUILD)/target/bulkcom.sys
	cmake --build $(BUILD)/host-test -j $(JOBS)
	ctest --test-dir $(BUILD)/host-test --output-on-failure -j $(JOBS)

demo: packages
	cmake -S . -B $(BUILD)/host-release -G Ninja -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD)/host-release --target bulkcom-sim -j $(JOBS)
	$(BUILD)/host-release/usb-driver/tools/bulkcom-sim
