#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each of them: first once
# over its saved crash inputs (fuzz/regressions/<target>/), then for a bounded
# time (FUZZ_SECONDS, default 20) starting from its seed corpus. The seeds
# are copied to a scratch folder, so the committed corpus never grows.
# Exits non-zero if any target crashes or breaks one of its invariants.
#
#   BUILD_DIR     build folder (default build-fuzz in the repository)
#   FUZZ_SECONDS  fuzzing time per target (default 20)
#   FUZZ_TARGETS  the targets to run (default all), separated by spaces
#   FUZZ_ARGS     extra libFuzzer options, e.g. "-jobs=2 -workers=2"
#
# Installs clang and its fuzzer runtime when they are missing (needs root).
set -euo pipefail
cd "$(dirname "$0")/.."

packages=()
command -v cmake >/dev/null || packages+=(cmake)
command -v make >/dev/null || packages+=(make)
# libFuzzer's runtime is not part of the clang package: it comes with clang's
# runtime libraries (libclang-rt-dev, the one matching the default clang).
if command -v clang++ >/dev/null; then
  [ -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" ] || packages+=(libclang-rt-dev)
else
  packages+=(clang libclang-rt-dev)
fi
if [ ${#packages[@]} -gt 0 ]; then
  echo "installing: ${packages[*]}"
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${packages[@]}"
fi

build=${BUILD_DIR:-build-fuzz}
seconds=${FUZZ_SECONDS:-20}
targets=${FUZZ_TARGETS:-"http_request_fuzzer websocket_fuzzer split_url_fuzzer codecs_fuzzer blacklist_fuzzer"}

cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPROXY_FUZZ=ON -DPROXY_TESTS=OFF
cmake --build "$build" -j2 --target $targets

# Longest input per target: a few request heads, a few frames, a long host
# name, a long label, a blacklist that spans several of the loader's 4096-byte
# reads.
max_len() {
  case $1 in
    split_url_fuzzer) echo 1024 ;;
    codecs_fuzzer) echo 4096 ;;
    *) echo 16384 ;;
  esac
}

work="$build/fuzz-run"
rm -rf "$work"
failed=()
for target in $targets; do
  bin="$build/fuzz/$target"
  dir="$work/$target"
  mkdir -p "$dir/corpus" "$dir/crashes"

  echo "=== $target: saved crash inputs"
  inputs=()
  if [ -d "fuzz/regressions/$target" ]; then
    while IFS= read -r -d '' f; do inputs+=("$f"); done \
      < <(find "fuzz/regressions/$target" -type f ! -name README ! -name .gitkeep -print0 | sort -z)
  fi
  if [ ${#inputs[@]} -gt 0 ]; then
    if ! "$bin" "${inputs[@]}" >"$dir/regressions.log" 2>&1; then
      tail -n 40 "$dir/regressions.log"
      echo "FAILED: $target on a saved crash input (log: $dir/regressions.log)"
      failed+=("$target(regressions)")
    else
      echo "${#inputs[@]} inputs passed"
    fi
  else
    echo "none"
  fi

  echo "=== $target: fuzzing for ${seconds}s"
  cp "fuzz/corpus/$target"/* "$dir/corpus/"
  # shellcheck disable=SC2086
  if ! "$bin" "$dir/corpus" -max_len="$(max_len "$target")" -max_total_time="$seconds" -timeout=10 \
       -artifact_prefix="$dir/crashes/" -print_final_stats=1 ${FUZZ_ARGS:-} >"$dir/fuzz.log" 2>&1; then
    tail -n 60 "$dir/fuzz.log"
    echo "FAILED: $target found a crash; input saved in $dir/crashes/"
    echo "keep it as a regression case in fuzz/regressions/$target/ once it is fixed"
    failed+=("$target")
  else
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/fuzz.log")
    echo "${runs:-?} runs, ${rate:-?} exec/s, no crash"
  fi
done

if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
echo "fuzzing passed: $targets"
