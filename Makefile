# Convenience driver: installs missing Debian packages (when run as root), then drives CMake.
#   make demo   build the tool and run it on the sample files in examples/
#   make test   build and run every test, normally, under ASan + UBSan and under TSan (with
#               every read of several strips on threads)
#   make bench  build and run the benchmarks against giflib and libtiff; writes
#               build-bench/bench-results.json
#   make chart  turn those results into docs/speed.svg
#   make windows  cross-build qorimg.dll for 32-bit and 64-bit Windows into dist/win32 and
#               dist/win64 (mingw-w64)
#   make test-windows  build the Windows DLLs, tests and example, and run them under Wine

JOBS ?= $(shell nproc)
GENERATOR = -G Ninja
PACKAGES = build-essential cmake ninja-build pkg-config libpng-dev libgtest-dev libgmock-dev \
           libgif-dev libtiff-dev giflib-tools libtiff-tools imagemagick \
           libdeflate-dev libjpeg62-turbo-dev python3 python3-pil file
# Only the benchmark needs these: the chart, and the real pages that bench/real_pages.py sets in
# DejaVu fonts and from matplotlib's sample photograph.
BENCH_PACKAGES = python3-matplotlib zlib1g-dev fonts-dejavu-core
# Debian's interpreter, which sees Debian's matplotlib.
PYTHON ?= /usr/bin/python3

WINDOWS_PACKAGES = mingw-w64 g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix googletest \
                   wine wine64 wine32:i386 dpkg-dev
# The DLLs link libdeflate and libjpeg-turbo built from Debian's source packages, which
# `apt-get source` fetches through this deb-src line (cmake/cross-codecs.sh).
DEB_SRC_LIST = /etc/apt/sources.list.d/qorimg-deb-src.sources
# Each Windows target: dist folder, compiler prefix, Wine architecture.
WINDOWS_TARGETS = win32:i686:win32 win64:x86_64:win64

.PHONY: deps deps-bench deps-windows demo test test-normal test-sanitize test-thread test-windows \
        windows bench chart fuzz format clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing Debian packages (run as root to install): $$missing"; fi; \
	fi

deps-bench:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(BENCH_PACKAGES)"

# 32-bit Wine comes from the i386 architecture, which has to be added before the update.
deps-windows:
	@missing=$$(for p in $(WINDOWS_PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	sources=$$(grep -rls '^Types: *deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d \
	  2>/dev/null | head -1); \
	if [ -n "$$missing" ] || [ -z "$$sources" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    if [ -z "$$sources" ]; then \
	      printf 'Types: deb-src\nURIs: http://deb.debian.org/debian\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
	        "$$(. /etc/os-release && echo $$VERSION_CODENAME)" > $(DEB_SRC_LIST); \
	    fi; \
	    dpkg --add-architecture i386 && apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	  else echo "missing Debian packages or a deb-src line (run as root to install): $$missing"; fi; \
	fi

# Configures build-win32 and build-win64 (tests included) and builds the two DLLs into dist/.
# Warnings are errors only when the tests build them.
WINDOWS_WERROR ?= OFF
windows: deps-windows
	@set -e; for t in $(WINDOWS_TARGETS); do \
	  name=$${t%%:*}; rest=$${t#*:}; arch=$${rest%%:*}; \
	  cmake -S . -B build-$$name $(GENERATOR) -DCMAKE_BUILD_TYPE=Release \
	    -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-$$arch-w64-mingw32.cmake \
	    -DQORIMG_WERROR=$(WINDOWS_WERROR); \
	  cmake --build build-$$name -j $(JOBS) --target qorimg qorhost; \
	  mkdir -p dist/$$name; \
	  cp build-$$name/bin/qorimg.dll build-$$name/bin/qorhost.dll build-$$name/libqorimg.dll.a \
	     cmake/qorimg.def include/qorimg/qorimg.h LICENSE dist/$$name/; \
	  echo "dist/$$name: $$(ls dist/$$name | tr '\n' ' ')"; \
	done

# Everything of the Windows build under Wine, headless, with one prefix per architecture in
# the build folder (its first start is slow, so it is kept).
test-windows:
	@$(MAKE) --no-print-directory windows WINDOWS_WERROR=ON
	@set -e; for t in $(WINDOWS_TARGETS); do \
	  name=$${t%%:*}; wa=$${t##*:}; \
	  cmake --build build-$$name -j $(JOBS); \
	  export WINEPREFIX=$$(pwd)/build-$$name/wineprefix WINEARCH=$$wa WINEDEBUG=-all DISPLAY=; \
	  [ -d $$WINEPREFIX ] || wineboot -i >/dev/null 2>&1; \
	  (cd build-$$name && ctest --output-on-failure); \
	done

demo: deps
	cmake -S . -B build-demo $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQORIMG_BUILD_TESTS=OFF
	cmake --build build-demo -j $(JOBS) --target qorimg_tool
	@mkdir -p out
	@for f in examples/*.gif examples/*.tif; do [ -e "$$f" ] || continue; \
	  echo "== $$f"; ./build-demo/tools/qorimg/qorimg info "$$f"; \
	  ./build-demo/tools/qorimg/qorimg convert -q "$$f" "out/$$(basename "$$f").png" && \
	  echo "   -> out/$$(basename "$$f").png"; done

test: deps test-normal test-sanitize test-thread test-windows

test-normal:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORIMG_WERROR=ON \
	  -DQORIMG_BUILD_TESTS=ON
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

# Blocks taken without GMEM_ZEROINIT come filled with 0xBE, so that a decoder that relies on
# fresh memory being zero fails its tests.
ASAN_FILL = malloc_fill_byte=190:max_malloc_fill_size=268435456
test-sanitize:
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQORIMG_WERROR=ON \
	  -DQORIMG_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-O1
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:$(ASAN_FILL) \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The suite under ThreadSanitizer, every read of several strips on threads (tests/run_tsan.sh).
test-thread:
	cmake -S . -B build-tsan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQORIMG_SANITIZE=thread \
	  -DQORIMG_WERROR=ON \
	  -DCMAKE_CXX_FLAGS=-O1 -DQORIMG_BUILD_TOOL=OFF
	cmake --build build-tsan -j $(JOBS) --target qorimg_tests
	bash tests/run_tsan.sh ./build-tsan/tests/qorimg_tests

bench: deps-bench
	cmake -S . -B build-bench $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQORIMG_BUILD_BENCH=ON \
	  -DQORIMG_BUILD_TESTS=OFF -DQORIMG_BUILD_TOOL=OFF
	cmake --build build-bench -j $(JOBS) --target qorimg_bench
	./build-bench/bench/qorimg_bench --sweep --json build-bench/bench-results.json

chart: deps-bench
	$(PYTHON) bench/plot.py build-bench/bench-results.json docs/speed.svg

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build build-demo build-asan build-tsan build-bench build-win32 build-win64 dist out
