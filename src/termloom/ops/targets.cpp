// Server.target_pane and Server.target_window: tmux resolves a target string
// and prints the fields that the new handle carries.
#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"
#include "server.hpp"

namespace termloom::server_ops {
namespace {

constexpr std::string_view kPaneFormat =
    "#{session_name}\t#{window_index}\t#{pane_index}\t#{pane_id}\t#{pane_title}";
constexpr std::string_view kWindowFormat = "#{session_name}\t#{window_index}\t#{window_name}";

// The line tmux printed for the resolved object, without its line end.
Result<std::string> resolve(const Server& server, std::string_view target,
                            std::string_view format, std::string_view not_found) {
    auto output = output_of(display_query(server.socket, target, format), Capture::Both,
                            kServerSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure(not_found, *output, Stderr::Whole);
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    text.resize(without_line_end(text).size());
    return text;
}

// The fields of the line; the last one (a title or a name) is the rest of
// the line, whatever it holds.
Result<std::vector<std::string_view>> fields_of(std::string_view line, std::size_t count) {
    auto fields = split_fields(line, '\t', count);
    if (fields[0].empty()) return runtime_error("missing session_name from tmux output");
    return fields;
}

Result<std::uint32_t> index_field(const std::vector<std::string_view>& fields, std::size_t at,
                                  std::string_view label) {
    if (fields.size() <= at) {
        return runtime_error("missing " + std::string(label) + " from tmux output");
    }
    auto index = parse_u32(fields[at]);
    if (!index) {
        return runtime_error("invalid " + std::string(label) + ": " + std::string(index.error()));
    }
    return *index;
}

}  // namespace

Result<Pane> target_pane(const Server& server, std::string target) {
    auto line = resolve(server, target, kPaneFormat, "pane target not found: ");
    if (!line) return std::unexpected(line.error());
    auto fields = fields_of(*line, 5);
    if (!fields) return std::unexpected(fields.error());
    auto window_index = index_field(*fields, 1, "window_index");
    if (!window_index) return std::unexpected(window_index.error());
    auto pane_index = index_field(*fields, 2, "pane_index");
    if (!pane_index) return std::unexpected(pane_index.error());
    if (fields->size() <= 3 || (*fields)[3].empty()) {
        return runtime_error("missing pane_id from tmux output");
    }
    return Pane{std::string((*fields)[0]), *window_index, *pane_index, std::string((*fields)[3]),
                fields->size() > 4 ? std::string((*fields)[4]) : std::string(), server.socket};
}

Result<Window> target_window(const Server& server, std::string target) {
    auto line = resolve(server, target, kWindowFormat, "window target not found: ");
    if (!line) return std::unexpected(line.error());
    auto fields = fields_of(*line, 3);
    if (!fields) return std::unexpected(fields.error());
    auto index = index_field(*fields, 1, "window_index");
    if (!index) return std::unexpected(index.error());
    return Window{std::string((*fields)[0]), *index, server.socket,
                  fields->size() > 2 ? std::string((*fields)[2]) : std::string()};
}

}  // namespace termloom::server_ops
