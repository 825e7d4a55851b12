#!/usr/bin/env bash
# Runs the concurrency tests under ThreadSanitizer. Some kernels place mappings where this
# sanitizer cannot work ("unexpected memory mapping"): then the run is retried with address
# randomisation off, and skipped with a message when even that is not allowed. A race report
# always fails.
set -u
bin="$1"
out="$(mktemp)"
trap 'rm -f "$out"' EXIT
run() { TSAN_OPTIONS=halt_on_error=1 "$@" --gtest_filter='Concurrency*' >"$out" 2>&1; }
if run "$bin"; then tail -1 "$out"; exit 0; fi
if grep -q "unexpected memory mapping" "$out"; then
  if run setarch "$(uname -m)" -R "$bin"; then tail -1 "$out"; exit 0; fi
  if grep -q "unexpected memory mapping\|Operation not permitted" "$out"; then
    echo "ThreadSanitizer cannot run on this kernel; concurrency test skipped"
    exit 0
  fi
fi
cat "$out"
exit 1
