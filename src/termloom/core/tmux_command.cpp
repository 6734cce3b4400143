#include "tmux_command.hpp"

#include <cstdlib>

#include "server_address.hpp"

namespace termloom {
namespace {

bool names_utf8(std::string_view locale) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    for (std::string_view wanted : {"utf-8", "utf8"}) {
        for (std::size_t at = 0; at + wanted.size() <= locale.size(); ++at) {
            std::size_t i = 0;
            while (i < wanted.size() && lower(locale[at + i]) == wanted[i]) ++i;
            if (i == wanted.size()) return true;
        }
    }
    return false;
}

bool is_caller_text(ArgRole role) {
    return role != ArgRole::Word && role != ArgRole::FixedOperand && role != ArgRole::Separator;
}

bool is_operand(ArgRole role) {
    return role == ArgRole::FixedOperand || role == ArgRole::Operand ||
           role == ArgRole::NameOperand;
}

std::string written_form(const Arg& arg) {
    std::string out(arg.text);
    // tmux turns a trailing "\;" back into ";" and takes a bare one as the
    // end of the command.
    if (is_caller_text(arg.role) && !out.empty() && out.back() == ';') {
        out.insert(out.size() - 1, 1, '\\');
    }
    return out;
}

}  // namespace

HostCommand tmux_argv(const std::optional<std::string>& socket, std::span<const Arg> args) {
    HostCommand command{socket, {}};
    std::vector<std::string>& argv = command.argv;
    argv.reserve(args.size() + 4);
    argv.emplace_back("tmux");
    // A remote tmux client has the host's locale, which is not known here:
    // -u makes it print UTF-8 whatever that is. A text that is no address
    // stays as it is: the run reports it.
    auto host = parse_server_address(socket);
    const bool remote = host && host->remote();
    if (remote || !tmux_sees_utf8(std::getenv("TMUX"), std::getenv("LC_ALL"),
                                  std::getenv("LC_CTYPE"), std::getenv("LANG"))) {
        argv.emplace_back("-u");
    }
    const std::optional<std::string>& path = remote ? host->socket : socket;
    if (path) {
        argv.emplace_back("-S");
        argv.push_back(*path);
    }
    bool seen_operand = false;
    for (const Arg& arg : args) {
        if (arg.role == ArgRole::Separator) seen_operand = false;  // a new command begins
        if (is_operand(arg.role) && !seen_operand) {
            seen_operand = true;
            // Options end at the first operand, so only that one can be
            // mistaken for a flag.
            if (arg.role != ArgRole::FixedOperand && arg.text.starts_with('-')) {
                argv.emplace_back("--");
            }
        }
        argv.push_back(written_form(arg));
    }
    return command;
}

bool tmux_sees_utf8(const char* tmux, const char* lc_all, const char* lc_ctype,
                    const char* lang) {
    if (tmux != nullptr) return true;
    for (const char* locale : {lc_all, lc_ctype, lang}) {
        if (locale != nullptr && *locale != '\0') return names_utf8(locale);
    }
    return false;
}

bool session_name_addressable(std::string_view session_name) {
    return session_name.find_first_of(":.") == std::string_view::npos;
}

namespace {

// Where `escaped` ("," "}" inside "#{...}"), those are escaped with "#" too.
std::string written_for_formats(std::string_view text, bool keeps_style_runs,
                                std::string_view escaped) {
    std::string out;
    out.reserve(text.size() + 8);
    for (std::size_t i = 0; i < text.size();) {
        if (text[i] == '#') {
            const std::size_t run_end = text.find_first_not_of('#', i);
            const std::size_t run = (run_end == std::string_view::npos ? text.size() : run_end) - i;
            const bool before_style = run_end != std::string_view::npos && text[run_end] == '[';
            out.append(before_style && keeps_style_runs ? run : 2 * run, '#');
            i += run;
            continue;
        }
        if (escaped.find(text[i]) != std::string_view::npos) out.push_back('#');
        out.push_back(text[i++]);
    }
    return out;
}

}  // namespace

FormatText format_text(std::string_view text, const TmuxRelease& release) {
    return {written_for_formats(text, keeps_hashes_before_style(release), {})};
}

bool format_text_needs_release(std::string_view text) {
    return text.find("#[") != std::string_view::npos;
}

std::string format_literal(std::string_view text, const TmuxRelease& release) {
    return written_for_formats(text, keeps_hashes_before_style(release), ",}");
}

std::string session_filter(std::string_view session_name, const TmuxRelease& release) {
    return "#{==:#{session_name}," + format_literal(session_name, release) + "}";
}

std::string window_filter(std::string_view session_name, std::uint32_t index,
                          const TmuxRelease& release) {
    return "#{&&:" + session_filter(session_name, release) + ",#{==:#{window_index}," +
           std::to_string(index) + "}}";
}

std::vector<Arg> filtered_listing(std::string& written, std::string_view filter,
                                  std::string_view format, bool filters) {
    if (filters) return {word("-f"), word(filter), word("-F"), word(format)};
    written = "#{?";
    written += filter;
    written += ',';
    written += format;
    written += ",}";
    return {word("-F"), word(written)};
}

std::vector<Arg> listing_scope(std::string& target, std::string_view session_name,
                               std::optional<std::uint32_t> index) {
    if (session_name.starts_with('$')) return {word("-a")};
    target.assign(1, '=');
    target += session_name;
    if (index) {
        target += ':';
        target += std::to_string(*index);
    }
    return {word("-t"), value(target)};
}

HostCommand display_query(const std::optional<std::string>& socket, std::string_view target,
                          std::string_view format) {
    return tmux_argv(socket, {word("has-session"), word("-t"), value(target), command_separator(),
                              word("display-message"), word("-p"), word("-t"), value(target),
                              fixed_operand(format)});
}

std::string no_such_session(std::string_view session_name) {
    std::string message = "can't find session: ";
    message += session_name;
    message += '\n';
    return message;
}

std::string no_such_window(std::uint32_t index) {
    return "can't find window: " + std::to_string(index) + "\n";
}

}  // namespace termloom

namespace termloom {

std::string escaped_format(std::string_view variable) {
    // tmux's s/// modifiers run in order: the backslashes are doubled first.
    std::string format = "#{s/\\\\/\\\\\\\\/;s/\t/\\\\t/;s/\n/\\\\n/;s/\r/\\\\r/:";
    format += variable;
    format += '}';
    return format;
}

std::optional<std::string> restored_text(std::string_view printed) {
    std::string text;
    text.reserve(printed.size());
    for (std::size_t i = 0; i < printed.size(); ++i) {
        if (printed[i] != '\\') {
            text.push_back(printed[i]);
            continue;
        }
        if (++i == printed.size()) return std::nullopt;
        switch (printed[i]) {
            case '\\': text.push_back('\\'); break;
            case 't': text.push_back('\t'); break;
            case 'n': text.push_back('\n'); break;
            case 'r': text.push_back('\r'); break;
            default: return std::nullopt;
        }
    }
    return text;
}

}  // namespace termloom
