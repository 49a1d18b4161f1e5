# The commands:
#   make demo   sets up, builds, and installs one board end to end: Tavi.exe and Seldrix.exe under Wine,
#               driven like a technician, against a simulated board (DELIVERY=<folder> for a real delivery)
#   make        sets up the machine and builds all five deliverables (both toolchains)
#   make test   sets up, builds and runs every test of both toolchains, with each suite's summary
#
# Build trees: build/host (g++) and build/win (mingw-w64, tests under Wine).

BUILD    ?= build
HOST_DIR := $(BUILD)/host
WIN_DIR  := $(BUILD)/win
JOBS     ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all setup build host win test test-host test-win demo clean

all: build

setup:
	@bash tools/install-deps.sh

build: setup host win

host:
	cmake -S . -B $(HOST_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)
	cmake --build $(HOST_DIR) -j $(JOBS)

win: host
	cmake -S . -B $(WIN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64.cmake -DHOST_BUILD_DIR=$(abspath $(HOST_DIR)) $(CMAKE_ARGS)
	cmake --build $(WIN_DIR) -j $(JOBS)

test: build
	@bash tools/run-tests.sh $(HOST_DIR) $(WIN_DIR)

demo: build
	@DELIVERY="$(DELIVERY)" bash tools/demo/demo.sh --host $(HOST_DIR) --win $(WIN_DIR) --shots $(BUILD)/demo-screenshots

clean:
	-bash tools/wine/wine-session.sh stop $(WIN_DIR) 2>/dev/null
	rm -rf $(BUILD)
