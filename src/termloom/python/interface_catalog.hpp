// Every class of the module with its interface table, in the order that the
// interface descriptions (records, stub, reference) list them.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>

#include "api_connection.hpp"
#include "api_driving.hpp"
#include "api_last_command.hpp"
#include "api_pane.hpp"
#include "api_pane_metadata.hpp"
#include "api_server.hpp"
#include "api_session.hpp"
#include "api_window.hpp"
#include "interface.hpp"

namespace termloom::py {

struct ClassInterface {
    std::string_view name;
    std::span<const Member> members;
    bool published = false;  // in the module's namespace
    bool constructible = false;
};

template <class T, const auto& Table>
consteval ClassInterface describe() {
    ClassInterface c{python_name<T>::value, Table, std::is_same_v<T, PublishedClass>, false};
    for (const Member& m : Table) c.constructible |= m.kind == MemberKind::Constructor;
    return c;
}

inline constexpr std::array kClasses = {
    describe<Server, kServerInterface>(),
    describe<Session, kSessionInterface>(),
    describe<SessionMetadata, kSessionMetadataInterface>(),
    describe<Window, kWindowInterface>(),
    describe<WindowMetadata, kWindowMetadataInterface>(),
    describe<Pane, kPaneInterface>(),
    describe<LastCommand, kLastCommandInterface>(),
    // The records of Pane's waits and runs.
    describe<Screen, kScreenInterface>(),
    describe<Cell, kCellInterface>(),
    describe<CommandResult, kCommandResultInterface>(),
    describe<Expectation, kExpectationInterface>(),
    describe<PaneMetadata, kPaneMetadataInterface>(),
    describe<Connection, kConnectionInterface>(),
};

}  // namespace termloom::py
