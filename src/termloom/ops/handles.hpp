// The values behind the Python objects: handles that name a tmux object and
// snapshot records. Each owns its texts and refers to nothing else.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace termloom {

// Every handle carries the socket path of its server; absent means tmux's
// default server, and an empty text still counts as present.
using SocketPath = std::optional<std::string>;

struct Server {
    SocketPath socket;
};

struct Session {
    std::string name;
    SocketPath socket;
};

struct SessionMetadata {
    std::string id;
    std::string name;
    std::uint64_t created = 0;
    bool attached = false;
    std::optional<std::uint32_t> width;
    std::optional<std::uint32_t> height;
    std::uint32_t windows = 0;
};

}  // namespace termloom
