#!/bin/sh
# Fuzzes the registry script interpreter with libFuzzer (clang, sanitizers on)
# for the given number of seconds (default 600), one job, then merges what it
# found into the committed corpus, minimised. A crashing input is left in
# build/fuzz/artifacts; once fixed, keep it in
# tests/fuzz/regressions/registry_script.
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
seconds="${1:-600}"
build="$root/build/fuzz"
corpus="$root/tests/fuzz/corpus/registry_script"
fuzzer="$build/tests/registry_script_fuzzer"

"$root/scripts/configure.sh" fuzz
cmake --build "$build" -j 2 --target registry_script_fuzzer

work="$build/registry_script_work"
merged="$build/registry_script_merged"
mkdir -p "$work" "$build/artifacts"
"$fuzzer" -max_total_time="$seconds" -max_len=8192 -timeout=10 -print_final_stats=1 \
  -dict="$root/tests/fuzz/registry_script.dict" -artifact_prefix="$build/artifacts/" \
  "$work" "$corpus"

rm -rf "$merged"
mkdir -p "$merged"
"$fuzzer" -merge=1 -max_len=8192 "$merged" "$corpus" "$work"
rm -f "$corpus"/*
cp "$merged"/* "$corpus"/
echo "corpus: $(ls "$corpus" | wc -l) inputs"
