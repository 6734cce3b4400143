#!/usr/bin/env bash
# Builds termloom with AddressSanitizer and UndefinedBehaviorSanitizer and
# runs the whole test suite against that build, on one Python ($PYTHON, else
# python3). Any sanitizer report fails the run: memory errors and undefined
# behaviour in any process, and leaks left at the end of the pytest process.
# Extra arguments go to pytest. The build and its environment are kept apart
# from the normal ones: build/sanitize/ and .venv-sanitize/.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_tmux
ensure_unicode_data
mapfile -t test_tools < <(dependency_group test)  # pyproject.toml: the tools the suite needs
[ "${#test_tools[@]}" -gt 0 ] || die "no dependency group test in pyproject.toml"
ensure_shells

py=$(base_python)
out="$ROOT/build/sanitize"
venv="$ROOT/.venv-sanitize"
reports="$out/reports"

# The shared runtime that g++ links a sanitized module against.
runtime() {
    local path
    path=$(g++ -print-file-name="$1")
    case "$path" in
        /*) [ -e "$path" ] && readlink -f "$path" && return 0 ;;
    esac
    die "g++ has no $1 (on Debian it comes with g++: libasan8, libubsan1)"
}
asan=$(runtime libasan.so)
ubsan=$(runtime libubsan.so)

say "building termloom with AddressSanitizer and UndefinedBehaviorSanitizer ($("$py" --version))"
# Debug adds nothing but -g, so the -O1 here stands.
flags="-O1 -g -fno-omit-frame-pointer -fsanitize=address,undefined -fno-sanitize-recover=all"
version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
rm -rf "$out/dist"
"$py" -m pip wheel --quiet --disable-pip-version-check --no-deps --wheel-dir "$out/dist" \
    --config-settings=build-dir="$out/cmake-$version" \
    --config-settings=cmake.build-type=Debug \
    --config-settings=cmake.define.CMAKE_CXX_FLAGS="$flags" \
    --config-settings=cmake.define.CMAKE_MODULE_LINKER_FLAGS="-fsanitize=address,undefined" \
    "$ROOT" >&2 || die "building the sanitized wheel failed"
make_venv "$venv" "$py" "$out"/dist/termloom-*.whl "${test_tools[@]}"

# tmux and ps run without the preloaded runtimes: ps hangs at start-up with
# libasan preloaded, and neither is what is being checked. These wrappers
# come first on PATH; the tests' scripted fakes still go before them.
bin="$out/bin"
rm -rf "$bin" "$reports"
mkdir -p "$bin" "$reports"
for program in tmux ps; do
    real=$(command -v "$program") || die "$program is not installed"
    printf '#!/bin/sh\nunset LD_PRELOAD\nexec '\''%s'\'' "$@"\n' "$real" > "$bin/$program"
    chmod +x "$bin/$program"
done

say "running the tests under the sanitizers"
status=0
(
    # AddressSanitizer and LeakSanitizer reports go to files in $reports,
    # one per process, so that a report from any process is seen; they are
    # printed at the end. UndefinedBehaviorSanitizer writes to standard error
    # and stops the process. exitcode=23 tells a report that ended the pytest
    # process apart from failed tests.
    export PATH="$bin:$PATH"
    export LD_PRELOAD="$asan:$ubsan"  # libasan first
    export ASAN_OPTIONS="detect_leaks=1:exitcode=23:log_path=$reports/asan"
    export LSAN_OPTIONS="suppressions=$ROOT/scripts/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:exitcode=23"
    # Python objects from malloc: out-of-bounds and use-after-free on them
    # are caught, and leak checking sees every reference to C++ memory.
    export PYTHONMALLOC=malloc
    # The pytest process read the options above when it started. Its
    # children (scripted fakes, child interpreters, sh) check no leaks: an
    # interpreter's leaks at exit would change their exit status, which the
    # tests look at.
    export CHILD_ASAN_OPTIONS="detect_leaks=0:exitcode=23:log_path=$reports/asan"
    cd "$ROOT/tests"
    exec "$venv/bin/python" -c '
import os, sys
os.environ["ASAN_OPTIONS"] = os.environ.pop("CHILD_ASAN_OPTIONS")
import pytest
sys.exit(pytest.main(sys.argv[1:]))
' -q -p no:cacheprovider "$@" .
) || status=$?

mapfile -t found < <(find "$reports" -type f | sort)
for report in "${found[@]}"; do
    printf '\n\033[1m==> sanitizer report %s\033[0m\n' "${report#"$ROOT"/}" >&2
    cat "$report" >&2
done
if [ "${#found[@]}" -gt 0 ]; then
    die "sanitizer reports from ${#found[@]} process(es), shown above and kept in ${reports#"$ROOT"/}/ (pytest process exit code $status)"
fi
case "$status" in
    0) ;;
    23) die "a sanitizer report ended the pytest process (exit code 23; see its output above)" ;;
    *) die "tests failed under the sanitizers (pytest exit code $status)" ;;
esac
say "no sanitizer reports; all tests passed"
