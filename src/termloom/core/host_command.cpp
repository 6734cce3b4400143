#include "host_command.hpp"

namespace termloom {

std::expected<bool, RunError> run_status_on_host(const HostCommand& command) {
    return run_status(command.argv);
}

std::expected<CommandOutput, RunError> run_output_on_host(const HostCommand& command,
                                                          Capture capture,
                                                          std::string_view input) {
    return run_output(command.argv, capture, input);
}

std::expected<BackgroundChild, RunError> start_on_host(const HostCommand& command) {
    return BackgroundChild::start(command.argv);
}

}  // namespace termloom
