#!/usr/bin/env bash
# Builds the libFuzzer targets (clang-14, ASan + UBSan) and runs each for a bounded time,
# starting from its committed seed corpus in tests/fuzz/corpus/<target>/.
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     (default 60 s, every *_fuzz target)
# Build dir: build-fuzz/ (BUILD=dir for another). New inputs go to build-fuzz/corpus/, so
# the committed seeds stay small; a crash leaves its input in build-fuzz/artifacts/.
# Warnings are the gcc builds' business (scripts/test.sh); clang adds its own kinds.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
build=${BUILD:-build-fuzz}

packages=(clang-14 libfuzzer-14-dev libclang-rt-14-dev cmake ninja-build)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "fuzz: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPOSTWING_FUZZ=ON -DPOSTWING_SANITIZE=ON -DPOSTWING_WERROR=OFF \
  -DPOSTWING_BUILD_TESTS=OFF -DPOSTWING_BUILD_BENCH=OFF -DPOSTWING_BUILD_COMPOSER=OFF >/dev/null
targets=("$@")
if ((${#targets[@]} == 0)); then
  for f in tests/fuzz/*_fuzz.cpp; do targets+=("$(basename "$f" .cpp)"); done
fi
cmake --build "$build" --target "${targets[@]}"

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
mkdir -p "$build/artifacts"
status=0
for t in "${targets[@]}"; do
  seeds=tests/fuzz/corpus/$t
  work=$build/corpus/$t
  mkdir -p "$work"
  echo "=== fuzz: $t for $seconds s"
  if ! "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=30 -rss_limit_mb=2048 \
      -max_len=4096 -print_final_stats=1 -artifact_prefix="$build/artifacts/$t-" \
      "$work" "$seeds" 2>"$build/$t.log"; then
    status=1
    echo "fuzz: $t FAILED (see $build/$t.log and $build/artifacts/)"
    tail -n 40 "$build/$t.log"
  fi
  grep -E "^stat::(number_of_executed_units|average_exec_per_sec|peak_rss_mb)" "$build/$t.log" || true
done
exit $status
