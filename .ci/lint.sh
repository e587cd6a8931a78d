#!/usr/bin/env bash
# Lint, run once by .ci/run in the first interpreter's venv, after the test
# extra (which brings cmake and ninja) is installed:
#   1. clang-format in check mode on all C++ under version control;
#   2. clang-tidy with the checks of .clang-tidy on the core: every .cpp under
#      src/ outside src/binding/ (and the headers under src/ they include),
#      compiled as the build compiles it, any finding an error; then on the
#      binding of _tessarin (src/binding/_tessarin, methods/ included), with
#      the Python headers (the nanobind binding, src/binding/_native, is not
#      tidied);
#   3. ruff, format check and lint, on all Python (configured in pyproject.toml);
#   4. mypy in strict mode on the package, its stub, scripts/ and examples/
#      (the files of [tool.mypy] in pyproject.toml).
# The tools come from the lint extra of pyproject.toml, pinned, installed
# here into the running interpreter. Every step runs; the script fails at
# the end if any step failed, naming them.
set -euo pipefail
cd "$(dirname "$0")/.."
export PIP_DISABLE_PIP_VERSION_CHECK=1
PYTHON=${PYTHON:-python}
START=$SECONDS
step() { echo; echo "=== lint [$((SECONDS - START))s] $*"; }

step "installing the pinned tools (the lint extra)"
mapfile -t tools < <("$PYTHON" -c '
import tomllib
with open("pyproject.toml", "rb") as f:
    print("\n".join(tomllib.load(f)["project"]["optional-dependencies"]["lint"]))
')
"$PYTHON" -m pip install -q "${tools[@]}"
BIN=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))')

failed=()
check() {
  local name=$1
  shift
  step "$name"
  if "$@"; then echo "$name: clean"; else failed+=("$name"); fi
}

clang_format() {
  git ls-files -z '*.cpp' '*.h' | xargs -0 -r "$BIN/clang-format" --dry-run --Werror
}

clang_tidy() {
  cmake -S . -B build/lint -G Ninja -DTESSARIN_PYTHON=OFF \
    -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null || return 1
  local sources
  mapfile -t sources < <(find src -path src/binding -prune -o -name '*.cpp' -print | sort)
  [ "${#sources[@]}" -gt 0 ] || { echo "no core sources under src/" >&2; return 1; }
  # Every finding fails the step: .clang-tidy makes all of them errors
  # (WarningsAsErrors: '*'), and the flag keeps it so for every file.
  printf '%s\0' "${sources[@]}" |
    xargs -0 -n 1 -P "$(nproc)" "$BIN/clang-tidy" -p build/lint --quiet --warnings-as-errors='*'
}

# The binding of _tessarin too, compiled against the Python headers.
clang_tidy_binding() {
  cmake -S . -B build/lint-binding -G Ninja -DTESSARIN_PYTHON=ON -DTESSARIN_NATIVE=OFF \
    -DPython_EXECUTABLE="$(command -v "$PYTHON")" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON > /dev/null ||
    return 1
  git ls-files -z 'src/binding/_tessarin/*.cpp' |
    xargs -0 -n 1 -P "$(nproc)" "$BIN/clang-tidy" -p build/lint-binding --quiet --warnings-as-errors='*'
}

check "clang-format" clang_format
check "clang-tidy" clang_tidy
check "clang-tidy (binding)" clang_tidy_binding
check "ruff format" "$BIN/ruff" format --check .
check "ruff check" "$BIN/ruff" check .
check "mypy" "$PYTHON" -m mypy

echo
if [ "${#failed[@]}" -gt 0 ]; then
  echo "lint failed: ${failed[*]}" >&2
  exit 1
fi
echo "lint: all clean ($((SECONDS - START))s)"
