#!/usr/bin/env bash
# A packager's build: -DBUILD_TESTING=OFF configures and builds the two
# programs alone, with GoogleTest and Google Benchmark out of reach, and
# nothing else (no tests, no benchmark or long-run tools).
. "$(dirname "$0")/lib.sh"

source_dir="$(cd "$(dirname "$0")/../.." && pwd)"
build="$TEST_DIR/build"
# No optimisation and no debug information: the quickest build there is.
cmake -S "$source_dir" -B "$build" -DBUILD_TESTING=OFF -DCMAKE_BUILD_TYPE=None \
    -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON \
    >"$TEST_DIR/configure.out" 2>&1 || fail "configure: $(cat "$TEST_DIR/configure.out")"
cmake --build "$build" -j2 >"$TEST_DIR/build.out" 2>&1 || fail "build: $(tail -20 "$TEST_DIR/build.out")"
built=$(cd "$build" && find . -path ./CMakeFiles -prune -o -type f -perm -u+x -print | grep -v '/CMakeFiles/' | sort)
expected=$(printf '%s\n' ./src/surgewatch ./src/surgewatch-replay)
[ "$built" = "$expected" ] || fail "built [$(tr '\n' ' ' <<<"$built")], not the two programs alone"
"$build/src/surgewatch" >/dev/null && fail "the built monitor accepted no arguments"
echo "the programs alone, built without GoogleTest: ok"
