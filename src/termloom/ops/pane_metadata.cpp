// PaneMetadata: one format prints a pane per line, its fields cut by tabs.
// The free-text fields (names, title, command, path) are printed escaped, so
// no tab or line feed inside them can be taken for a separator.
#include "pane_metadata.hpp"

#include <algorithm>
#include <array>
#include <iterator>

#include "../core/text.hpp"
#include "../core/tmux_command.hpp"
#include "run_tmux.hpp"

namespace termloom {
namespace {

struct Variable {
    std::string_view name;
    bool free_text = false;
};

// In this order on every line.
constexpr std::array<Variable, 21> kVariables = {{
    {"session_name", true}, {"window_index"}, {"window_name", true}, {"pane_index"},
    {"pane_id"}, {"pane_title", true}, {"pane_active"}, {"pane_width"}, {"pane_height"},
    {"cursor_x"}, {"cursor_y"}, {"pane_pid"}, {"pane_current_command", true},
    {"pane_current_path", true}, {"pane_dead"}, {"pane_dead_status"}, {"pane_in_mode"},
    {"history_size"}, {"pane_tty"}, {"session_id"}, {"window_id"},
}};

const std::string& listing_format() {
    static const std::string format = [] {
        std::string out;
        for (const Variable& v : kVariables) {
            if (!out.empty()) out += '\t';
            out += v.free_text ? escaped_format(v.name) : "#{" + std::string(v.name) + "}";
        }
        return out;
    }();
    return format;
}

// The fields of one line, read one after another in the order above. The
// first field that does not read is kept as the line's error; the readers
// give a placeholder after it.
class LineReader {
   public:
    explicit LineReader(std::string_view line) : fields_(split_fields(line, '\t')) {}

    bool complete() const { return fields_.size() == kVariables.size(); }
    const std::optional<Error>& error() const { return error_; }

    std::string text() {
        std::string_view field = next();
        auto restored = restored_text(field);
        if (!restored) return fail(field, "unknown escape"), std::string();
        return std::move(*restored);
    }
    std::string plain() { return std::string(next()); }
    bool flag() { return next() == "1"; }
    std::uint32_t number() {
        std::string_view field = next();
        auto parsed = parse_u32(field);
        if (!parsed) return fail(field, parsed.error()), 0;
        return *parsed;
    }
    // Empty when tmux knows no value.
    std::optional<std::uint32_t> optional_number() {
        if (fields_[at_].empty()) {
            ++at_;
            return std::nullopt;
        }
        return number();
    }

   private:
    std::string_view next() { return fields_[at_++]; }
    void fail(std::string_view field, std::string_view reason) {
        if (!error_) error_ = bad_field(kVariables[at_ - 1].name, field, reason).error();
    }

    std::vector<std::string_view> fields_;
    std::size_t at_ = 0;
    std::optional<Error> error_;
};

Result<PaneMetadata> from_line(std::string_view line, const SocketPath& socket) {
    LineReader read(line);
    if (!read.complete()) {
        return runtime_error("unexpected tmux pane metadata output: " + quote_text(line));
    }
    // Designated initializers run in order: the fields are read as listed.
    PaneMetadata record{
        .session_name = read.text(),
        .window_index = read.number(),
        .window_name = read.text(),
        .pane_index = read.number(),
        .pane_id = read.plain(),
        .title = read.text(),
        .active = read.flag(),
        .width = read.number(),
        .height = read.number(),
        .cursor_x = read.number(),
        .cursor_y = read.number(),
        .pid = read.optional_number(),
        .current_command = read.text(),
        .current_path = read.text(),
        .dead = read.flag(),
        .dead_status = read.optional_number(),
        .in_mode = read.flag(),
        .history_size = read.number(),
        .tty = read.plain(),
        .session_id = read.plain(),
        .window_id = read.plain(),
        .socket = socket,
    };
    if (read.error()) return std::unexpected(*read.error());
    if (!record.dead) record.dead_status.reset();
    return record;
}

// list-panes with `scope` (the flags and target), for the panes `filter` is
// true for (every pane when it is empty). A line that does not read fails the
// whole listing: a list without that pane would not describe what was asked for.
Result<std::vector<PaneMetadata>> listing(const SocketPath& socket, std::vector<Arg> scope,
                                          std::string_view filter = {}) {
    std::vector<PaneMetadata> found;
    std::string written;
    bool skip_empty = false;  // the filter in the format prints the others as empty lines
    scope.insert(scope.begin(), word("list-panes"));
    if (filter.empty()) {
        scope.insert(scope.end(), {word("-F"), word(listing_format())});
    } else {
        auto filters = lists_take_filter(socket);
        if (!filters) return std::unexpected(filters.error());
        skip_empty = !*filters;
        std::ranges::copy(filtered_listing(written, filter, listing_format(), *filters),
                          std::back_inserter(scope));
    }
    auto text = successful_stdout(tmux_argv(socket, scope));
    if (!text) return std::unexpected(text.error());
    if (!*text) return found;
    for (std::string_view line : split_lines(**text)) {
        if (skip_empty && line.empty()) continue;
        auto record = from_line(line, socket);
        if (!record) return std::unexpected(record.error());
        found.push_back(std::move(*record));
    }
    return found;
}

}  // namespace

Result<PaneMetadata> pane_ops::metadata(const Pane& pane) {
    auto output = output_of(display_query(pane.socket, pane.pane_id, listing_format()),
                            Capture::Both, kSpawnPrefix);
    if (!output) return std::unexpected(output.error());
    if (!succeeded(*output)) return tmux_failure("tmux failed: ", *output, Stderr::Trimmed);
    std::string text = decode_lossy(std::move(output->stdout_bytes));
    return from_line(without_line_end(text), pane.socket);
}

// The filter compares the session name (and window index) exactly; the
// scope only narrows where tmux looks.
Result<std::vector<PaneMetadata>> window_ops::pane_metadata(const Window& window) {
    if (!session_name_addressable(window.session_name)) return std::vector<PaneMetadata>();
    auto release = release_on_host(window.socket);
    if (!release) return std::unexpected(release.error());
    std::string target;
    const std::string filter = window_filter(window.session_name, window.index, *release);
    auto scope = listing_scope(target, window.session_name, window.index);
    return listing(window.socket, std::move(scope), filter);
}

Result<std::vector<PaneMetadata>> session_ops::pane_metadata(const Session& session) {
    if (!session_name_addressable(session.name)) return std::vector<PaneMetadata>();
    auto release = release_on_host(session.socket);
    if (!release) return std::unexpected(release.error());
    std::string target;
    const std::string filter = session_filter(session.name, *release);
    auto scope = listing_scope(target, session.name);
    // "-a" already lists every pane; a session target needs "-s" for all of its windows.
    if (scope.front().text != "-a") scope.insert(scope.begin(), word("-s"));
    return listing(session.socket, std::move(scope), filter);
}

Result<std::vector<PaneMetadata>> server_ops::pane_metadata(const Server& server) {
    return listing(server.socket, {word("-a")});
}

Pane pane_metadata_ops::pane(const PaneMetadata& r) {
    return Pane{r.session_name, r.window_index, r.pane_index, r.pane_id, r.title, r.socket};
}

std::string pane_metadata_ops::repr(const PaneMetadata& r) {
    auto number = [](std::uint32_t n) { return std::to_string(n); };
    return "PaneMetadata(session_name=" + quote_text(r.session_name) +
           ", window_index=" + number(r.window_index) +
           ", window_name=" + quote_text(r.window_name) + ", pane_index=" + number(r.pane_index) +
           ", pane_id=" + quote_text(r.pane_id) + ", title=" + quote_text(r.title) +
           ", active=" + display_flag(r.active) + ", width=" + number(r.width) +
           ", height=" + number(r.height) + ", cursor_x=" + number(r.cursor_x) +
           ", cursor_y=" + number(r.cursor_y) + ", pid=" + display_optional(r.pid) +
           ", current_command=" + quote_text(r.current_command) +
           ", current_path=" + quote_text(r.current_path) + ", dead=" + display_flag(r.dead) +
           ", dead_status=" + display_optional(r.dead_status) +
           ", in_mode=" + display_flag(r.in_mode) + ", history_size=" + number(r.history_size) +
           ", tty=" + quote_text(r.tty) + ", session_id=" + quote_text(r.session_id) +
           ", window_id=" + quote_text(r.window_id) + ")";
}

}  // namespace termloom
