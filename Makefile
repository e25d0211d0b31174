# The two everyday commands: `make run` and `make test`. Each installs what it needs first.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

# Release: `make bundle` and `make install` (per user, no root). A bundle is signed, and so can
# update itself, when UPDATE_KEY names the private update key (see updatecore/README.md).
RELEASE_BUILD ?= build-release
BUNDLE_DIR    ?= $(RELEASE_BUILD)/bundle
VERSION       ?= $(shell sed -n 's/^project.Velmo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
BUILD_NUMBER  ?= 1
CHANNEL       ?=
UPDATE_KEY    ?=
RELEASE_TOOL   = $(RELEASE_BUILD)/tools/velmo-release
# Unused code and data are dropped at link time; symbols and debug info are stripped.
RELEASE_FLAGS  = -DCMAKE_BUILD_TYPE=Release -DVELMO_BENCH=OFF \
	-DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -ffunction-sections -fdata-sections" \
	-DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG -ffunction-sections -fdata-sections" \
	-DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,--gc-sections -Wl,-O1"

.PHONY: all deps build run test test-asan bench clean release-build bundle install

all: build

deps:
	./scripts/install-deps

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_ARGS)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j$(JOBS)

run: build
	./$(BUILD)/velmo/velmo

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DVELMO_SANITIZE=ON -DVELMO_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

bench: build
	./bench/run-all $(BUILD)

release-build: deps
	cmake -S . -B $(RELEASE_BUILD) $(RELEASE_FLAGS) $(CMAKE_ARGS)
	cmake --build $(RELEASE_BUILD) -j$(JOBS) --target velmo velmo-release velmo_icons

# $(BUNDLE_DIR)/Velmo.app, the installed application folder, and Velmo.zip, its update archive.
bundle: release-build
	rm -rf $(BUNDLE_DIR)
	mkdir -p $(BUNDLE_DIR)
	strip --strip-all -o $(BUNDLE_DIR)/velmo $(RELEASE_BUILD)/velmo/velmo
	$(RELEASE_TOOL) bundle --executable $(BUNDLE_DIR)/velmo --version $(VERSION) --build $(BUILD_NUMBER) \
		--icons $(RELEASE_BUILD)/icons $(if $(CHANNEL),--channel $(CHANNEL)) $(if $(UPDATE_KEY),--key $(UPDATE_KEY)) $(BUNDLE_DIR)/Velmo.app
	rm $(BUNDLE_DIR)/velmo
	$(RELEASE_TOOL) archive $(BUNDLE_DIR)/Velmo.app $(BUNDLE_DIR)/Velmo.zip

install: bundle
	./scripts/install-user $(BUNDLE_DIR)/Velmo.app

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(RELEASE_BUILD)
