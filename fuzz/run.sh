#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (installing it, its fuzzer runtime,
# c-ares, libidn2 and cmake where missing) and runs each: once over its saved
# crash inputs in fuzz/regressions/<target>/, then for FUZZ_SECONDS (default
# 20) from a scratch copy of its seed corpus. Exits non-zero if any target crashes or
# breaks an invariant. BUILD_DIR: default build-fuzz; FUZZ_TARGETS: default all.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v cmake >/dev/null || ! command -v clang++ >/dev/null || [ ! -f /usr/include/ares.h ] ||
  [ ! -f /usr/include/idn2.h ] ||
  [ ! -f "$(clang++ -print-resource-dir)/lib/linux/libclang_rt.fuzzer-$(uname -m).a" ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q cmake make clang libclang-rt-dev libc-ares-dev libidn2-dev
fi
build=${BUILD_DIR:-build-fuzz}
targets=${FUZZ_TARGETS:-http_request_fuzzer http_response_fuzzer websocket_fuzzer split_url_fuzzer codecs_fuzzer blacklist_fuzzer}
cmake -S . -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPROXY_FUZZ=ON -DPROXY_TESTS=OFF
cmake --build "$build" -j2 --target $targets

failed=()
for t in $targets; do
  dir="$build/fuzz-run/$t"
  rm -rf "$dir" && mkdir -p "$dir/corpus" "$dir/crashes" && cp "fuzz/corpus/$t"/* "$dir/corpus/"
  saved=$(find "fuzz/regressions/$t" -type f ! -name .gitkeep 2>/dev/null | sort)
  case $t in split_url_fuzzer) max=1024 ;; codecs_fuzzer) max=4096 ;; *) max=16384 ;; esac  # longest input
  # shellcheck disable=SC2086
  if { [ -z "$saved" ] || "$build/fuzz/$t" $saved; } >"$dir/fuzz.log" 2>&1 &&
    "$build/fuzz/$t" "$dir/corpus" -max_len=$max -max_total_time="${FUZZ_SECONDS:-20}" -timeout=10 \
      -artifact_prefix="$dir/crashes/" >>"$dir/fuzz.log" 2>&1; then
    echo "$t: $(echo $saved | wc -w) saved inputs passed, $(grep -o 'Done [0-9]* runs' "$dir/fuzz.log"), no crash"
  else
    tail -n 60 "$dir/fuzz.log"
    echo "FAILED: $t (its input is in $dir/crashes/ or fuzz/regressions/$t/; keep a new one there once fixed)"
    failed+=("$t")
  fi
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzzing failed: ${failed[*]}"; exit 1; }
echo "fuzzing passed: $targets"
