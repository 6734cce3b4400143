// Errors as values: every operation returns either its result or an Error
// naming the kind of exception the caller should see and its message.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace termloom {

enum class ErrorKind {
    Runtime,      // tmux (or ps) failed, could not start, or printed something unusable
    Value,        // the caller's value was refused by tmux (window rename)
    Interrupted,  // the host asked to abandon a run; its own error is already pending
    Timeout,      // a wait reached its time limit
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> runtime_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Runtime, std::move(message)});
}

inline std::unexpected<Error> value_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Value, std::move(message)});
}

inline std::unexpected<Error> timeout_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Timeout, std::move(message)});
}

inline std::unexpected<Error> interrupted() {
    return std::unexpected(Error{ErrorKind::Interrupted, {}});
}

}  // namespace termloom
