// Turns: callers that name the same key run one at a time, in this process.
// Waiting for a turn ends at the deadline or when the host asks to stop.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "error.hpp"
#include "wait.hpp"

namespace termloom {

struct TurnEntry;

// Held while the turn lasts; the next waiter goes on when it is destroyed.
class Turn {
public:
    explicit Turn(std::shared_ptr<TurnEntry> entry) : entry_(std::move(entry)) {}
    Turn(Turn&&) = default;
    Turn& operator=(Turn&&) = delete;
    ~Turn();

    // Data kept with the key between turns, e.g. what the last turn learned.
    std::string& memo();

private:
    std::shared_ptr<TurnEntry> entry_;
};

// The turn of `key`, or none at the deadline.
Result<std::optional<Turn>> take_turn(const std::string& key,
                                      std::optional<WaitClock::time_point> deadline);

}  // namespace termloom
