# Developer entry points: make build | test | demo | bench | soak | asan-test | debug-test | tsan-test | fuzz
BUILD_DIR ?= build
PYTHON_BIN = $(shell tools/bootstrap | tail -n 1)
CMAKE_FLAGS ?=

.PHONY: build test test-peers test-cpp test-python test-stubs demo bench soak asan-build asan-test debug-build debug-test \
  tsan-test fuzz fuzz-build fuzz-ci clean

build:
	cmake -S . -B $(BUILD_DIR) -G Ninja -DPython_EXECUTABLE=$(PYTHON_BIN) $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR)

test: build test-peers test-cpp test-python test-stubs

# Apache Thrift's C++ server and client (bench/peers), which the interop tests also talk to.
test-peers:
	cmake --build $(BUILD_DIR) --target bench_peers

test-cpp:
	$(BUILD_DIR)/velvane_core_tests --gtest_brief=1

test-python:
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python -m pytest tests -q -p no:cacheprovider

# The type stubs against the built module, and velvane-call against the stubs.
test-stubs:
	MYPYPATH=$(abspath $(BUILD_DIR))/python MYPY_CACHE_DIR=$(abspath $(BUILD_DIR))/mypy-cache \
	  VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python -m mypy.stubtest velvane --allowlist tools/stubtest-allowlist.txt
	MYPY_CACHE_DIR=$(abspath $(BUILD_DIR))/mypy-cache VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) \
	  tools/python -m mypy --strict python/velvane_call.py

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
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/record.py bench/tls_bench.py $(filter --quick,$(BENCH_ARGS))
	VELVANE_BUILD_DIR=$(abspath $(BUILD_DIR)) tools/python bench/instructions.py $(filter --quick,$(BENCH_ARGS))
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

# The module built against the debug interpreter (Py_DEBUG: reference-count, thread-state and
# allocator checks on every path, the networking threads included) and the Python suite under it,
# in development mode (asyncio's debug mode refuses loop calls from other threads).
debug-build:
	$(MAKE) build BUILD_DIR=build-debug PYTHON_BIN="$$(tools/bootstrap --debug | tail -n 1)" \
	  CMAKE_FLAGS="-DCMAKE_BUILD_TYPE=Debug -DVELVANE_TESTS=OFF"

debug-test: debug-build
	PYTHONDEVMODE=1 PYTHONPATH=$(abspath build-debug/python) VELVANE_BUILD_DIR=$(abspath build-debug) \
	  "$$(tools/bootstrap --debug | tail -n 1)" -m pytest tests -q -p no:cacheprovider

# The C++ test suites (networking core: client, server loops, framing, async client) under
# ThreadSanitizer; no Python module.
tsan-test:
	cmake -S . -B build-tsan -G Ninja -DPython_EXECUTABLE=$(PYTHON_BIN) -DVELVANE_TSAN=ON \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-tsan --target velvane_core_tests
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(abspath tools/tsan.supp)" \
	  build-tsan/velvane_core_tests --gtest_brief=1

# libFuzzer targets with clang; FUZZ_SECONDS per target (fuzz-ci: a short run for CI).
FUZZ_SECONDS ?= 60
fuzz: fuzz-build
	tools/fuzz build-fuzz $(FUZZ_SECONDS)

fuzz-build:
	CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DPython_EXECUTABLE=$(PYTHON_BIN) -DVELVANE_FUZZ=ON \
	  -DVELVANE_TESTS=OFF -DVELVANE_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz --target fuzz_targets

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=20

clean:
	rm -rf build build-asan build-debug build-tsan build-fuzz
