# Two commands for a newcomer: `make run` and `make test`.
# Everything they need is installed by scripts/bootstrap.sh.

BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
# ccache, when a developer has it, makes rebuilds in several checkouts cheap.
CMAKE_GEN  := -G Ninja $(if $(shell command -v ccache),-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
SONGS      := $(BUILD)/songs

.PHONY: all bootstrap configure build run test test-fast asan tsan gui bench fuzz fuzz-build fuzz-long fuzz-ci \
	clean examples install package check-package web web-deps serve-web test-web windows test-windows

all: build

bootstrap:
	@scripts/bootstrap.sh

$(BUILD)/build.ninja: CMakeLists.txt | bootstrap
	cmake -S . -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVELL_SONGS_DIR=$(abspath $(SONGS))

configure: bootstrap $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# Convert the bundled examples into out/ and print the log. Only the two
# programs are built here (the desktop one when Qt was found); the tests and
# benchmarks are left to `make test`.
run: configure
	cmake --build $(BUILD) -j $(JOBS) --target tonvell-cli \
	  $$(ninja -C $(BUILD) -t targets all 2>/dev/null | grep -q '^tonvell: ' && echo tonvell)
	@mkdir -p out
	@$(BUILD)/tonvell-cli --overwrite all --date 20030105 -o out/ examples/*.mid

# Write the bundled example MIDI files again (they are committed as well).
examples:
	python3 scripts/make-examples.py

songs: bootstrap
	@scripts/fetch-songs.sh $(SONGS)

# Installs the programs, the desktop entry, icons, metainfo, man pages and
# the bash completion: `make install [DESTDIR=/scratch] [CMAKE_INSTALL_PREFIX=/opt/tonvell]`
# (the prefix of the build folder otherwise, /usr/local by default).
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) $(if $(CMAKE_INSTALL_PREFIX),--prefix "$(CMAKE_INSTALL_PREFIX)")

# The Debian package: $(BUILD)/tonvell_<version>_amd64.deb.
package: build
	cmake --build $(BUILD) --target package

# The package, its files and `make install`, checked as a user would see them.
check-package: package
	scripts/check-package.sh $(BUILD)

# Every test: the normal build, the package, then the whole suite again under
# AddressSanitizer and UndefinedBehaviorSanitizer, the parallel conversions
# under ThreadSanitizer, then the fuzz regression pass.
test: build songs
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(MAKE) --no-print-directory check-package
	$(MAKE) --no-print-directory test-web
	$(MAKE) --no-print-directory test-windows
	$(MAKE) --no-print-directory asan
	$(MAKE) --no-print-directory tsan
	$(MAKE) --no-print-directory fuzz-ci

asan: bootstrap
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Debug -DTONVELL_SANITIZE=ON \
	  -DTONVELL_GUI=OFF -DTONVELL_SONGS_DIR=$(abspath $(SONGS))
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

# The tests that convert on several threads at once (in one process, and
# through tonvell-cli -j), built with ThreadSanitizer: any report fails them.
tsan: bootstrap songs
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTONVELL_TSAN=ON \
	  -DTONVELL_GUI=OFF -DTONVELL_SONGS_DIR=$(abspath $(SONGS))
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tonvell-cli parallel_test cli_parallel_test batch_run_test
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
	  ctest --output-on-failure -j $(JOBS) -R '^(ParallelConversion|CliParallel|BatchRun)\.'

# tonvell-cli.exe for 64-bit Windows, cross-built with mingw-w64, and the zip
# for Windows users: $(WIN_BUILD)/tonvell-cli-VERSION-windows-x64.zip.
WIN_BUILD ?= build-win

$(WIN_BUILD)/build.ninja: CMakeLists.txt cmake/mingw-w64-x86_64.cmake | bootstrap
	mkdir -p $(WIN_BUILD)/headers
	ln -sfn /usr/include/CLI $(WIN_BUILD)/headers/CLI
	ln -sfn /usr/include/nlohmann $(WIN_BUILD)/headers/nlohmann
	cmake -S . -B $(WIN_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DTONVELL_HEADER_DIR=$(abspath $(WIN_BUILD)/headers) \
	  -DTONVELL_SONGS_DIR=$(abspath $(SONGS))

windows: bootstrap $(WIN_BUILD)/build.ninja
	cmake --build $(WIN_BUILD) -j $(JOBS) --target tonvell-cli windows-zip

# The Windows program under Wine: the engine's tests, the same command lines
# as the Linux build compared byte for byte, and an interrupted run.
test-windows: build songs windows
	cmake --build $(WIN_BUILD) -j $(JOBS)
	scripts/wine-test.sh $(WIN_BUILD) $(BUILD)

gui: build
	$(BUILD)/tonvell

bench: build songs
	$(BUILD)/tonvell-bench

FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 600
RUNS ?= 2000000

$(FUZZ_BUILD)/build.ninja: CMakeLists.txt | bootstrap
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DTONVELL_FUZZ=ON -DTONVELL_GUI=OFF -DTONVELL_TESTS=OFF

# The fuzz targets, with AddressSanitizer and UndefinedBehaviorSanitizer.
fuzz-build: bootstrap $(FUZZ_BUILD)/build.ninja
	cmake --build $(FUZZ_BUILD) -j $(JOBS)

# The cross-checking target for FUZZ_SECONDS; findings go to tests/fuzz-regressions/cross.
fuzz: fuzz-build songs
	scripts/fuzz.sh seconds $(FUZZ_SECONDS) $(FUZZ_BUILD) $(SONGS)

# RUNS executions of each lean target (five of them); the corpus in
# fuzz/corpus is merged back minimised, findings go to tests/fuzz-regressions.
fuzz-long: fuzz-build songs
	scripts/fuzz.sh runs $(RUNS) $(FUZZ_BUILD) $(SONGS)

# The short deterministic pass of `make test`: every corpus, starting and
# regression file once, then a fixed number of mutations per target.
fuzz-ci: fuzz-build songs
	scripts/fuzz.sh ci $(FUZZ_BUILD) $(SONGS)

# The converter in the browser and in node: the engine compiled to
# WebAssembly by Debian's emscripten, with its JavaScript module, in
# $(WEB_BUILD)/site/. emscripten's tools load node packages from Debian's
# folder, which a node installed from elsewhere does not search by itself.
WEB_BUILD ?= build-web
WEB_ENV   := NODE_PATH=/usr/share/nodejs
WEB_PORT  ?= 8000

web/node_modules/.package-lock.json: web/package-lock.json | bootstrap
	cd web && npm ci --no-audit --no-fund

web-deps: web/node_modules/.package-lock.json

$(WEB_BUILD)/build.ninja: web/CMakeLists.txt | bootstrap
	$(WEB_ENV) emcmake cmake -S web -B $(WEB_BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release

web: web-deps $(WEB_BUILD)/build.ninja
	$(WEB_ENV) cmake --build $(WEB_BUILD) -j $(JOBS)
	web/copy-page.sh $(WEB_BUILD)/site

# The page on this machine only: http://127.0.0.1:$(WEB_PORT)/
serve-web: web
	python3 -m http.server --bind 127.0.0.1 --directory $(WEB_BUILD)/site $(WEB_PORT)

# The WebAssembly conversion against tonvell-cli, byte for byte and line for line.
test-web: build songs web
	node web/tests/node-test.mjs --cli $(BUILD)/tonvell-cli --site $(WEB_BUILD)/site \
	  --songs $(SONGS) --corpus $(abspath ../shared/corpus/test-midi-files)
	TONVELL_SITE=$(WEB_BUILD)/site TONVELL_CLI=$(BUILD)/tonvell-cli TONVELL_SONGS=$(SONGS) \
	  TONVELL_SCREENSHOT=$(WEB_BUILD)/screenshot.png node --test web/tests/page.test.mjs

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(WEB_BUILD) $(WIN_BUILD) out
