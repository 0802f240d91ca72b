#!/usr/bin/env bash
# Builds zuldcore into a local virtualenv and runs every test: the C++ test
# program for the cores, then the Python suite.
#   scripts/test.sh              release build (.venv)
#   scripts/test.sh --sanitize   debug build with AddressSanitizer and
#                                UndefinedBehaviorSanitizer (.venv-asan)
set -euo pipefail
cd "$(dirname "$0")/.."

mode=release
[ "${1:-}" = "--sanitize" ] && mode=sanitize

venv=.venv
cmake_args=(-DZULDCORE_CORE_TESTS=ON -DCMAKE_BUILD_TYPE=Debug)
pip_args=()
if [ -n "${ZULDCORE_WERROR:-}" ]; then  # CI: a warning in our sources fails the build
  cmake_args+=(-DZULDCORE_WERROR=ON)
  pip_args+=(-Ccmake.define.ZULDCORE_WERROR=ON)
fi
if [ "$mode" = sanitize ]; then
  venv=.venv-asan
  cmake_args+=(-DZULDCORE_SANITIZE=ON)
  pip_args+=(-Ccmake.build-type=Debug -Ccmake.define.ZULDCORE_SANITIZE=ON -Cbuild-dir=build/asan)
fi

[ -x "$venv/bin/python" ] || "${PYTHON:-python3}" -m venv "$venv"
"$venv/bin/python" -m pip install -q --upgrade pip >/dev/null
"$venv/bin/python" -m pip install -q -r <("$venv/bin/python" scripts/requirements.py build tools test)
"$venv/bin/python" -m pip install -q --no-build-isolation "${pip_args[@]}" .

core_build="build/core-tests-$mode"
"$venv/bin/cmake" -S . -B "$core_build" -G Ninja "${cmake_args[@]}" >/dev/null
"$venv/bin/cmake" --build "$core_build" >/dev/null
"$core_build/zuldcore_core_tests"

cd tests  # import the installed package, never the source tree
if [ "$mode" = sanitize ]; then
  # The interpreter is not built with ASan: preload its runtime (and
  # libstdc++, or the first C++ throw aborts in ASan's __cxa_throw
  # interceptor). Leaks of the interpreter itself are not ours to report.
  LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
  PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  HYPOTHESIS_PROFILE=sanitize \
    "../$venv/bin/python" -m pytest -q -p no:cacheprovider .
else
  "../$venv/bin/python" -m pytest -q -p no:cacheprovider .
fi
