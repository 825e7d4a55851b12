#!/usr/bin/env bash
# Compares what the readers deliver for every sample, corpus and fuzz file with the hashes
# recorded in tests/dib-hashes.txt. Without the third-party corpora their lines are not compared.
#   check.sh DIB_HASHES SOURCE_DIR CORPORA_DIR [--update]
set -euo pipefail
tool=$1 src=$2 corpora=$3
expected="$src/tests/dib-hashes.txt"
roots=("examples=$src/examples" "fuzz-corpus=$src/fuzz/corpus" "fuzz-regressions=$src/fuzz/regressions")
[ -d "$corpora" ] && roots+=("corpora=$corpora")
actual=$(mktemp)
trap 'rm -f "$actual"' EXIT
"$tool" "${roots[@]}" >"$actual"
if [ "${4:-}" = --update ]; then
  cp "$actual" "$expected"
  echo "wrote $expected"
  exit 0
fi
if [ -d "$corpora" ]; then
  diff -u "$expected" "$actual"
else
  echo "the corpora are not present at $corpora: their files are not compared"
  diff -u <(grep -v '^corpora/' "$expected") "$actual"
fi
echo "dib hashes: $(wc -l <"$actual") files as recorded"
