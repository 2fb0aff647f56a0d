# The two commands: make test, make demo.  Both install what is missing
# (Debian packages, as root), configure, build and do their job.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
CMAKE_LOG  ?= $(BUILD)/build.log
BUILD_ARMHF ?= build-armhf
SSHD       ?= sshd

.PHONY: all deps deps-armhf build build-asan build-fuzz build-armhf test test-plain \
	test-asan test-fuzz test-armhf fuzz footprint demo serve bench callgrind clean

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

$(BUILD_FUZZ)/CMakeCache.txt:
	@mkdir -p $(BUILD_FUZZ)
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTQSFTP_FUZZ=ON >/dev/null

# The armhf cross build (cmake/armhf.cmake); its tests run under qemu-arm.
$(BUILD_ARMHF)/CMakeCache.txt:
	@mkdir -p $(BUILD_ARMHF)
	cmake -S . -B $(BUILD_ARMHF) -DCMAKE_TOOLCHAIN_FILE=cmake/armhf.cmake \
	      -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

# The armhf build at its smallest (MinSizeRel, the services' C++ run-time
# linked in), for footprint.
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

build-fuzz: deps $(BUILD_FUZZ)/CMakeCache.txt
	cmake --build $(BUILD_FUZZ) -j $(JOBS) --target fuzz_resolve fuzz_session

# The fuzz targets over their seeds and every saved regression input, once.
test-fuzz: build-fuzz
	cd $(BUILD_FUZZ) && ctest --output-on-failure -j $(JOBS)

test: test-plain test-asan test-fuzz

# Each fuzz target for FUZZ_SECONDS in a device root, stopping at the first
# finding; new inputs go to $(BUILD_FUZZ)/corpus/<target>, the input of a
# finding to $(BUILD_FUZZ)/artifacts/.
fuzz: build-fuzz
	@status=0; for t in resolve session; do \
	    mkdir -p $(BUILD_FUZZ)/corpus/$$t $(BUILD_FUZZ)/artifacts; \
	    echo "fuzz: $$t for $(FUZZ_SECONDS) s"; \
	    tools/devroot --build $(BUILD_FUZZ) -- $(abspath $(BUILD_FUZZ))/tests/fuzz/fuzz_$$t \
	        -max_total_time=$(FUZZ_SECONDS) -timeout=10 -rss_limit_mb=1024 \
	        -print_final_stats=1 -artifact_prefix=$(abspath $(BUILD_FUZZ))/artifacts/$$t- \
	        $(abspath $(BUILD_FUZZ))/corpus/$$t $(CURDIR)/tests/fuzz/corpus/$$t || status=1; \
	done; exit $$status

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
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ) $(BUILD_ARMHF) $(BUILD_ARMHF)-static-cxx
