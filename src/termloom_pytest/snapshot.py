"""Snapshot tests of terminal screens with syrupy.

``screen_snapshot`` is syrupy's ``snapshot`` storing a styled ``Screen``
(``pane.screen(styles=True)``) as an SVG picture, one ``.svg`` file per
snapshot under ``__snapshots__``::

    def test_menu(tmux_pane, screen_snapshot):
        tmux_pane.send_text("my-program", enter=True)
        tmux_pane.wait_for("Menu")
        assert tmux_pane.screen(styles=True) == screen_snapshot

A picture matches its snapshot when the cells do: their characters, widths
and styles, the size, the cursor and the default colours, read back from the
JSON the picture keeps in ``<metadata id="termloom-screen">``; how they are
drawn (fonts, the grid's geometry) does not count. ``pytest
--snapshot-update`` writes the pictures anew.

For ``assert tmux_pane.screen(styles=True) == snapshot`` with syrupy's own
fixture name, override it in a conftest.py::

    @pytest.fixture
    def snapshot(screen_snapshot):
        return screen_snapshot

Only this fixture needs syrupy; the rest of the plugin works without it,
and nothing here imports syrupy until the fixture or
``ScreenSnapshotExtension`` is used.
"""

from __future__ import annotations

import json
import xml.etree.ElementTree as ElementTree
from typing import Any

import pytest

__all__ = ["screen_snapshot", "screen_record", "ScreenSnapshotExtension"]

METADATA_ID = "termloom-screen"
SVG_NAMESPACE = "{http://www.w3.org/2000/svg}"


def screen_record(svg: str) -> dict[str, Any] | None:
    """The cells an SVG picture of termloom's holds, as the JSON object of its
    metadata; None for any other document."""
    try:
        root = ElementTree.fromstring(svg)
    except ElementTree.ParseError:
        return None
    for element in root.iter(SVG_NAMESPACE + "metadata"):
        if element.get("id") == METADATA_ID and element.text:
            try:
                record = json.loads(element.text)
            except ValueError:
                return None
            return record if isinstance(record, dict) else None
    return None


def _record_text(svg: str) -> str:
    """What a failed comparison shows: the metadata, one row a line."""
    record = screen_record(svg)
    if record is None:
        return svg
    lines = [json.dumps({k: v for k, v in record.items() if k not in ("styles", "rows")},
                        ensure_ascii=False)]
    lines += [f"style {i}: " + json.dumps(s, ensure_ascii=False) for i, s in enumerate(record.get("styles", []))]
    lines += [f"row {y}: " + json.dumps(r, ensure_ascii=False) for y, r in enumerate(record.get("rows", []))]
    return "\n".join(lines)


_extension = None


def _extension_class() -> type:
    global _extension
    if _extension is not None:
        return _extension
    from syrupy.extensions.single_file import SingleFileSnapshotExtension, WriteMode

    class ScreenSnapshotExtension(SingleFileSnapshotExtension):
        """Stores a styled Screen as an SVG picture and compares its cells."""

        file_extension = "svg"   # syrupy 5 and later
        _file_extension = "svg"  # syrupy 4
        _write_mode = WriteMode.TEXT

        def serialize(self, data: Any, **kwargs: Any) -> str:
            svg = getattr(type(data), "svg", None)
            if type(data).__name__ != "Screen" or svg is None:
                raise TypeError(f"screen_snapshot compares termloom Screens, not {type(data).__name__}")
            if data.cells is None:
                raise TypeError("screen_snapshot needs a Screen taken with screen(styles=True)")
            picture: str = data.svg()
            return picture

        def matches(self, *, serialized_data: Any, snapshot_data: Any) -> bool:
            new, old = screen_record(serialized_data), screen_record(snapshot_data)
            if new is None or old is None:
                return bool(serialized_data == snapshot_data)
            return new == old

        def diff_lines(self, serialized_data: Any, snapshot_data: Any) -> Any:
            return super().diff_lines(_record_text(serialized_data), _record_text(snapshot_data))

    _extension = ScreenSnapshotExtension
    return _extension


def __getattr__(name: str) -> Any:
    # ScreenSnapshotExtension is made on first use: it imports syrupy.
    if name == "ScreenSnapshotExtension":
        return _extension_class()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


@pytest.fixture
def screen_snapshot(request: pytest.FixtureRequest) -> Any:
    """syrupy's snapshot, storing styled Screens as SVG pictures."""
    try:
        import syrupy  # noqa: F401
    except ImportError:
        pytest.fail("screen_snapshot needs syrupy: pip install syrupy", pytrace=False)
    return request.getfixturevalue("snapshot").use_extension(_extension_class())
