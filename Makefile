# Developer entry points: make build | test | demo | bench | soak | asan-test | fuzz
BUILD_DIR ?= build
PYTHON_BIN = $(shell tools/bootstrap | tail -n 1)
CMAKE_FLAGS ?=

.PHONY: build test test-cpp test-python test-stubs demo bench soak asan-build asan-test fuzz clean

build:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON_BIN) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test: build test-cpp test-python test-stubs

test-cpp:
	$(BUILD_DIR)/velvane_core_tests --gtest_brief=1

test-python:
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python -m pytest tests -q -p no:cacheprovider

# The type stubs against the built module, and velvane-call against the stubs.
test-stubs:
	MYPYPATH=$(abspath $(BUILD_DIR))/python MYPY_CACHE_DIR=$(abspath $(BUILD_DIR))/mypy-cache \
	  VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python -m mypy.stubtest velvane
	MYPY_CACHE_DIR=$(abspath $(BUILD_DIR))/mypy-cache tools/python -m mypy --strict python/velvane_call.py

demo: build
	tools/python examples/demo.py

# Each script's tables are kept in bench/results/*.json and drawn as docs/bench.svg.
# BENCH_ARGS=--memory adds the 1M round-trip memory check; --quick shortens the run.
BENCH_ARGS ?=
bench: build
	cmake --build $(BUILD_DIR) --target parse_bench bench_peers
	$(BUILD_DIR)/parse_bench
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/record.py bench/run.py $(BENCH_ARGS)
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/record.py bench/client_bench.py $(filter --quick,$(BENCH_ARGS))
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/record.py bench/server_bench.py $(filter --quick --memory,$(BENCH_ARGS))
	tools/python bench/chart.py

# The server under ~1,000 checked connections and hostile peers for SOAK_SECONDS (not part of test).
SOAK_SECONDS ?= 120
soak: build
	cmake --build $(BUILD_DIR) --target bench_peers
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/soak.py --seconds $(SOAK_SECONDS)

# AddressSanitizer + UndefinedBehaviorSanitizer build of the module, its C++ tests and the Python suite.
asan-build:
	$(MAKE) build BUILD_DIR=build-asan CMAKE_FLAGS="-DVELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo"

asan-test: asan-build
	build-asan/velvane_core_tests --gtest_brief=1
	ASAN_OPTIONS=detect_leaks=0 LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	  VELVANE_BUILD_DIR=$(abspath build-asan) tools/python -m pytest tests -q -p no:cacheprovider

# libFuzzer targets with clang; FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 60
fuzz:
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DPython_EXECUTABLE=$(PYTHON_BIN) -DVELVANE_FUZZ=ON \
	  -DVELVANE_TESTS=OFF -DVELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz
	tools/fuzz build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-fuzz
