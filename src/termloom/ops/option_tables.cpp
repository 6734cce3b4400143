#include "option_tables.hpp"

#include <array>
#include <vector>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"

namespace termloom {
namespace {

// Printed between two listings; no listing line is a bare "=" (each begins
// with an option's name).
constexpr std::string_view kBetween = "=";

// Server, global session and global window options hold every option of
// their table, hooks (-H) included; the pane's listing (-A: inherited values
// too) holds the options a pane may have.
HostCommand listings(const SocketPath& socket, std::string_view pane_target) {
    std::vector<Arg> args;
    for (std::string_view flags : {"-s", "-gH", "-gwH"}) {
        args.insert(args.end(), {word("show-options"), word(flags), command_separator(),
                                 word("display-message"), word("-p"), fixed_operand(kBetween),
                                 command_separator()});
    }
    args.insert(args.end(), {word("show-options"), word("-pAH"), word("-t"), value(pane_target)});
    return tmux_argv(socket, args);
}

// A line's option name: "name value", "name[0] value", "name* value" (an
// inherited value) or the name alone (an empty array).
std::string_view listed_name(std::string_view line) {
    return line.substr(0, line.find_first_of(" [*"));
}

}  // namespace

Result<OptionTable> option_table(const SocketPath& socket, std::string_view name,
                                 std::string_view pane_target, std::string_view failed) {
    name = name.substr(0, name.find('['));
    auto output = output_of(listings(socket, pane_target), Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(failed, *output, Stderr::Trimmed);
    const std::string text = decode_lossy(std::move(output->stdout_bytes));
    // The listings in order: server, session, window, pane.
    constexpr std::size_t kListings = 4;
    std::array<bool, kListings> listed{};
    std::size_t at = 0;
    for (std::string_view line : split_lines(text)) {
        if (line == kBetween) {
            if (++at == kListings) break;
        } else if (!name.empty() && listed_name(line) == name) {
            listed[at] = true;
        }
    }
    if (at != kListings - 1) {
        return runtime_error(std::string(failed) + "unexpected option listings: " + quote_text(text));
    }
    if (listed[0]) return OptionTable::Server;
    if (listed[1]) return OptionTable::Session;
    if (listed[3]) return OptionTable::WindowOrPane;
    if (listed[2]) return OptionTable::Window;
    return OptionTable::Unknown;
}

std::string_view table_description(OptionTable table) {
    switch (table) {
    case OptionTable::Server: return "a server option";
    case OptionTable::Session: return "a session option";
    case OptionTable::Window: return "a window option";
    case OptionTable::WindowOrPane: return "a window or pane option";
    case OptionTable::Unknown: break;
    }
    return "no option of tmux";
}

}  // namespace termloom
