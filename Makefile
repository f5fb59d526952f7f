# Two entry points for a fresh Debian machine:
#   make run    install what is missing, build (Release), write the built-in
#               sample clip and analyse it
#   make test   install what is missing, build (Release) and run every test

BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SAMPLE_DIR = $(BUILD)/sample

.PHONY: all deps test-deps build run test sanitize clean

all: build

deps:
	@./scripts/install-deps.sh

# The build's packages and what the tests need besides (Node.js, Chromium,
# npm packages); first, so that configuring finds Node.js.
test-deps:
	@./scripts/install-deps.sh --test

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: build
	mkdir -p $(SAMPLE_DIR)
	$(BUILD)/lumaqc-testcard $(SAMPLE_DIR)/testcard.yuv
	cd $(SAMPLE_DIR) && ../lumaqc testcard.yuv 352 288
	@echo "Log written to $(SAMPLE_DIR)/metricsResultsCSV.csv"

test: test-deps build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: test-deps
	cmake -S . -B $(BUILD)-asan -DCMAKE_BUILD_TYPE=Debug -DLUMAQC_SANITIZE=ON
	cmake --build $(BUILD)-asan -j $(JOBS)
	cd $(BUILD)-asan && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(BUILD)-asan
