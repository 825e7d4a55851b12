#!/usr/bin/env bash
# Runs the suite under ThreadSanitizer with every page of several strips decoded on threads
# (QORIMG_TEST_THREADED; QORIMG_THREADS=3 for the reads without options), so that each read of
# the suite that can go threaded does. Left out: the timed checks of hostile files, which a
# sanitizer slows unevenly, and three fault sweeps that count on every allocation, lock or open of
# a one-thread read failing it (a decoder or file that a worker cannot get is done without). Some kernels place
# mappings where this sanitizer cannot work ("unexpected memory mapping"): then the run is retried
# with address randomisation off, and skipped with a message when even that is not allowed. A
# race report always fails.
set -u
bin="$1"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
skip='HostileFilesTest.EndQuickly*:FaxFailureTest.SweepsReleaseEverything'
skip+=':TiffLzwTest.WholeReadFailuresReleaseEverything:TiffReaderTest.FailureSweepReleasesEverything'
run() {
  QORIMG_TEST_THREADED=1 QORIMG_THREADS=3 TSAN_OPTIONS=halt_on_error=1 "$@" \
    --gtest_filter="-$skip" >"$out" 2>&1
}
if run "$bin"; then tail -1 "$out"; exit 0; fi
if grep -q "unexpected memory mapping" "$out"; then
  if run setarch "$(uname -m)" -R "$bin"; then tail -1 "$out"; exit 0; fi
  if grep -q "unexpected memory mapping\|Operation not permitted" "$out"; then
    echo "ThreadSanitizer cannot run on this kernel; threaded tests skipped"
    exit 0
  fi
fi
cat "$out"
exit 1
