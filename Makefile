# Two entry points for a fresh Debian machine:
#   make run    install what the program needs, build the program and the
#               sample generator (Release), write the built-in sample clip,
#               analyse it and say where the outputs are
#   make test   install everything the build and the tests need, build every
#               target (Release) and run every test
#   make bench  build (Release), run the benchmarks and the throughput script
#   make install  install what is missing, build (Release) and install under
#               PREFIX (/usr/local): the programs, `import lumaqc` for
#               /usr/bin/python3 and lumaqc-batch
# and the hardening passes of the CI (.ci/run):
#   make sanitize   every test under AddressSanitizer and UBSan, the
#                   end-to-end ones under LeakSanitizer too
#   make fuzz       each fuzz target for a few seconds (libFuzzer)
# (both from one clang build, $(BUILD)-clang; `make leakcheck` runs the
# end-to-end tests alone under LeakSanitizer)

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE_DIR = $(BUILD)/sample
PREFIX ?= /usr/local

.PHONY: all deps run-deps test-deps hardening-deps configure build run test install bench sanitize clang-build leakcheck fuzz clean

all: build

deps:
	@./scripts/install-deps.sh

# The build's packages and what the tests need besides (Node.js, Chromium,
# npm packages); first, so that configuring finds Node.js.
test-deps:
	@./scripts/install-deps.sh --test

# Only what the program needs: no tests, benchmarks or Python package.
run-deps:
	@./scripts/install-deps.sh --minimal

# ccache, when installed, keeps rebuilds short.
CCACHE := $(shell command -v ccache 2>/dev/null)
CMAKE_CONFIGURE = cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release \
    $(if $(CCACHE),-DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE))

configure: deps
	$(CMAKE_CONFIGURE) -DLUMAQC_TESTS=ON -DLUMAQC_PYTHON=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=OFF

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# The least that shows the tool working: the program and the sample
# generator, then the sample analysed with a JSON document and an HTML report.
run: run-deps
	$(CMAKE_CONFIGURE) -DLUMAQC_TESTS=OFF -DLUMAQC_PYTHON=OFF -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(BUILD) -j $(JOBS) --target lumaqc lumaqc-testcard
	mkdir -p $(SAMPLE_DIR)
	$(BUILD)/lumaqc-testcard $(SAMPLE_DIR)/testcard.yuv
	cd $(SAMPLE_DIR) && ../lumaqc testcard.yuv 352 288 --profile default --json testcard.json --report testcard.html
	@echo
	@echo "The sample and what lumaqc wrote, in $(SAMPLE_DIR)/:"
	@echo "  testcard.yuv            the built-in test card (352 x 288, 137 frames)"
	@echo "  metricsResultsCSV.csv   the log: one row of fifteen indicators per frame"
	@echo "  testcard.json           the values, their summary, the QC events and verdict"
	@echo "  testcard.html           the interactive report: open it in a browser"
	@echo "Next: $(BUILD)/lumaqc --help, and the guides in docs/ (README.md lists them)."

test: test-deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

# Not part of the tests: each indicator and the whole frame at 1920x1080 and
# 3840x2160 (Google Benchmark), then on one clip frames per second end to end
# with one thread and with all, against FFmpeg's analysis filters, one AVX2
# read pass of the plane and decoding alone; then lumaqc-batch on 8 files
# against a serial single-thread loop over the program. The main figures of
# the run close it, in one block, with the machine and its load.
BENCH_SUMMARY = $(BUILD)/bench-summary.txt
bench: build
	$(BUILD)/bench/lumaqc_bench --benchmark_filter='^(Yardstick|Frame|Indicator)/'
	@rm -f $(BENCH_SUMMARY)
	./bench/throughput.sh -b $(BUILD) -S $(BENCH_SUMMARY)
	./bench/batch_throughput.sh -b $(BUILD) -n 8 -s 1920x1080 -f 50 -S $(BENCH_SUMMARY)
	@echo
	@echo "Summary (Release build; $$(nproc) hardware threads,$$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2);"
	@echo "load average $$(cut -d' ' -f1-3 /proc/loadavg) at the end: ratios within this run are what carry over)"
	@cat $(BENCH_SUMMARY)

# clang with libFuzzer and the sanitizer runtimes.
hardening-deps:
	@./scripts/install-deps.sh --hardening

# One build with clang serves the three hardening passes below: everything
# (tests and fuzz targets) with AddressSanitizer, LeakSanitizer and
# UndefinedBehaviorSanitizer, instrumented for libFuzzer, optimised a little
# (-O1) so that the tests stay fast; no benchmarks.
CLANG_BUILD = $(BUILD)-clang
clang-build: hardening-deps test-deps
	CC=clang CXX=clang++ cmake -S . -B $(CLANG_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" -DLUMAQC_FUZZ=ON \
	    -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
	cmake --build $(CLANG_BUILD) -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer; any
# report fails the test that caused it. The end-to-end tests run with
# LeakSanitizer on as well (as in leakcheck below), so that each runs once.
# The browser checks of the JSON document and the HTML report run in the
# Release build only.
sanitize: clang-build
	cd $(CLANG_BUILD) && ASAN_OPTIONS=detect_leaks=0 \
	    ctest --output-on-failure -j $(JOBS) -E '^browser\.' -LE e2e
	cd $(CLANG_BUILD) && ASAN_OPTIONS=detect_leaks=1 \
	    ctest --output-on-failure -j $(JOBS) -E '^browser\.' -L e2e

# The end-to-end tests once more, every run of lumaqc checked for leaks by
# LeakSanitizer: a leak changes its exit status and fails the test.
leakcheck: clang-build
	cd $(CLANG_BUILD) && ASAN_OPTIONS=detect_leaks=1 \
	    ctest --output-on-failure -j $(JOBS) -L e2e

# Each fuzz target for FUZZ_SECONDS with libFuzzer, starting from the seed
# corpus in fuzz/corpus; new inputs and findings stay in $(CLANG_BUILD).
FUZZ_SECONDS ?= 12
FUZZ_TARGETS = command_line raw_reader y4m_reader indicators toolkit
fuzz: clang-build
	@for t in $(FUZZ_TARGETS); do \
	    mkdir -p $(CLANG_BUILD)/corpus/$$t $(CLANG_BUILD)/findings; \
	    if $(CLANG_BUILD)/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	        -artifact_prefix=$(CLANG_BUILD)/findings/$$t- \
	        $(CLANG_BUILD)/corpus/$$t fuzz/corpus/$$t > $(CLANG_BUILD)/fuzz_$$t.log 2>&1; then \
	        echo "fuzz_$$t: $$(awk '/number_of_executed_units/ {print $$2}' $(CLANG_BUILD)/fuzz_$$t.log)" \
	            "inputs in $(FUZZ_SECONDS) s, no finding"; \
	    else \
	        tail -n 40 $(CLANG_BUILD)/fuzz_$$t.log; \
	        echo "fuzz_$$t: finding in $(CLANG_BUILD)/findings"; \
	        exit 1; \
	    fi; \
	done

clean:
	rm -rf $(BUILD) $(BUILD)-asan $(CLANG_BUILD)
