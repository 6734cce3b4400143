#!/usr/bin/env bash
# Sets everything up and runs the whole test suite on every CPython 3.10+
# found here, all against the same abi3 wheel and the system's tmux. Then the
# tests that drive a real tmux run on each other tmux release users have
# (scripts/tmux-versions.sh fetches them), with the newest CPython only, and
# the real-tmux tests of a selection of files run again on remote hosts made
# by the tests (tests/remote_hosts.py): through ssh:// on the system's tmux
# and the newest other release, and in a container (docker://).
# Extra arguments go to pytest. The runs go side by side, as many at once as
# there are CPUs (or $TEST_JOBS); the suite mostly waits for tmux, so they
# share the cores well.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

ensure_tmux
ensure_sshd
ensure_unicode_data
ensure_shells
ensure_chromium
wheel=$(build_wheel)
mapfile -t test_tools < <(dependency_group test)  # pyproject.toml: the tools the suite needs
[ "${#test_tools[@]}" -gt 0 ] || die "no dependency group test in pyproject.toml"

mapfile -t pythons < <(all_pythons)
[ "${#pythons[@]}" -gt 0 ] || die "no Python 3.10 or later found"

logs="$ROOT/.venv-tests/logs"
rm -rf "$logs"
mkdir -p "$logs"

# One run: its own environment, then the suite, run from tests/ so that
# the installed wheel, not the source tree, is imported. Output to its log.
# A tmux release's run puts its tmux first on PATH; a remote run ("ssh",
# "docker") runs its selection against a host of that kind. With
# CONNECTED=1, a run is the connection pass: these tests again, every
# private server reached through a connection (Server.connect).
CONNECTION_TESTS=(test_everyday.py test_exact_objects.py test_driving_exactly.py test_building.py)
run_suite() {
    local name=$1 py=$2 tmux_bin=$3 remote=$4
    shift 4
    local venv="$ROOT/.venv-tests/$(slug "$name")" targets=(.)
    if [ "${CONNECTED:-}" = 1 ]; then
        targets=("${CONNECTION_TESTS[@]}")
        export TERMLOOM_TEST_CONNECTION=1
    fi
    {
        say "$name ($py): installing the wheel"
        make_venv "$venv" "$py" "$wheel" "${test_tools[@]}"
        say "$name: running the tests"
        cd "$ROOT/tests"
        local only=()
        [ -n "$tmux_bin" ] && [ -z "$remote" ] && only=(--real-tmux-only)
        if [ -n "$tmux_bin" ]; then
            PATH="$tmux_bin:$PATH" TERMLOOM_TEST_REAL_TMUX="$tmux_bin/tmux" TERMLOOM_TEST_ADDRESS_SCHEME="$remote" \
                "$venv/bin/python" -m pytest -q -p no:cacheprovider "${only[@]}" "$@" "${targets[@]}"
        else
            TERMLOOM_TEST_ADDRESS_SCHEME="$remote" "$venv/bin/python" -m pytest -q -p no:cacheprovider "$@" "${targets[@]}"
        fi
    } > "$logs/$(slug "$name").log" 2>&1
}

# "Python 3.12" -> "3.12", "tmux 3.1c" -> "tmux-3.1c": folder and log names.
slug() {
    local name=${1#Python }
    echo "${name// /-}"
}

# As each run finishes: its result at once, and the end of its log when it
# failed (the whole log stays in .venv-tests/logs/).
failed=()
report() {
    local name=$1 status=$2 log summary
    log="$logs/$(slug "$name").log"
    summary=$(grep -E ' in [0-9.]+s' "$log" | tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
    if [ "$status" -eq 0 ]; then
        say "$name: passed (${summary:-no summary})"
    else
        tail -n 60 "$log" >&2
        say "$name: FAILED (${summary:-see its log}); log: ${log#"$ROOT/"}"
        failed+=("$name")
    fi
}

declare -A name_of
running=0
finish_one() {
    local pid status=0
    wait -n -p pid || status=$?
    running=$((running - 1))
    report "${name_of[$pid]}" "$status"
}

jobs_at_once=${TEST_JOBS:-$(nproc 2>/dev/null || echo 1)}
start_run() {
    local name=$1
    while [ "$running" -ge "$jobs_at_once" ]; do
        finish_one
    done
    say "$name: started (log: .venv-tests/logs/$(slug "$name").log)"
    run_suite "$@" &
    name_of[$!]=$name
    running=$((running + 1))
}

# The other releases first (fetched once, then kept): a line each, "ready
# RELEASE BINDIR" or "skipped RELEASE REASON".
mapfile -t releases < <(bash "$ROOT/scripts/tmux-versions.sh")
[ "${#releases[@]}" -gt 0 ] || say "scripts/tmux-versions.sh reported no other tmux release"

# The oldest and the newest CPython run the whole suite; those between run
# the tests without a real tmux (the binding, the scripted tmux), since the
# same wheel drives tmux alike under each: the real-tmux tests' time goes to
# the other releases and the remote hosts instead.
declare -A version_of
newest="" newest_version="" oldest_version=""
for py in "${pythons[@]}"; do
    version=$("$py" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    version_of[$py]=$version
    if [ -z "$newest" ] || [ "$(printf '%s\n' "$newest_version" "$version" | sort -V | tail -n 1)" = "$version" ]; then
        newest=$py newest_version=$version
    fi
    if [ -z "$oldest_version" ] || [ "$(printf '%s\n' "$oldest_version" "$version" | sort -V | head -n 1)" = "$version" ]; then
        oldest_version=$version
    fi
done
for py in "${pythons[@]}"; do
    version=${version_of[$py]}
    if [ "$version" = "$newest_version" ] || [ "$version" = "$oldest_version" ]; then
        start_run "Python $version" "$py" "" "" "$@"
    else
        start_run "Python $version" "$py" "" "" --no-real-tmux "$@"
    fi
done

skipped=() tested=0 newest_release="" newest_bin=""
for line in "${releases[@]}"; do
    read -r state release rest <<<"$line"
    if [ "$state" = ready ]; then
        start_run "tmux $release" "$newest" "$rest" "" "$@"
        tested=$((tested + 1))
        newest_release=$release newest_bin=$rest
    else
        say "tmux $release: skipped: $rest"
        skipped+=("tmux $release: $rest")
    fi
done

start_run "ssh" "$newest" "" ssh "$@"
[ -n "$newest_bin" ] && start_run "ssh tmux $newest_release" "$newest" "$newest_bin" ssh "$@"
start_run "docker" "$newest" "" docker "$@"

# The connection pass, with the newest CPython: the system's tmux, then
# each other release, then the system's tmux over ssh.
CONNECTED=1 start_run "connection tmux $(tmux -V | cut -d' ' -f2)" "$newest" "$(dirname "$(command -v tmux)")" "" "$@"
for line in "${releases[@]}"; do
    read -r state release rest <<<"$line"
    if [ "$state" = ready ]; then
        CONNECTED=1 start_run "connection tmux $release" "$newest" "$rest" "" "$@"
    fi
done
CONNECTED=1 start_run "connection ssh" "$newest" "" ssh "$@"

while [ "$running" -gt 0 ]; do
    finish_one
done

for skip in "${skipped[@]}"; do
    say "skipped: $skip"
done
if [ "${#failed[@]}" -gt 0 ]; then
    die "tests failed: ${failed[*]}"
fi
say "all tests passed on ${#pythons[@]} Python version(s) with $(tmux -V), on $tested other tmux release(s) with Python $newest_version, and on remote hosts (ssh, docker)"
