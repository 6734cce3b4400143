#!/usr/bin/env bash
# Sets everything up and runs the whole test suite on every CPython 3.10+
# found here, all against the same abi3 wheel. Extra arguments go to pytest.
# The versions run side by side, as many at once as there are CPUs (or
# $TEST_JOBS); the suite mostly waits for tmux, so they share the cores well.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_tmux
ensure_unicode_data
ensure_shells
wheel=$(build_wheel)
mapfile -t test_tools < <(dependency_group test)  # pyproject.toml: the tools the suite needs
[ "${#test_tools[@]}" -gt 0 ] || die "no dependency group test in pyproject.toml"

mapfile -t pythons < <(all_pythons)
[ "${#pythons[@]}" -gt 0 ] || die "no Python 3.10 or later found"

logs="$ROOT/.venv-tests/logs"
rm -rf "$logs"
mkdir -p "$logs"

# One version: its own environment, then the suite, run from tests/ so that
# the installed wheel, not the source tree, is imported. Output to its log.
run_version() {
    local py=$1 version=$2
    shift 2
    local venv="$ROOT/.venv-tests/$version"
    {
        say "Python $version ($py): installing the wheel"
        make_venv "$venv" "$py" "$wheel" "${test_tools[@]}"
        say "Python $version: running the tests"
        cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .
    } > "$logs/$version.log" 2>&1
}

# As each version finishes: its result at once, and the end of its log when
# it failed (the whole log stays in .venv-tests/logs/).
failed=()
report() {
    local version=$1 status=$2 log="$logs/$1.log" summary
    summary=$(grep -E ' in [0-9.]+s' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
    if [ "$status" -eq 0 ]; then
        say "Python $version: passed (${summary:-no summary})"
    else
        tail -n 60 "$log" >&2
        say "Python $version: FAILED (${summary:-see its log}); log: .venv-tests/logs/$version.log"
        failed+=("$version")
    fi
}

declare -A version_of
running=0
finish_one() {
    local pid status=0
    wait -n -p pid || status=$?
    running=$((running - 1))
    report "${version_of[$pid]}" "$status"
}

jobs_at_once=${TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}
for py in "${pythons[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    while [ "$running" -ge "$jobs_at_once" ]; do
        finish_one
    done
    say "Python $version: started (log: .venv-tests/logs/$version.log)"
    run_version "$py" "$version" "$@" &
    version_of[$!]=$version
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    finish_one
done

if [ "${#failed[@]}" -gt 0 ]; then
    die "tests failed on Python ${failed[*]}"
fi
say "all tests passed on ${#pythons[@]} Python version(s)"
