#!/usr/bin/env bash
# Runs each fuzzer of a CORVANEL_FUZZ build for SECONDS on a working copy of
# its corpus (the committed corpus grows only by hand). Stops at the first
# crash and names the file that reproduces it.
#   fuzz/run.sh BUILD SECONDS [NAME...]
set -euo pipefail

build=$1
seconds=$2
shift 2
names=("$@")
[ ${#names[@]} -gt 0 ] || names=(labelmap evaluate files texts cli imagesize xml_regions png_labels)

source_dir=$(cd "$(dirname "$0")" && pwd)
work="$build/fuzz-work"

for name in "${names[@]}"; do
  fuzzer="$build/fuzz/corvanel_fuzz_$name"
  if [ ! -x "$fuzzer" ]; then
    echo "fuzz: no $fuzzer (built without Qt?), skipped"
    continue
  fi
  corpus="$work/corpus/$name"
  artifacts="$work/crashes/$name"
  mkdir -p "$corpus" "$artifacts"
  cp "$source_dir/corpus/$name"/* "$corpus/"
  # The engine's readers must never allocate much for inputs of a few KB;
  # Qt's image readers may, up to their own allocation limit.
  malloc_limit=64
  [ "$name" = imagesize ] && malloc_limit=2048
  log="$work/$name.log"
  echo "fuzz: $name for ${seconds}s (log: $log)"
  if ! QT_QPA_PLATFORM=offscreen "$fuzzer" -max_total_time="$seconds" -rss_limit_mb=2048 \
      -malloc_limit_mb="$malloc_limit" -artifact_prefix="$artifacts/" -print_final_stats=1 \
      "$corpus" >"$log" 2>&1; then
    crash=$(ls -t "$artifacts" | head -n 1)
    tail -n 40 "$log"
    if [ -n "$crash" ]; then
      echo "fuzz: $name crashed on $artifacts/$crash; reproduce with: $fuzzer $artifacts/$crash" >&2
    else
      echo "fuzz: $name failed without a crash file; see $log" >&2
    fi
    exit 1
  fi
  grep -E '^stat::number_of_executed_units|^Done ' "$log" | sed "s/^/fuzz: $name: /"
done
