#!/usr/bin/env bash
# Sets everything up and runs the whole test suite on every CPython 3.10+
# found here, all against the same abi3 wheel. Extra arguments go to pytest.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_tmux
ensure_unicode_data
wheel=$(build_wheel)

mapfile -t pythons < <(all_pythons)
[ "${#pythons[@]}" -gt 0 ] || die "no Python 3.10 or later found"

failed=()
for py in "${pythons[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    venv="$ROOT/.venv-tests/$version"
    say "Python $version ($py): installing the wheel"
    make_venv "$venv" "$py" "$wheel" pytest hypothesis mypy
    say "Python $version: running the tests"
    # Run from tests/ so that the installed wheel, not the source tree, is imported.
    if ! (cd "$ROOT/tests" && "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" .); then
        failed+=("$version")
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    die "tests failed on Python ${failed[*]}"
fi
say "all tests passed on ${#pythons[@]} Python version(s)"
