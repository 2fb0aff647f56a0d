# The two commands: make test, make demo.  Both install what is missing
# (Debian packages, as root), configure, build and do their job.
BUILD      ?= build
BUILD_ASAN ?= build-asan
BUILD_FUZZ ?= build-fuzz
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
CMAKE_LOG  ?= $(BUILD)/build.log

.PHONY: all deps build build-asan build-fuzz test test-plain test-asan test-fuzz fuzz demo serve bench callgrind clean

all: build

deps:
	@tools/install-deps

$(BUILD)/CMakeCache.txt:
	@mkdir -p $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

$(BUILD_ASAN)/CMakeCache.txt:
	@mkdir -p $(BUILD_ASAN)
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DTQSFTP_SANITIZE=ON >/dev/null

$(BUILD_FUZZ)/CMakeCache.txt:
	@mkdir -p $(BUILD_FUZZ)
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) -DTQSFTP_FUZZ=ON >/dev/null

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

# The demo and the server build for themselves, with the build's output in
# $(CMAKE_LOG) rather than on the screen.
demo:
	@tools/demo $(BUILD) $(CMAKE_LOG)

serve:
	@tools/serve $(BUILD) $(CMAKE_LOG)

bench: build
	cmake --build $(BUILD) --target bench-run

callgrind: build
	cmake --build $(BUILD) --target bench-callgrind

clean:
	rm -rf $(BUILD) $(BUILD_ASAN) $(BUILD_FUZZ)
