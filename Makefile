# The two commands: make test, make demo.  Both install what is missing
# (Debian packages, as root), configure, build and do their job.
BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_LOG  ?= $(BUILD)/build.log
BUILD_ARMHF ?= build-armhf
SSHD       ?= sshd

.PHONY: all deps deps-armhf build build-asan build-armhf test test-plain test-asan \
	test-armhf footprint demo serve bench callgrind clean

all: build

deps:
	@tools/install-deps

deps-armhf:
	@tools/install-deps --armhf

$(BUILD)/CMakeCache.txt:
	@mkdir -p $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

$(BUILD_ASAN)/CMakeCache.txt:
	@mkdir -p $(BUILD_ASAN)
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DTQSFTP_SANITIZE=ON >/dev/null

# The armhf cross build (cmake/armhf.cmake); its tests run under qemu-arm.
$(BUILD_ARMHF)/CMakeCache.txt:
	@mkdir -p $(BUILD_ARMHF)
	cmake -S . -B $(BUILD_ARMHF) -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# The armhf server with the C++ run-time libraries linked in, for footprint.
$(BUILD_ARMHF)-static-cxx/CMakeCache.txt:
	@mkdir -p $(BUILD_ARMHF)-static-cxx
	cmake -S . -B $(BUILD_ARMHF)-static-cxx -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
	      -DCMAKE_BUILD_TYPE=MinSizeRel -DTQSFTP_BUILD_TESTS=OFF \
	      -DTQSFTP_SERVER_STATIC_CXX=ON >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)

test: test-plain test-asan

build-armhf: deps-armhf $(BUILD_ARMHF)/CMakeCache.txt
	cmake --build $(BUILD_ARMHF) -j $(JOBS)

# The plug-in's and the server's tests, armhf, under qemu-arm; the whole
# output goes to $(BUILD_ARMHF)/ctest.log, the summary to the screen.
test-armhf: build-armhf
	@echo "-- armhf tests under qemu-arm (output: $(BUILD_ARMHF)/ctest.log)"
	@cd $(BUILD_ARMHF) && { ctest --output-on-failure -j $(JOBS) >ctest.log 2>&1; \
	  rc=$$?; grep -E '\*\*\*|tests passed|Total Test time' ctest.log; exit $$rc; }

# Stripped sizes and needed libraries of the plug-in and the server.
footprint: deps deps-armhf $(BUILD)/CMakeCache.txt $(BUILD_ARMHF)/CMakeCache.txt \
	   $(BUILD_ARMHF)-static-cxx/CMakeCache.txt
	@for b in $(BUILD) $(BUILD_ARMHF) $(BUILD_ARMHF)-static-cxx; do \
	  cmake --build $$b -j $(JOBS) --target tqsftp tqsftp-server >/dev/null || exit 1; done
	@tools/footprint $(BUILD) $(BUILD_ARMHF) $(BUILD_ARMHF)-static-cxx

# The demo and the server build for themselves, with the build's output in
# $(CMAKE_LOG) rather than on the screen.
demo:
	@tools/demo $(BUILD) $(CMAKE_LOG)

serve:
	@SSHD=$(SSHD) tools/serve $(BUILD) $(CMAKE_LOG)

bench: build
	cmake --build $(BUILD) --target bench-run

callgrind: build
	cmake --build $(BUILD) --target bench-callgrind

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_ARMHF) $(BUILD_ARMHF)-static-cxx
