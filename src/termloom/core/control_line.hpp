// Command lines for a tmux control-mode client.
//
// A control client sends each command as one line of text that tmux's
// command parser reads, and the parser is not argv: ";", "#", "{", "}",
// "$", "~", quotes, backslashes and line feeds mean things there. The words
// that tmux_argv wrote for an argument vector are turned into a line that
// the parser reads back as exactly the command list that argv would have
// given: every word quoted so that the parser keeps it as it is.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace termloom {

// `word` written so that tmux's command parser reads back exactly `word`,
// as one argument: bare where it holds only characters the parser never
// treats specially, otherwise in single quotes, with each "'" and line feed
// between them written in double quotes ("'" and "\n"). None for a word
// holding a NUL, which no command line can carry.
std::optional<std::string> parser_word(std::string_view word);

// The words after "tmux [-u] [-S socket]" of an argument vector, as one
// command line (no line feed at its end). tmux's argv reading is mirrored
// exactly: a word ";" separates two commands, a word ending in "\;" stands
// for that word ending in ";", and another word ending in ";" is that word
// without it, then a separator. None when a word holds a NUL.
std::optional<std::string> control_line(std::span<const std::string> words);

}  // namespace termloom
