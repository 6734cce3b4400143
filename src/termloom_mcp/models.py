"""What the tools return: pydantic models, so every tool has an output schema
and structured content."""

from __future__ import annotations

from typing import TYPE_CHECKING, Literal

from pydantic import BaseModel, Field

if TYPE_CHECKING:
    from termloom import PaneMetadata


class PaneInfo(BaseModel):
    """One pane as tmux reports it."""

    pane_id: str = Field(description="the pane's id, %N: what the other tools take")
    window_id: str = Field(description="its window's id, @N")
    session_id: str = Field(description="its session's id, $N")
    session_name: str
    window_index: int
    window_name: str
    pane_index: int
    title: str
    active: bool = Field(description="the active pane of its window")
    width: int
    height: int
    cursor_x: int
    cursor_y: int
    pid: int | None = Field(description="the process tmux started in the pane")
    current_command: str = Field(description="the program in the foreground, such as bash or vim")
    current_path: str
    dead: bool = Field(description="its program has exited and the pane was kept")
    dead_status: int | None = Field(description="that program's exit status, when tmux knows it")
    in_mode: bool = Field(description="in copy mode or another tmux mode")
    history_size: int = Field(description="lines in the history above the screen")
    tty: str

    @classmethod
    def of(cls, record: PaneMetadata) -> PaneInfo:
        return cls(**{name: getattr(record, name) for name in cls.model_fields})


class PaneList(BaseModel):
    panes: list[PaneInfo]
    truncated: bool = Field(description="true when panes were left out to stay within the "
                            "output limit: list one session's panes")
    dropped_panes: int = Field(description="how many panes were left out at the end")


class Killed(BaseModel):
    killed: str = Field(description="the id of what was killed")
    kind: Literal["session", "window", "pane"]


class Sent(BaseModel):
    pane_id: str
    mark: str = Field(description="the screen just before this input, for wait_for(mark=...)")


class Truncation(BaseModel):
    truncated: bool = Field(description="true when the start was cut to the output limit")
    dropped_bytes: int = Field(description="UTF-8 bytes cut from the start (0 when whole)")
    dropped_lines: int = Field(description="line ends in the part cut from the start")


class ScreenView(Truncation):
    pane_id: str
    text: str = Field(description="the visible screen, one line per row, blanks at line ends cut")
    cursor_x: int
    cursor_y: int = Field(description="the cursor's row, 0 at the top of the screen")
    width: int
    height: int
    alternate: bool = Field(description="a full-screen program's alternate screen is shown")
    history_size: int = Field(description="lines in the history above the screen")
    history: str = Field(description="the history lines asked for, above the screen; '' for none")
    mark: str = Field(description="this screen, for wait_for(mark=...)")


class RunResult(Truncation):
    pane_id: str
    status: int = Field(description="the command's exit status, 128+N after signal N")
    output: str = Field(description="what it printed, without the command line or prompts")


class TmuxOutput(Truncation):
    stdout: str
