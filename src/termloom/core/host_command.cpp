#include "host_command.hpp"

#include "connections.hpp"

namespace termloom {

std::expected<bool, RunError> run_status_on_host(const HostCommand& command) {
    if (auto ran = connections::try_run(command, Capture::Neither, {})) {
        if (!*ran) return std::unexpected(ran->error());
        return succeeded(**ran);
    }
    return run_status(command.argv);
}

std::expected<CommandOutput, RunError> run_output_on_host(const HostCommand& command,
                                                          Capture capture,
                                                          std::string_view input) {
    if (auto ran = connections::try_run(command, capture, input)) return std::move(*ran);
    return run_output(command.argv, capture, input);
}

std::expected<BackgroundChild, RunError> start_on_host(const HostCommand& command,
                                                       bool with_input) {
    return BackgroundChild::start(command.argv, with_input);
}

}  // namespace termloom
