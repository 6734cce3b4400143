#include "foreground.hpp"

#include <charconv>
#include <fstream>
#include <iterator>
#include <string_view>

namespace termloom {
namespace {

std::optional<std::string> read_small_file(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    if (file.bad()) return std::nullopt;
    return text;
}

}  // namespace

std::optional<ForegroundProgram> foreground_of(pid_t pid) {
    auto stat = read_small_file("/proc/" + std::to_string(pid) + "/stat");
    if (!stat) return std::nullopt;
    // After the name in parentheses: state ppid pgrp session tty_nr tpgid.
    const auto close = stat->rfind(')');
    if (close == std::string::npos) return std::nullopt;
    std::string_view rest = std::string_view(*stat).substr(close + 1);
    for (int field = 0; field < 5; ++field) {
        const auto space = rest.find(' ', 1);
        if (space == std::string_view::npos) return std::nullopt;
        rest.remove_prefix(space);
    }
    rest.remove_prefix(1);
    long tpgid = 0;
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), tpgid);
    if (error != std::errc() || tpgid <= 0) return std::nullopt;
    auto comm = read_small_file("/proc/" + std::to_string(tpgid) + "/comm");
    if (!comm) return std::nullopt;
    if (!comm->empty() && comm->back() == '\n') comm->pop_back();
    return ForegroundProgram{static_cast<pid_t>(tpgid), std::move(*comm)};
}

bool is_posix_shell(std::string_view name) {
    constexpr std::string_view shells[] = {"sh",   "bash", "dash", "zsh",   "ksh",  "ksh93",
                                           "mksh", "lksh", "ash",  "posh",  "yash", "busybox"};
    for (std::string_view shell : shells) {
        if (name == shell) return true;
    }
    return false;
}

}  // namespace termloom
