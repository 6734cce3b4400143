// Assembly of tmux command lines.
//
// tmux re-parses its argument vector before running a command, so caller
// text is written in a form that tmux reads back as exactly that text:
//  - a final ";" would end the command; it is written "\;";
//  - a first operand starting with "-" would be read as an option; a "--"
//    goes before it;
//  - names and titles are expanded as formats; each "#" is written "##".
// Every argument says which of these apply to it by its role.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace termloom {

enum class ArgRole {
    Word,          // our own fixed text: subcommand, flag, format string
    FixedOperand,  // our own fixed operand (a key name, "bash", a format)
    Value,         // caller text following a flag
    NameValue,     // caller name following a flag that tmux format-expands
    Operand,       // caller text as an operand
    NameOperand,   // caller name as an operand that tmux format-expands
    Separator,     // ";" between two commands run by one tmux process
};

struct Arg {
    ArgRole role;
    std::string_view text;
};

constexpr Arg word(std::string_view text) { return {ArgRole::Word, text}; }
constexpr Arg fixed_operand(std::string_view text) { return {ArgRole::FixedOperand, text}; }
constexpr Arg value(std::string_view text) { return {ArgRole::Value, text}; }
constexpr Arg name_value(std::string_view text) { return {ArgRole::NameValue, text}; }
constexpr Arg operand(std::string_view text) { return {ArgRole::Operand, text}; }
constexpr Arg name_operand(std::string_view text) { return {ArgRole::NameOperand, text}; }
constexpr Arg command_separator() { return {ArgRole::Separator, ";"}; }

// "tmux", then "-S <socket>" when a socket path is present, then the
// arguments in order, each written as its role requires.
std::vector<std::string> tmux_argv(const std::optional<std::string>& socket,
                                   std::span<const Arg> args);

inline std::vector<std::string> tmux_argv(const std::optional<std::string>& socket,
                                          std::initializer_list<Arg> args) {
    return tmux_argv(socket, std::span<const Arg>(args.begin(), args.size()));
}

// tmux resolves a bare session name by prefix and pattern too; "=" asks it
// for the session with exactly this name. tmux reads ":" and "." in a target
// as the start of a window or pane part, and never gives a session a name
// containing them, so such a name has no target: nothing may be addressed.
std::optional<std::string> session_target(std::string_view session_name);

// The window target "=NAME:INDEX"; none when the session name has no target.
std::optional<std::string> window_target(std::string_view session_name, std::uint32_t index);

// True when tmux may store a new session name other than as given: it turns
// ":" and "." into "_" and escapes backslashes and control characters.
bool tmux_may_rewrite_session_name(std::string_view name);

// tmux's own words for a target that names no session.
std::string no_such_session(std::string_view session_name);

// display-message resolves its target leniently: a missing window or pane
// reads as another one, or as empty fields, and the exit status is 0.
// has-session resolves the same target strictly and, failing, stops the
// command list, so the query prints only for the object asked for.
std::vector<std::string> display_query(const std::optional<std::string>& socket,
                                       std::string_view target, std::string_view format);

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
