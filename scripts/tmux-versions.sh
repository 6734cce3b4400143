#!/usr/bin/env bash
# Fetches Debian's builds of other tmux releases and writes a wrapper for
# each, .tmux-versions/VERSION/bin/tmux, so the tests can put one first on
# PATH. Nothing is installed into the system: apt runs with a private sources
# list, state and cache under .tmux-versions/apt/, and the packages are
# unpacked with dpkg-deb -x into .tmux-versions/VERSION/. A release already
# unpacked is reused, so running this again is quick.
#
# Prints one line per release on stdout:
#   ready VERSION BINDIR
#   skipped VERSION REASON
# and exits 0 either way: a release that cannot be fetched is reported, never
# silently left out. Arguments pick releases (default: all of them below).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
CACHE="$ROOT/.tmux-versions"

# VERSION -> "SUITE LOADER PACKAGES...". LOADER "system": the package's
# tmux runs with this system's C library and loader, and only the listed
# libraries come from the unpacked root (bullseye's libevent). LOADER "own":
# the release's whole library closure (its C library too) is fetched, and
# the unpacked loader runs tmux.
declare -A RELEASES=(
    [3.1c]="bullseye system tmux libevent-2.1-7"
    [3.5a]="trixie own tmux"
)

log() { printf '%s\n' "$*" >&2; }

# The Debian mirror this system's apt already uses for its own release; a
# private sources list points at the same place for the other suites.
debian_mirror() {
    [ -n "${TMUX_VERSIONS_MIRROR:-}" ] && { echo "$TMUX_VERSIONS_MIRROR"; return; }
    local codename
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 2>/dev/null \
        | awk -v suite="$codename" '$2 == suite && $3 == "main" { print $1; exit }'
}

# apt_private SUITE ARGS...: apt-get on SUITE alone, with its own state,
# cache and an empty package status (so dependencies resolve as on a bare
# system and every library of the closure is downloaded).
apt_private() {
    local suite=$1
    shift
    local dir="$CACHE/apt/$suite"
    apt-get -q -o Dir::Etc::SourceList="$dir/sources.list" \
        -o Dir::Etc::SourceParts=/dev/null \
        -o Dir::Etc::Preferences=/dev/null -o Dir::Etc::PreferencesParts=/dev/null \
        -o Dir::State="$dir/state" -o Dir::State::status="$dir/state/status" \
        -o Dir::Cache="$dir/cache" -o Debug::NoLocking=1 \
        -o APT::Sandbox::User=root -o APT::Get::AllowUnauthenticated=false \
        "$@"
}

prepare_apt() {
    local suite=$1 mirror=$2 dir="$CACHE/apt/$1"
    mkdir -p "$dir/state/lists/partial" "$dir/cache/archives/partial"
    : > "$dir/state/status"
    echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $mirror $suite main" \
        > "$dir/sources.list"
    # apt-get update may end well having fetched nothing: look for the list.
    apt_private "$suite" update >"$dir/update.log" 2>&1
    compgen -G "$dir/state/lists/*_Packages*" >/dev/null && return 0
    grep -A1 -m1 -E '^(Err|E):' "$dir/update.log" | tr -s ' \n' ' '
    return 1
}

# fetch VERSION: prints the reason and returns non-zero when it cannot.
fetch() {
    local version=$1 suite loader packages
    read -r suite loader packages <<<"${RELEASES[$version]}"
    local root="$CACHE/$version" wrapper="$CACHE/$version/bin/tmux"
    if [ -x "$wrapper" ] && "$wrapper" -V >/dev/null 2>&1; then
        return 0
    fi
    command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null \
        || { echo "apt-get and dpkg-deb are needed to fetch Debian's packages"; return 1; }
    # The wrappers name x86-64's loader and library folders.
    [ "$(dpkg --print-architecture)" = amd64 ] \
        || { echo "only written for amd64, not $(dpkg --print-architecture)"; return 1; }
    local mirror
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || { echo "no Debian mirror found in this system's apt sources"; return 1; }
    log "tmux $version: fetching Debian $suite's packages from $mirror"
    local why
    why=$(prepare_apt "$suite" "$mirror") \
        || { echo "apt could not read Debian $suite from $mirror: ${why:-no package list}"; return 1; }
    local archives="$CACHE/apt/$suite/cache/archives" out="$CACHE/apt/$suite/download.log"
    rm -f "$archives"/*.deb
    if [ "$loader" = own ]; then
        # shellcheck disable=SC2086
        apt_private "$suite" install -y --download-only --no-install-recommends $packages >"$out" 2>&1
    else
        # shellcheck disable=SC2086
        (cd "$archives" && apt_private "$suite" download $packages) >"$out" 2>&1
    fi || { tail -n 3 "$out" >&2; echo "apt could not download $packages from Debian $suite"; return 1; }
    rm -rf "$root"
    mkdir -p "$root/bin"
    local deb
    for deb in "$archives"/*.deb; do
        dpkg-deb -x "$deb" "$root" || { echo "dpkg-deb could not unpack $deb"; return 1; }
    done
    [ -x "$root/usr/bin/tmux" ] || { echo "Debian $suite's tmux package has no usr/bin/tmux"; return 1; }
    write_wrapper "$root" "$loader" > "$wrapper"
    chmod +x "$wrapper"
    local got
    got=$("$wrapper" -V 2>&1) || { echo "the unpacked tmux does not run: $got"; return 1; }
    [ "$got" = "tmux $version" ] || { echo "Debian $suite's tmux is \"$got\", not $version"; return 1; }
}

# The wrapper hands the library path to the loader rather than through
# LD_LIBRARY_PATH, so the shells tmux starts in its panes run as usual, on
# the system's own libraries.
write_wrapper() {
    local root=$1 loader=$2 ld libs
    if [ "$loader" = own ]; then
        ld="$root/usr/lib64/ld-linux-x86-64.so.2"
        libs="$root/usr/lib/x86_64-linux-gnu:$root/lib/x86_64-linux-gnu"
    else
        ld=/lib64/ld-linux-x86-64.so.2
        libs="$root/usr/lib/x86_64-linux-gnu"
    fi
    printf '#!/bin/sh\nexec %q --library-path %q %q "$@"\n' "$ld" "$libs" "$root/usr/bin/tmux"
}

versions=("$@")
[ ${#versions[@]} -gt 0 ] || mapfile -t versions < <(printf '%s\n' "${!RELEASES[@]}" | sort)
for version in "${versions[@]}"; do
    if [ -z "${RELEASES[$version]:-}" ]; then
        echo "skipped $version no Debian package of it is known to this script"
    elif reason=$(fetch "$version"); then
        echo "ready $version $CACHE/$version/bin"
    else
        rm -f "$CACHE/$version/bin/tmux"
        echo "skipped $version ${reason:-fetching it failed}"
    fi
done
