# The two everyday commands: `make run` and `make test`. Each installs what it needs first.
# Every path below is quoted where it is used, so folders may have spaces in their names.
BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

# Release: `make bundle`, `make install` and `make uninstall` (per user, no root). A bundle is
# signed, and so can update itself, when UPDATE_KEY names the private update key (see
# updatecore/README.md); a signed bundle needs its BUILD_NUMBER, larger than the last release's.
RELEASE_BUILD ?= build-release
BUNDLE_DIR    ?= $(RELEASE_BUILD)/bundle
VERSION       ?= $(shell sed -n 's/^project.Velmo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
BUILD_NUMBER  ?=
CHANNEL       ?=
UPDATE_KEY    ?=
FORCE         ?=
RELEASE_TOOL   = $(RELEASE_BUILD)/tools/velmo-release
# Unused code and data are dropped at link time; symbols and debug info are stripped. Only the
# application's own packages are needed: no tests, no benchmarks.
RELEASE_FLAGS  = -DCMAKE_BUILD_TYPE=Release -DVELMO_TESTS=OFF -DVELMO_BENCH=OFF \
	-DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG -ffunction-sections -fdata-sections" \
	-DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG -ffunction-sections -fdata-sections" \
	-DCMAKE_EXE_LINKER_FLAGS_RELEASE="-Wl,--gc-sections -Wl,-O1"

.PHONY: all deps build run test test-asan bench clang clean release-build bundle bundle-args install install-check uninstall

all: build

deps:
	./scripts/install-deps

# Warnings are errors in the everyday and test builds; a folder configured before that (or by
# hand without it) is configured again.
build: deps
	@grep -qs '^VELMO_WERROR:BOOL=ON$$' "$(BUILD)/CMakeCache.txt" || \
		cmake -S . -B "$(BUILD)" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_WERROR=ON $(CMAKE_ARGS)
	cmake --build "$(BUILD)" -j$(JOBS)

run: build
	"$(BUILD)/velmo/velmo"

test: build
	cd "$(BUILD)" && ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

test-asan: deps
	cmake -S . -B "$(ASAN_BUILD)" -DCMAKE_BUILD_TYPE=Debug -DVELMO_WERROR=ON -DVELMO_SANITIZE=ON -DVELMO_BENCH=OFF $(CMAKE_ARGS)
	cmake --build "$(ASAN_BUILD)" -j$(JOBS)
	cd "$(ASAN_BUILD)" && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j$(JOBS) $(CTEST_ARGS)

bench: build
	./bench/run-all "$(BUILD)"

# Everything (application, tests, benchmarks) with Debian 12's clang 14, warnings as errors, so
# the code keeps building with both of Debian 12's compilers.
CLANG_BUILD ?= build-clang
clang:
	./scripts/install-deps clang-14
	@grep -qs '^VELMO_WERROR:BOOL=ON$$' "$(CLANG_BUILD)/CMakeCache.txt" || \
		cmake -S . -B "$(CLANG_BUILD)" -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
			-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELMO_WERROR=ON $(CMAKE_ARGS)
	cmake --build "$(CLANG_BUILD)" -j$(JOBS)

# Under -j too, the checks of the goals asked for come before the build.
release-build: $(if $(filter bundle install,$(MAKECMDGOALS)),bundle-args) $(if $(filter install,$(MAKECMDGOALS)),install-check)
	./scripts/install-deps --build
	cmake -S . -B "$(RELEASE_BUILD)" $(RELEASE_FLAGS) $(CMAKE_ARGS)
	cmake --build "$(RELEASE_BUILD)" -j$(JOBS) --target velmo velmo-release velmo_icons

# Checked before the build starts, so a mistake costs neither a build nor the previous bundle.
bundle-args: export BUILD_NUMBER := $(BUILD_NUMBER)
bundle-args:
	$(if $(and $(UPDATE_KEY),$(if $(BUILD_NUMBER),,missing)),$(error A signed bundle needs BUILD_NUMBER=N, larger than the last release's build number))
	@n=$$BUILD_NUMBER; case $$n in *[!0-9]*|???????????????????*) n=0 ;; esac; \
		[ -z "$$n" ] || [ "$$n" -ge 1 ] || { echo "BUILD_NUMBER must be a whole number from 1 up, not: $$BUILD_NUMBER" >&2; exit 1; }

# $(BUNDLE_DIR)/Velmo.app, the installed application folder, and Velmo.zip, its update archive.
# Only those two are replaced in BUNDLE_DIR, and only once both are made (in a hidden folder beside).
STAGING = $(BUNDLE_DIR)/.bundling
bundle: bundle-args release-build
	rm -rf "$(STAGING)"
	mkdir -p "$(STAGING)"
	strip --strip-all -o "$(RELEASE_BUILD)/velmo-stripped" "$(RELEASE_BUILD)/velmo/velmo"
	"$(RELEASE_TOOL)" bundle --executable "$(RELEASE_BUILD)/velmo-stripped" --version "$(VERSION)" \
		--build "$(or $(BUILD_NUMBER),1)" --icons "$(RELEASE_BUILD)/icons" $(if $(CHANNEL),--channel "$(CHANNEL)") \
		$(if $(UPDATE_KEY),--key "$(UPDATE_KEY)") "$(STAGING)/Velmo.app" && \
		"$(RELEASE_TOOL)" archive "$(STAGING)/Velmo.app" "$(STAGING)/Velmo.zip" || { rm -rf "$(STAGING)"; exit 1; }
	rm -rf "$(BUNDLE_DIR)/Velmo.app" "$(BUNDLE_DIR)/Velmo.zip"
	mv "$(STAGING)/Velmo.app" "$(STAGING)/Velmo.zip" "$(BUNDLE_DIR)/"
	rmdir "$(STAGING)"
	@echo "Bundled into $(BUNDLE_DIR)/Velmo.app and $(BUNDLE_DIR)/Velmo.zip"

# What is in the way (a command or entry of the user's own, a newer build) is named before a build.
install-check:
	./scripts/install-user $(if $(filter 1,$(FORCE)),--force) --check "$(or $(BUILD_NUMBER),1)"

# Refuses to replace a newer build than the bundle's unless FORCE=1.
install: install-check bundle
	./scripts/install-user $(if $(filter 1,$(FORCE)),--force) "$(BUNDLE_DIR)/Velmo.app"

uninstall:
	./scripts/install-user --uninstall

clean:
	rm -rf "$(BUILD)" "$(ASAN_BUILD)" "$(RELEASE_BUILD)" "$(CLANG_BUILD)"
