# Entry points for people and CI. `make test` is what CI runs.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= 2

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

.PHONY: all deps build test sanitize run bench fuzz clean

all: build

deps:
	@./scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@MAKEFLAGS= cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The unit and in-process tests again, under AddressSanitizer and UBSan.
sanitize: deps
	@cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUENSC_SANITIZE=ON >/dev/null
	@MAKEFLAGS= cmake --build $(ASAN_BUILD) -j $(JOBS)
	@cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -L unit

# The fuzz targets under libFuzzer (clang, with ASan and UBSan), each for
# FUZZ_SECONDS from its kept corpus; new inputs go to $(FUZZ_BUILD)/corpus.
fuzz:
	@./scripts/deps.sh fuzz
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -DCMAKE_BUILD_TYPE=Debug -DQUENSC_FUZZ=ON >/dev/null
	@MAKEFLAGS= cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzz_dispatch fuzz_config fuzz_query fuzz_parsers fuzz_session
	@./fuzz/run.sh $(FUZZ_BUILD) $(FUZZ_SECONDS)

run: build
	@./scripts/run.sh $(BUILD)

bench: build
	@./bench/run.sh $(BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)
