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
        make_venv "$venv" "$py" "$wheel" pytest hypothesis mypy
        say "Python $version: running the tests"
        cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .
    } > "$logs/$version.log" 2>&1
}

jobs_at_once=${TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}
versions=()
declare -A pid_of
for py in "${pythons[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    versions+=("$version")
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_at_once" ]; do
        wait -n || true
    done
    say "Python $version: started (log: .venv-tests/logs/$version.log)"
    run_version "$py" "$version" "$@" &
    pid_of[$version]=$!
done

failed=()
for version in "${versions[@]}"; do
    wait "${pid_of[$version]}" || failed+=("$version")
    cat "$logs/$version.log"
done

if [ "${#failed[@]}" -gt 0 ]; then
    die "tests failed on Python ${failed[*]}"
fi
say "all tests passed on ${#pythons[@]} Python version(s)"
