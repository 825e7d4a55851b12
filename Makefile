# Convenience driver: installs missing Debian packages (when run as root), then drives CMake.
#   make demo   build the tool and run it on the sample files in examples/
#   make test   build and run every test, normally and under ASan + UBSan, and the
#               concurrency test under TSan
#   make bench  build and run the benchmarks against giflib and libtiff; writes
#               build-bench/bench-results.json
#   make chart  turn those results into docs/speed.svg

JOBS ?= $(shell nproc)
GENERATOR = -G Ninja
PACKAGES = build-essential cmake ninja-build pkg-config libpng-dev libgtest-dev libgmock-dev \
           libgif-dev libtiff-dev giflib-tools libtiff-tools imagemagick \
           python3 python3-pil file
# Only the benchmark chart needs these.
BENCH_PACKAGES = python3-matplotlib
# Debian's interpreter, which sees Debian's matplotlib.
PYTHON ?= /usr/bin/python3

.PHONY: deps deps-bench demo test test-normal test-sanitize test-thread bench chart fuzz format clean

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	  else echo "missing Debian packages (run as root to install): $$missing"; fi; \
	fi

deps-bench:
	@$(MAKE) --no-print-directory deps PACKAGES="$(PACKAGES) $(BENCH_PACKAGES)"

demo: deps
	cmake -S . -B build-demo $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DQORIMG_BUILD_TESTS=OFF
	cmake --build build-demo -j $(JOBS) --target qorimg_tool
	@mkdir -p out
	@for f in examples/*.gif examples/*.tif; do [ -e "$$f" ] || continue; \
	  echo "== $$f"; ./build-demo/tools/qorimg/qorimg info "$$f"; \
	  ./build-demo/tools/qorimg/qorimg convert -q "$$f" "out/$$(basename "$$f").png" && \
	  echo "   -> out/$$(basename "$$f").png"; done

test: deps test-normal test-sanitize test-thread

test-normal:
	cmake -S . -B build $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQORIMG_WERROR=ON \
	  -DQORIMG_BUILD_TESTS=ON
	cmake --build build -j $(JOBS)
	cd build && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B build-asan $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DQORIMG_WERROR=ON \
	  -DQORIMG_SANITIZE=address,undefined -DCMAKE_CXX_FLAGS=-O1
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

# The concurrent readers and writers under ThreadSanitizer.
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
	./build-bench/bench/qorimg_bench --json build-bench/bench-results.json

chart: deps-bench
	$(PYTHON) bench/plot.py build-bench/bench-results.json docs/speed.svg

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h' '*.c')

clean:
	rm -rf build build-demo build-asan build-tsan build-bench out
