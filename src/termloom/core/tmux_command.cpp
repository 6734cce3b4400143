#include "tmux_command.hpp"

namespace termloom {
namespace {

bool is_caller_text(ArgRole role) {
    return role != ArgRole::Word && role != ArgRole::FixedOperand && role != ArgRole::Separator;
}

bool is_operand(ArgRole role) {
    return role == ArgRole::FixedOperand || role == ArgRole::Operand ||
           role == ArgRole::NameOperand;
}

bool is_format_expanded(ArgRole role) {
    return role == ArgRole::NameValue || role == ArgRole::NameOperand;
}

std::string written_form(const Arg& arg) {
    std::string out;
    if (is_format_expanded(arg.role)) {
        out.reserve(arg.text.size() + 2);
        for (char c : arg.text) {
            if (c == '#') out.push_back('#');
            out.push_back(c);
        }
    } else {
        out.assign(arg.text);
    }
    // tmux turns a trailing "\;" back into ";" and takes a bare one as the
    // end of the command.
    if (is_caller_text(arg.role) && !out.empty() && out.back() == ';') {
        out.insert(out.size() - 1, 1, '\\');
    }
    return out;
}

}  // namespace

std::vector<std::string> tmux_argv(const std::optional<std::string>& socket,
                                   std::span<const Arg> args) {
    std::vector<std::string> argv;
    argv.reserve(args.size() + 4);
    argv.emplace_back("tmux");
    if (socket) {
        argv.emplace_back("-S");
        argv.push_back(*socket);
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
    return argv;
}

std::optional<std::string> session_target(std::string_view session_name) {
    if (session_name.find_first_of(":.") != std::string_view::npos) return std::nullopt;
    std::string target;
    target.reserve(session_name.size() + 1);
    target.push_back('=');
    target.append(session_name);
    return target;
}

std::optional<std::string> window_target(std::string_view session_name, std::uint32_t index) {
    auto target = session_target(session_name);
    if (!target) return std::nullopt;
    *target += ':';
    *target += std::to_string(index);
    return target;
}

std::vector<std::string> display_query(const std::optional<std::string>& socket,
                                       std::string_view target, std::string_view format) {
    return tmux_argv(socket, {word("has-session"), word("-t"), value(target), command_separator(),
                              word("display-message"), word("-p"), word("-t"), value(target),
                              fixed_operand(format)});
}

bool tmux_may_rewrite_session_name(std::string_view name) {
    for (char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == ':' || c == '.' || c == '\\' || byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

std::string no_such_session(std::string_view session_name) {
    std::string message = "can't find session: ";
    message += session_name;
    message += '\n';
    return message;
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
