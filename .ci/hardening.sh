#!/usr/bin/env bash
# Hardening checks, run by .ci/run after the test suite:
#   1. every libFuzzer harness that fuzz/CMakeLists.txt builds (fuzz_NAME):
#      its regressions (fuzz/regressions/NAME/) replayed, then fuzzed from
#      its seed corpus (fuzz/corpus/NAME/) with its dictionary
#      (fuzz/NAME.dict), each where there is one;
#   2. the core's C++ tests under ASan and UBSan;
#   3. the whole pytest suite under ASan and UBSan (.ci/sanitizers.sh);
#   4. the atheris harness over the module, native code instrumented;
#   5. the leak and fault-injection checks, slow ones included, on a debug
#      interpreter.
# Every step fails the run on any finding. FUZZ_SECONDS (default 60) sets
# how long each fuzzer runs: each harness adds that much to the run. Needs
# root for apt-get (as CI has).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
FUZZ_SECONDS=${FUZZ_SECONDS:-60}
WORK=$(mktemp -d /tmp/tessarin-hardening.XXXXXX)
export PIP_DISABLE_PIP_VERSION_CHECK=1
START=$SECONDS
step() { echo; echo "=== [$((SECONDS - START))s] $*"; }

step "installing clang, its runtimes and a debug interpreter"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq clang libclang-rt-14-dev python3-dbg python3-pytest > "$WORK/apt.log" 2>&1 ||
  { cat "$WORK/apt.log"; exit 1; }
RT=$(dirname "$(clang -print-file-name=libclang_rt.asan-x86_64.a)")

# Runs one libFuzzer harness: its regressions once each, then fuzzing from
# a scratch copy of its corpus, so the repository stays unchanged.
run_libfuzzer() {
  local binary=$1 name=$2
  shift 2
  local regressions=$ROOT/fuzz/regressions/$name
  if [ -d "$regressions" ] && [ -n "$(ls -A "$regressions")" ]; then
    "$binary" -malloc_limit_mb=64 -timeout=10 "$@" "$regressions"/*
  fi
  mkdir -p "$WORK/corpus-$name" "$WORK/artifacts-$name"
  local corpora=("$WORK/corpus-$name") status=0
  [ -d "$ROOT/fuzz/corpus/$name" ] && corpora+=("$ROOT/fuzz/corpus/$name")
  "$binary" -max_total_time="$FUZZ_SECONDS" -malloc_limit_mb=64 -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$WORK/artifacts-$name/" "$@" \
    "${corpora[@]}" > "$WORK/fuzz-$name.log" 2>&1 || status=$?
  grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::" "$WORK/fuzz-$name.log" || true
  if [ "$status" -ne 0 ] || [ -n "$(ls -A "$WORK/artifacts-$name")" ]; then
    tail -60 "$WORK/fuzz-$name.log"
    for artifact in "$WORK/artifacts-$name"/*; do
      echo "--- $artifact (base64; keep it in fuzz/regressions/$name/):"
      base64 -w0 "$artifact"; echo
    done
    echo "$name: libFuzzer found a failing input" >&2
    exit 1
  fi
}

step "building the libFuzzer harnesses"
CXX=clang++ cmake -S "$ROOT" -B "$WORK/fuzz-build" -G Ninja -DTESSARIN_PYTHON=OFF \
  -DTESSARIN_FUZZ=ON -DTESSARIN_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$WORK/cmake.log"
cmake --build "$WORK/fuzz-build" > "$WORK/build.log" || { cat "$WORK/build.log"; exit 1; }
harnesses=()
for binary in "$WORK"/fuzz-build/fuzz/fuzz_*; do
  [ -f "$binary" ] && [ -x "$binary" ] && harnesses+=("$binary")
done
[ "${#harnesses[@]}" -gt 0 ] || { echo "no libFuzzer harness was built" >&2; exit 1; }
for binary in "${harnesses[@]}"; do
  name=${binary##*/fuzz_}
  dictionary=()
  [ -f "$ROOT/fuzz/$name.dict" ] && dictionary=(-dict="$ROOT/fuzz/$name.dict")
  step "fuzz_$name for ${FUZZ_SECONDS}s"
  run_libfuzzer "$binary" "$name" "${dictionary[@]}"
done

step "the core's C++ tests under ASan and UBSan"
CXX=clang++ cmake -S "$ROOT" -B "$WORK/core-build" -G Ninja -DTESSARIN_PYTHON=OFF \
  -DTESSARIN_CORE_TESTS=ON -DTESSARIN_WERROR=ON -DTESSARIN_SANITIZE=address,undefined \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo > "$WORK/cmake.log"
cmake --build "$WORK/core-build" > "$WORK/build.log" || { cat "$WORK/build.log"; exit 1; }
ASAN_OPTIONS=detect_leaks=1:halt_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  "$WORK/core-build/tests/core/core_tests" | tail -3

step "the pytest suite under ASan and UBSan"
bash "$ROOT/.ci/sanitizers.sh" python3

step "atheris over the module for ${FUZZ_SECONDS}s"
# libFuzzer and the ASan runtime (with UBSan's handlers) in one preloaded
# library, so that the extension's coverage counters reach the fuzzer; the
# extension is built with the fuzzer's instrumentation and no runtime.
mkdir -p "$WORK/runtime"
(cd "$WORK/runtime" && ar x "$RT/libclang_rt.asan-x86_64.a" && rm -f asan_preinit.cpp.o &&
  ar rcs asan_no_preinit.a ./*.o)
clang++ -shared -o "$WORK/asan_with_fuzzer.so" -Wl,--whole-archive \
  "$WORK/runtime/asan_no_preinit.a" "$RT/libclang_rt.asan_cxx-x86_64.a" \
  "$RT/libclang_rt.fuzzer_no_main-x86_64.a" -Wl,--no-whole-archive -lpthread -ldl -lrt -lm
python3 -m venv "$WORK/atheris-venv"
"$WORK/atheris-venv/bin/pip" install -q atheris numpy
CXX=clang++ cmake -S "$ROOT" -B "$WORK/atheris-build" -G Ninja -DTESSARIN_WERROR=ON \
  -DTESSARIN_SANITIZE=fuzzer-no-link,address,undefined -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSARIN_NATIVE=OFF -DPython_EXECUTABLE="$WORK/atheris-venv/bin/python" > "$WORK/cmake.log"
cmake --build "$WORK/atheris-build" > "$WORK/build.log" || { cat "$WORK/build.log"; exit 1; }
mkdir -p "$WORK/corpus-python" "$WORK/artifacts-python"
(
  export LD_PRELOAD="$WORK/asan_with_fuzzer.so" PYTHONMALLOC=malloc
  export ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:quarantine_size_mb=64
  export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
  export PYTHONPATH="$WORK/atheris-build"
  "$WORK/atheris-venv/bin/python" -m fuzz.fuzz_python -max_total_time="$FUZZ_SECONDS" \
    -malloc_limit_mb=256 -rss_limit_mb=3072 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$WORK/artifacts-python/" "$WORK/corpus-python" "$ROOT/fuzz/corpus/python" \
    > "$WORK/fuzz-python.log" 2>&1
) || { tail -80 "$WORK/fuzz-python.log"; echo "atheris found a failing input" >&2; exit 1; }
grep -E "^#[0-9]+[[:space:]]+(INITED|DONE)|^stat::" "$WORK/fuzz-python.log"

step "leak and fault-injection checks on the debug interpreter (slow ones included)"
# (_tessarin only, as for atheris: these tests do not import tessarin._native.)
cmake -S "$ROOT" -B "$WORK/dbg-build" -G Ninja -DTESSARIN_WERROR=ON -DCMAKE_BUILD_TYPE=Debug \
  -DTESSARIN_NATIVE=OFF -DPython_EXECUTABLE="$(command -v python3-dbg)" \
  -DCMAKE_CXX_FLAGS=-DPy_DEBUG > "$WORK/cmake.log"
cmake --build "$WORK/dbg-build" > "$WORK/build.log" || { cat "$WORK/build.log"; exit 1; }
# Debian's python3.11d headers are links into the release ones, and the
# release pyconfig.h can win; without Py_DEBUG the module's own reference
# changes would not count in sys.gettotalrefcount().
# (grep reads nm's whole output: with -q it could stop early, and pipefail
# would take nm's broken pipe for a failure.)
nm -D "$WORK"/dbg-build/_tessarin*.so | grep -c _Py_RefTotal > /dev/null ||
  { echo "the debug build does not count references" >&2; exit 1; }
TESSARIN_SLOW_LEAKS=1 PYTHONPATH="$WORK/dbg-build:$ROOT/python" \
  python3-dbg -m pytest -q -p no:cacheprovider "$ROOT/tests/extension/test_leaks.py" \
  "$ROOT/tests/extension/test_fault_injection.py"

step "hardening done"
rm -rf "$WORK"
