// The Python interface of Screen, Cell, CommandResult and Expectation, the
// records of Pane's screens, waits, runs and expects, as data.
#pragma once

#include "../ops/pane.hpp"
#include "../ops/styled_screen.hpp"
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
    computed<&screen_ops::cells>(
        "cells",
        "The cells of a screen taken with styles=True: a list of rows, each a\n"
        "list of one Cell per column; None otherwise. Built on each read."),
    method<&screen_ops::svg>(
        "svg",
        "A picture of the screen as an SVG 1.1 document: the same screen\n"
        "gives the same text.\n\nArgs:\n"
        "    title: a title drawn above the screen, or None\n\n"
        "Returns:\n    str\n\nRaises:\n"
        "    RuntimeError for a screen taken without styles=True; ValueError\n"
        "    for a title with control characters",
        arg("title", "None"))
        .raising(Exception::ValueError),
    representation<&screen_ops::repr>(),
};

// One cell of Screen.cells.
inline constexpr std::array kCellInterface = {
    field<&Cell::character>("char"),
    field<&Cell::width>("width"),
    field<&Cell::fg>("fg"),
    field<&Cell::bg>("bg"),
    field<&Cell::underline>("underline"),
    field<&Cell::underline_colour>("underline_colour"),
    field<&Cell::bold>("bold"),
    field<&Cell::dim>("dim"),
    field<&Cell::italic>("italic"),
    field<&Cell::blink>("blink"),
    field<&Cell::reverse>("reverse"),
    field<&Cell::hidden>("hidden"),
    field<&Cell::strike>("strike"),
    field<&Cell::overline>("overline"),
    representation<&cell_ops::repr>(),
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
