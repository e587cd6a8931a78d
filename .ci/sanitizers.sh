#!/usr/bin/env bash
# The whole pytest suite against an extension built with clang's
# AddressSanitizer and UndefinedBehaviorSanitizer.
#
# The extension links the shared ASan runtime (-shared-libasan), which the
# interpreter gets preloaded; PYTHONMALLOC=malloc sends Python's own objects
# through that runtime too, so a read past a str's or bytes' buffer is seen.
# Leak detection is off (CPython keeps its objects at exit); any ASan or
# UBSan report stops the process, and reports are also written to files
# that this script checks, so that one in a subprocess fails the run too.
#
# Usage: .ci/sanitizers.sh [python [pytest arguments]]   (default python3; needs clang and
# libclang-rt-14-dev, which .ci/hardening.sh installs)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${1:-python3}
shift || true
WORK=$(mktemp -d /tmp/tessarin-sanitizers.XXXXXX)

export CC=clang CXX=clang++
export PIP_DISABLE_PIP_VERSION_CHECK=1
"$PYTHON" -m venv "$WORK/venv"
# shellcheck disable=SC1091
source "$WORK/venv/bin/activate"

echo "=== building the extension with -fsanitize=address,undefined"
SKBUILD_CMAKE_DEFINE="TESSARIN_WERROR=ON;TESSARIN_SANITIZE=address,undefined;CMAKE_MODULE_LINKER_FLAGS=-shared-libasan" \
SKBUILD_CMAKE_BUILD_TYPE=RelWithDebInfo \
SKBUILD_BUILD_DIR="$WORK/build" \
  pip install -q "$ROOT[test]"

module=$(ls "$(python -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')"/_tessarin*.so)
nm -D "$module" | grep -c __asan_report > /dev/null || { echo "$module is not instrumented" >&2; exit 1; }
ASAN_RUNTIME=$(clang -print-file-name=libclang_rt.asan-x86_64.so)
[ -f "$ASAN_RUNTIME" ] || { echo "no ASan runtime at $ASAN_RUNTIME" >&2; exit 1; }
mkdir -p "$WORK/reports"

echo "=== pytest under ASan and UBSan"
status=0
(
  cd "$ROOT"
  export LD_PRELOAD="$ASAN_RUNTIME"
  export PYTHONMALLOC=malloc
  export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:abort_on_error=1:allocator_may_return_null=1:log_path=$WORK/reports/asan"
  export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$WORK/reports/ubsan"
  export TESSARIN_SANITIZED=1
  # Not the browser tests: the preloaded runtime would load into Chromium and
  # its driver too, which abort under it; they check the page, not our code.
  # Not the C++ core tests either: built here without sanitizers, they would
  # add a build and nothing else (.ci/hardening.sh runs them under both).
  python -m pytest -q -p no:cacheprovider -k "not browser" \
    --ignore=tests/extension/test_core.py "$@" 2>&1 | tee "$WORK/pytest.log"
  exit "${PIPESTATUS[0]}"
) || status=$?
reports=$(find "$WORK/reports" -type f -size +0 | sort)
if [ -n "$reports" ]; then
  for report in $reports; do
    echo "--- sanitizer report $report"
    cat "$report"
  done
  echo "sanitizers reported errors" >&2
  exit 1
fi
[ "$status" -eq 0 ] || { echo "pytest under sanitizers failed ($status)" >&2; exit "$status"; }
echo "=== no sanitizer reports"
rm -rf "$WORK"
