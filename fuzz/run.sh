#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (ASan + UBSan) in a tree of their own and
# runs each for a while.
#   fuzz/run.sh [target...]          targets: package hex protocol (default: all)
#   FUZZ_SECONDS=N                   time per target (default 60)
#   FUZZ_BUILD=DIR                   the tree (default build/fuzz)
# New inputs collect in DIR/corpus/<target>, seeded from fuzz/corpus/<target>; crashing
# inputs land in DIR/findings/<target>/. To keep one as a regression case, fix the fault,
# then copy the input into fuzz/corpus/<target>/ under a name that says what it checks.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-60}
tree=${FUZZ_BUILD:-build/fuzz}
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(package hex protocol)

cmake -S . -B "$tree" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DPATU_FUZZ=ON \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" \
  >/dev/null
cmake --build "$tree" -j "$(nproc)" --target "${targets[@]/#/fuzz_}"

failed=()
for t in "${targets[@]}"; do
  work=$tree/corpus/$t
  findings=$tree/findings/$t
  mkdir -p "$work" "$findings"
  echo "== fuzz $t for ${seconds} s"
  if ! "$tree/fuzz/fuzz_$t" -max_total_time="$seconds" -print_final_stats=1 \
    -artifact_prefix="$findings/" "$work" "fuzz/corpus/$t"; then
    failed+=("$t")
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "findings in: ${failed[*]} (see $tree/findings/)" >&2
  exit 1
fi
echo "no findings"
