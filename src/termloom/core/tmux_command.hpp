// Assembly of tmux command lines.
//
// tmux re-parses its argument vector before running a command, so caller
// text is written in a form that tmux reads back as exactly that text:
//  - a final ";" would end the command; it is written "\;";
//  - a first operand starting with "-" would be read as an option; a "--"
//    goes before it;
//  - names and titles are expanded as formats; they are written as
//    format_text writes them, which depends on the release.
// Every argument says which of these apply to it by its role.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "host_command.hpp"
#include "tmux_release.hpp"

namespace termloom {

enum class ArgRole {
    Word,          // our own fixed text: subcommand, flag, format string
    FixedOperand,  // our own fixed operand (a key name, "bash", a format)
    Value,         // caller text following a flag
    NameValue,     // caller name following a flag that tmux format-expands
    Operand,       // caller text as an operand
    NameOperand,   // caller name as an operand that tmux format-expands
    // (a name's text is its FormatText: written already)
    Separator,     // ";" between two commands run by one tmux process
};

struct Arg {
    ArgRole role;
    std::string_view text;
};

constexpr Arg word(std::string_view text) { return {ArgRole::Word, text}; }
constexpr Arg fixed_operand(std::string_view text) { return {ArgRole::FixedOperand, text}; }
constexpr Arg value(std::string_view text) { return {ArgRole::Value, text}; }
// A caller's text as tmux's format expansion gives it back: each "#"
// doubled, but for a run of "#" just before "[", which the releases that
// keep such runs (keeps_hashes_before_style) get as it is. Only such a run
// makes the release matter (format_text_needs_release).
struct FormatText {
    std::string written;
};
FormatText format_text(std::string_view text, const TmuxRelease& release);
bool format_text_needs_release(std::string_view text);

constexpr Arg operand(std::string_view text) { return {ArgRole::Operand, text}; }
inline Arg name_value(const FormatText& name) { return {ArgRole::NameValue, name.written}; }
inline Arg name_operand(const FormatText& name) { return {ArgRole::NameOperand, name.written}; }
// An Arg only views its text: a temporary's would be gone.
Arg name_value(FormatText&&) = delete;
Arg name_operand(FormatText&&) = delete;
constexpr Arg command_separator() { return {ArgRole::Separator, ";"}; }

// "tmux", then "-u" when the environment would not make tmux take the
// client for UTF-8 (see tmux_sees_utf8) and always on a remote host, then
// "-S <socket>" when a socket path is present (on a remote host, the path
// in its address), then the arguments in order, each written as its role
// requires.
HostCommand tmux_argv(const std::optional<std::string>& socket, std::span<const Arg> args);

inline HostCommand tmux_argv(const std::optional<std::string>& socket,
                             std::initializer_list<Arg> args) {
    return tmux_argv(socket, std::span<const Arg>(args.begin(), args.size()));
}

// tmux's own test of the client, on the environment a child inherits: TMUX
// set, or the first non-empty of LC_ALL, LC_CTYPE and LANG naming UTF-8
// ("UTF-8" or "UTF8", in any case). Otherwise tmux prints every tab and
// non-ASCII byte of a format as "_"; "-u" makes it print them as they are.
bool tmux_sees_utf8(const char* tmux, const char* lc_all, const char* lc_ctype,
                    const char* lang);

// tmux never gives a session a name containing ":" or "." (it writes "_"),
// and reads them in a target as the start of a window or pane part: a
// handle with such a name names nothing, and nothing may be addressed.
bool session_name_addressable(std::string_view session_name);

// No target form reaches a session by its name alone: "=NAME" is read as
// a session id when NAME starts with "$", and as the session of the client
// on that tty ("=pts/1", "=/dev/pts/1") when no session has the name. A
// window index in "=NAME:INDEX" falls back to window names. So commands
// pick their object with a filter, which compares the name and index
// exactly, or act on the id such a filter found (see find_session and
// find_window in ops/run_tmux.hpp).

// `text` written as an argument inside "#{...}" so that it expands back to
// exactly `text`: as format_text writes it, with "," and "}" escaped by "#".
std::string format_literal(std::string_view text, const TmuxRelease& release);

// A filter (-f) true for the session named exactly `session_name`.
std::string session_filter(std::string_view session_name, const TmuxRelease& release);

// A filter (-f) true for window `index` of the session named exactly
// `session_name`, and for its panes.
std::string window_filter(std::string_view session_name, std::uint32_t index,
                          const TmuxRelease& release);

// The arguments of a listing that prints `format` only for the objects that
// `filter` is true for. Where the release takes -f on its list commands
// (`filters`), that is "-f FILTER -F FORMAT"; before, "-F #{?FILTER,FORMAT,}",
// which prints an empty line for every other object, so readers of such a
// listing pass over empty lines. The conditional format lives in `written`.
std::vector<Arg> filtered_listing(std::string& written, std::string_view filter,
                                  std::string_view format, bool filters);

// Where a filtered listing looks: "-t =NAME" (or "=NAME:INDEX") narrows it
// to the session (or window) tmux resolves, which can only be the right one
// or another one that the filter then drops; a name tmux reads as an id
// ("$...") is looked for among all ("-a"). The target text lives in `target`.
std::vector<Arg> listing_scope(std::string& target, std::string_view session_name,
                               std::optional<std::uint32_t> index = std::nullopt);

// tmux's own words for a session or a window that a look-up did not find.
std::string no_such_session(std::string_view session_name);
std::string no_such_window(std::uint32_t index);

// display-message resolves its target leniently: a missing window or pane
// reads as another one, or as empty fields, and the exit status is 0.
// has-session resolves the same target strictly and, failing, stops the
// command list, so the query prints only for the object asked for.
HostCommand display_query(const std::optional<std::string>& socket, std::string_view target,
                          std::string_view format);

}  // namespace termloom

namespace termloom {

// tmux prints a format variable as it stores it, tabs and line feeds
// included (a pane's working directory may hold any of them). The format
// written by escaped_format prints it with "\" "\t" "\n" and "\r" instead
// of a backslash, a tab, a line feed and a carriage return, so that a
// listing line can be cut at tabs and line feeds; restored_text undoes it
// (none for an escape that format never writes).
std::string escaped_format(std::string_view variable);
std::optional<std::string> restored_text(std::string_view printed);

}  // namespace termloom
