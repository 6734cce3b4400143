#include "control_line.hpp"

namespace termloom {
namespace {

// Characters that mean nothing to the parser anywhere in a word (and a
// word of them is never the start of a directive or an assignment, which
// begin with "%" or hold "=", left out here).
bool plain(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '_' || c == '.' || c == '/' || c == ':' || c == '@' || c == '+' ||
           c == ',';
}

}  // namespace

std::optional<std::string> parser_word(std::string_view word) {
    if (word.find('\0') != std::string_view::npos) return std::nullopt;
    bool bare = !word.empty();
    for (char c : word) bare = bare && plain(c);
    if (bare) return std::string(word);
    std::string out;
    out.reserve(word.size() + 2);
    bool quoted = false;  // inside single quotes
    for (char c : word) {
        if (c == '\'' || c == '\n') {
            if (quoted) out.push_back('\'');
            quoted = false;
            out += c == '\'' ? "\"'\"" : "\"\\n\"";
            continue;
        }
        if (!quoted) out.push_back('\'');
        quoted = true;
        out.push_back(c);
    }
    if (quoted) out.push_back('\'');
    if (out.empty()) out = "''";
    return out;
}

std::optional<std::string> control_line(std::span<const std::string> words) {
    std::string line;
    auto add = [&](std::string_view word) {
        auto written = parser_word(word);
        if (!written) return false;
        if (!line.empty()) line.push_back(' ');
        line += *written;
        return true;
    };
    for (const std::string& word : words) {
        if (word.empty() || word.back() != ';') {
            if (!add(word)) return std::nullopt;
            continue;
        }
        std::string_view rest(word.data(), word.size() - 1);
        if (rest.ends_with('\\')) {
            std::string kept(rest.substr(0, rest.size() - 1));
            kept.push_back(';');
            if (!add(kept)) return std::nullopt;
            continue;
        }
        if (!rest.empty() && !add(rest)) return std::nullopt;
        line += " ;";
    }
    return line;
}

}  // namespace termloom
