// The values behind the Python objects: handles that name a tmux object and
// snapshot records. Each owns its texts and refers to nothing else.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace termloom {

struct StyledScreen;  // core/styled_cells.hpp

// Every handle carries the socket path of its server; absent means tmux's
// default server, and an empty text still counts as present.
using SocketPath = std::optional<std::string>;

struct Server {
    SocketPath socket;
};

struct Session {
    std::string name;
    SocketPath socket;
};

struct Window {
    std::string session_name;
    std::uint32_t index = 0;
    SocketPath socket;
    std::string name;
};

struct WindowMetadata {
    std::uint32_t index = 0;
    std::string name;
    bool active = false;
    std::string layout;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::string flags;
};

// Every command of a pane names it by its id alone; the other fields are
// for the caller and are copied into the panes it splits off.
struct Pane {
    std::string session_name;
    std::uint32_t window_index = 0;
    std::uint32_t pane_index = 0;
    std::string pane_id;
    std::string title;
    SocketPath socket;
};

// Reads and re-runs the last command of the shell in one pane.
struct LastCommand {
    std::string pane_id;
    SocketPath socket;
};

// One opening of the process's connection to a server (Server.connect).
struct Connection {
    SocketPath socket;
    std::uint64_t number = 0;
};

// The words of a raw tmux command line, each one argument (*args).
struct TextArgs {
    std::vector<std::string> items;
};

// A place in a pane's output stream (ops/pane_stream.hpp) that tmux fixed:
// the start of one of the stream's sources.
struct StreamMark {
    std::uint64_t stream = 0;
    std::uint32_t source = 0;
};

// Variables for the environment of a new pane, in the caller's order. Each
// name is non-empty and holds neither "=" nor NUL; no value holds NUL.
struct Environment {
    std::vector<std::pair<std::string, std::string>> variables;
};

// One snapshot of a pane's visible screen.
struct Screen {
    std::string text;  // the visible lines joined by "\n"
    std::uint32_t cursor_x = 0;
    std::uint32_t cursor_y = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool alternate = false;  // a full-screen program's alternate screen is shown
    std::uint64_t history_size = 0;  // lines in the history above the screen
    // The moment of the snapshot in the pane's output stream, when there is one.
    std::optional<StreamMark> mark;
    std::shared_ptr<const StyledScreen> styled;  // the cells, with screen(styles=True)
};

// Where new output starts, for a wait that must not match what was already
// there: a line counted from the top of the history. A mark taken from a
// screen is its cursor's line, whose text then (on that line, what is still
// there is old), and the screen itself, to tell old from new on the
// alternate screen, which has no history.
struct OutputMark {
    std::uint64_t line = 0;
    std::optional<Screen> screen;
};

// What `expect` found in a pane's output: the text before the match, the
// match, and its groups.
struct Expectation {
    std::string before;
    std::string text;
    std::vector<std::optional<std::string>> groups;
};

// A shell command run to its end in a pane.
struct CommandResult {
    std::string command;
    std::uint32_t status = 0;
    std::string output;
};

struct SessionMetadata {
    std::string id;
    std::string name;
    std::uint64_t created = 0;
    bool attached = false;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::uint32_t windows = 0;
};

// One pane as tmux reports it, with the server it lives on so that it can
// name its Pane handle.
struct PaneMetadata {
    std::string session_name;
    std::uint32_t window_index = 0;
    std::string window_name;
    std::uint32_t pane_index = 0;
    std::string pane_id;
    std::string title;
    bool active = false;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t cursor_x = 0;
    std::uint32_t cursor_y = 0;
    std::optional<std::uint32_t> pid;
    std::string current_command;
    std::string current_path;
    bool dead = false;
    std::optional<std::uint32_t> dead_status;
    bool in_mode = false;
    std::uint32_t history_size = 0;
    std::string tty;
    std::string session_id;  // "$N": the session's id, which no rename changes
    std::string window_id;   // "@N"
    SocketPath socket;
};

// One cell of a styled screen (Screen.cells); colours in colour_text's form.
struct Cell {
    std::string character;  // "" in the second column of a wide character
    std::uint32_t width = 1;
    std::string fg;
    std::string bg;
    std::string underline;  // "none", "single", "double", "curly", "dotted", "dashed"
    std::optional<std::string> underline_colour;  // none: the release does not report it
    bool bold = false;
    bool dim = false;
    bool italic = false;
    bool blink = false;
    bool reverse = false;
    bool hidden = false;
    bool strike = false;
    bool overline = false;
};

}  // namespace termloom
