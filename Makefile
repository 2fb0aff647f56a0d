# The two commands: make test, make demo.  Both install what is missing
# (Debian packages, as root), configure, build and do their job.
BUILD      ?= build
BUILD_ASAN ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_LOG  ?= $(BUILD)/build.log

.PHONY: all deps build build-asan test test-plain test-asan demo serve bench callgrind clean

all: build

deps:
	@tools/install-deps

$(BUILD)/CMakeCache.txt:
	@mkdir -p $(BUILD)
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null

$(BUILD_ASAN)/CMakeCache.txt:
	@mkdir -p $(BUILD_ASAN)
	cmake -S . -B $(BUILD_ASAN) -DCMAKE_BUILD_TYPE=Debug -DTQSFTP_SANITIZE=ON >/dev/null

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

build-asan: deps $(BUILD_ASAN)/CMakeCache.txt
	cmake --build $(BUILD_ASAN) -j $(JOBS)

test-plain: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-asan: build-asan
	cd $(BUILD_ASAN) && ctest --output-on-failure -j $(JOBS)

test: test-plain test-asan

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
	rm -rf $(BUILD) $(BUILD_ASAN)
