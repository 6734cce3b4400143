// The Python interface of Screen, CommandResult and Expectation, the records
// of Pane's waits, runs and expects, as data.
#pragma once

#include "../ops/pane.hpp"
#include "interface.hpp"

namespace termloom::py {

inline constexpr std::array kScreenInterface = {
    field<&Screen::text>("text"),
    field<&Screen::cursor_x>("cursor_x"),
    field<&Screen::cursor_y>("cursor_y"),
    field<&Screen::width>("width"),
    field<&Screen::height>("height"),
    field<&Screen::alternate>("alternate"),
    field<&Screen::history_size>("history_size"),
    representation<&screen_ops::repr>(),
};

inline constexpr std::array kCommandResultInterface = {
    field<&CommandResult::command>("command"),
    field<&CommandResult::status>("status"),
    field<&CommandResult::output>("output"),
    representation<&command_result_ops::repr>(),
};

inline constexpr std::array kExpectationInterface = {
    field<&Expectation::before>("before"),
    field<&Expectation::text>("text"),
    field<&Expectation::groups>("groups"),
    representation<&expectation_ops::repr>(),
};

}  // namespace termloom::py
