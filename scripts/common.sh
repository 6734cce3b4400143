# Set-up shared by demo.sh and test.sh: tmux, a Python 3.10+, the built wheel.
# Sourced, not run. Everything lands in the checkout (.venv*, dist/).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

say() { printf '\033[1m==> %s\033[0m\n' "$*" >&2; }
die() { printf 'error: %s\n' "$*" >&2; exit 1; }

apt_install() {
    # Installs Debian packages when we may; returns non-zero when we cannot.
    command -v apt-get >/dev/null 2>&1 || return 1
    local sudo=""
    if [ "$(id -u)" -ne 0 ]; then
        command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null || return 1
        sudo="sudo -n"
    fi
    # Two of these scripts at once (two suites on one machine) take turns
    # instead of failing on apt's lock; other users of apt are waited for.
    local turn=()
    command -v flock >/dev/null 2>&1 && turn=(flock -w 900 "${TMPDIR:-/tmp}/termloom-apt.lock")
    local wait=(-o DPkg::Lock::Timeout=600)
    "${turn[@]}" $sudo apt-get "${wait[@]}" update -qq >/dev/null && \
        DEBIAN_FRONTEND=noninteractive "${turn[@]}" $sudo apt-get "${wait[@]}" install -y -qq "$@" >/dev/null
}

ensure_tmux() {
    command -v tmux >/dev/null 2>&1 && return 0
    say "tmux is missing; installing it from Debian's packages"
    apt_install tmux || die "tmux is not installed and could not be installed here.
Install it with your package manager (for example: sudo apt-get install tmux) and run this again."
    command -v tmux >/dev/null 2>&1 || die "tmux still cannot be found on PATH"
}

# The shells that the tests of Pane.run drive besides bash; a missing one
# only skips its tests.
ensure_shells() {
    local missing=() shell
    for shell in dash zsh ksh mksh busybox posh; do
        command -v "$shell" >/dev/null 2>&1 || missing+=("$shell")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    say "installing ${missing[*]} from Debian's packages"
    # One at a time: a release without one of them still gets the others.
    for shell in "${missing[@]}"; do
        apt_install "$shell" || say "$shell not installed; its tests will be skipped"
    done
}

# The tests of remote tmux hosts start an OpenSSH server of their own on
# 127.0.0.1 (tests/remote_hosts.py); without one they are skipped.
ensure_sshd() {
    { [ -x /usr/sbin/sshd ] && command -v ssh >/dev/null 2>&1; } && return 0
    say "installing openssh-server from Debian's packages (the tests of ssh:// start an sshd)"
    apt_install openssh-server openssh-client || say "openssh-server not installed; the ssh tests will be skipped"
}

# Debian's Chromium draws the SVG pictures in the browser tests; without it
# they are skipped.
ensure_chromium() {
    command -v chromium >/dev/null 2>&1 && return 0
    say "installing chromium from Debian's packages (the picture tests draw with it)"
    apt_install chromium || say "chromium not installed; the browser tests will be skipped"
}

# The Unicode data files are needed only to check the generated tables.
ensure_unicode_data() {
    [ -f /usr/share/unicode/UnicodeData.txt ] && return 0
    apt_install unicode-data || say "unicode-data not installed; the table check will be skipped"
}

python_ok() {
    "$1" -c 'import sys, venv; sys.exit(sys.version_info < (3, 10))' >/dev/null 2>&1
}

# The Python that builds the wheel: $PYTHON, else python3.
base_python() {
    local py=${PYTHON:-python3}
    command -v "$py" >/dev/null 2>&1 || die "no $py found: install Python 3.10 or later"
    python_ok "$py" || die "$py is older than 3.10 (or lacks venv): install Python 3.10 or later"
    command -v "$py"
}

# Every distinct CPython 3.10+ on this machine: PATH and pyenv's versions.
all_pythons() {
    local candidates=()
    local v
    for v in 10 11 12 13 14 15; do
        command -v "python3.$v" >/dev/null 2>&1 && candidates+=("$(command -v "python3.$v")")
    done
    local root
    root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
    for v in "$root"/versions/3.*/bin/python3; do
        [ -x "$v" ] && candidates+=("$v")
    done
    candidates+=("$(base_python)")
    local seen="" py id
    for py in "${candidates[@]}"; do
        python_ok "$py" || continue
        id=$("$py" -c 'import sys; print(sys.implementation.name, sys.version.split()[0])')
        case "$seen" in *"|$id|"*) continue ;; esac
        seen="$seen|$id|"
        echo "$py"
    done
}

# While a build runs: every 15 s, how many C++ files it has compiled so far
# (objects under build/ newer than STAMP), so that a long compile is not
# mistaken for a hang. Its own output goes to standard error only.
build_progress() {
    local stamp=$1 total=$2 start=$SECONDS tick compiled
    while :; do
        for tick in $(seq 15); do sleep 1; done  # short sleeps: nothing outlives a kill for long
        compiled=$(find "$ROOT/build" -name '*.o' -newer "$stamp" 2>/dev/null | wc -l || true)
        say "  still building: $compiled of $total C++ files compiled ($((SECONDS - start)) s)"
    done
}

# Builds the one abi3 wheel into dist/ and prints its path.
build_wheel() {
    local py total stamp ticker
    py=$(base_python)
    total=$(grep -c '^ *src/termloom/.*\.cpp$' "$ROOT/CMakeLists.txt")
    say "building the termloom wheel with $("$py" --version): 1 to 2 minutes on two cores"
    say "  pip sets up scikit-build-core (and CMake and Ninja from PyPI when CMake is missing or" \
        "older than 3.26), then $total C++ files are compiled (only the changed ones when build/ is kept)"
    rm -rf "$ROOT/dist"
    stamp=$(mktemp)
    build_progress "$stamp" "$total" >/dev/null &
    ticker=$!
    local built=0
    "$py" -m pip wheel --quiet --no-deps --wheel-dir "$ROOT/dist" "$ROOT" >&2 || built=$?
    kill "$ticker" 2>/dev/null || true
    wait "$ticker" 2>/dev/null || true
    rm -f "$stamp"
    [ "$built" -eq 0 ] || die "building the wheel failed"
    ls "$ROOT"/dist/termloom-*.whl
}

# The requirements of a dependency group in pyproject.toml, one a line
# (tomllib from 3.11; for 3.10 a reading of the one-line lists used there).
dependency_group() {
    "$(base_python)" - "$ROOT/pyproject.toml" "$1" <<'PY'
import re, sys
path, name = sys.argv[1], sys.argv[2]
text = open(path, encoding="utf-8").read()
try:
    import tomllib
    group = tomllib.loads(text)["dependency-groups"][name]
except ImportError:
    section = text.split("[dependency-groups]", 1)[1]
    line = re.search(rf"^{re.escape(name)}\s*=\s*\[(.*)\]\s*$", section, re.M).group(1)
    group = re.findall(r'"([^"]+)"', line)
print("\n".join(group))
PY
}

# make_venv DIR PYTHON PACKAGES...: a fresh virtual environment with PACKAGES.
make_venv() {
    local dir=$1 py=$2
    shift 2
    rm -rf "$dir"
    "$py" -m venv "$dir" || die "could not create a virtual environment with $py"
    "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$@" >&2 \
        || die "installing $* into $dir failed"
}
