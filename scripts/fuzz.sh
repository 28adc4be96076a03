#!/usr/bin/env bash
# Runs each fuzz target for a while, seeded with the conformance images.
set -euo pipefail
build=${1:-build-fuzz}
seconds=${2:-60}
here=$(cd "$(dirname "$0")/.." && pwd)
testdata="$here/../shared/testdata"
for f in "$build"/tests/fuzz/fuzz_*; do
  [ -x "$f" ] || continue
  name=$(basename "$f")
  corpus="$build/corpus/$name"
  mkdir -p "$corpus" "$build/artifacts"
  echo "== $name for ${seconds}s"
  "$f" -max_total_time="$seconds" -artifact_prefix="$build/artifacts/$name-" -max_len=262144 -rss_limit_mb=2048 "$corpus" "$testdata" 2>&1 | tail -n 3
done
