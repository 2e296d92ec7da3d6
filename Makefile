# Front door of the project: every target configures its own build folder.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CTEST_FLAGS ?= --output-on-failure --no-tests=error -j $(JOBS) --timeout 600

.PHONY: all build test test-asan demo bench fuzz install clean

all: build

build:
	@sh .ci/need-tools build
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS)

test:
	@sh .ci/need-tools test
	$(MAKE) build
	ctest --test-dir build $(CTEST_FLAGS)

# The same tests under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DECHOMARK_SANITIZE=ON
	cmake --build build-asan -j $(JOBS)
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --test-dir build-asan $(CTEST_FLAGS)

# Only the program, not the test programs, so a fresh clone shows a run quickly.
demo:
	@sh .ci/need-tools build
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build -j $(JOBS) --target echomark
	sh tool/demo.sh build/echomark

# The DNS reply parser under libFuzzer for 60 s (needs clang and libclang-rt).
fuzz:
	sh fuzz/run.sh 60

PREFIX ?= /usr/local
install: build
	cmake --install build --prefix $(PREFIX)

clean:
	rm -rf build build-asan

bench: build
	./build/echomark_bench build/echomark
