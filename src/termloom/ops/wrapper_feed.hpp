// The wrapper of a run (run_script.hpp), written into its FIFO once the
// shell opens it: each advance tries, without blocking. On a remote host a
// writer there does (`cat` into the FIFO, the wrapper on its standard
// input), which blocks until the shell opens it; the wrapper is fed once
// that writer has ended.
//
// A run that ends before the shell has opened the FIFO (its time ran out,
// or it was interrupted) leaves its command going on: the shell will open
// the FIFO, and must find the wrapper there. Such a feed is handed to one
// thread of this process that goes on feeding it, for at most a minute;
// then whoever waits to open the FIFO is let go, and the FIFO removed.
#pragma once

#include <optional>
#include <string>

#include "../core/error.hpp"
#include "../core/host_command.hpp"
#include "handles.hpp"

namespace termloom::pane_ops {

class WrapperFeed {
public:
    WrapperFeed(std::string path, std::string text) : path_(std::move(path)), text_(std::move(text)) {}
    WrapperFeed(WrapperFeed&& other) noexcept;
    WrapperFeed& operator=(WrapperFeed&&) = delete;
    WrapperFeed(const WrapperFeed&) = delete;
    WrapperFeed& operator=(const WrapperFeed&) = delete;
    ~WrapperFeed();

    bool fed() const { return done_; }
    const std::string& path() const { return path_; }
    bool remote() const { return writer_.has_value(); }
    Result<void> start_remote(const Pane& pane);
    Result<void> advance();
    // Hands over a feed not yet fed to the background; the socket is the
    // pane's, where the FIFO is.
    static void finish_later(WrapperFeed feed, SocketPath socket);

private:
    Result<void> advance_remote();

    std::string path_;
    std::string text_;
    int fd_ = -1;
    std::size_t written_ = 0;
    bool done_ = false;
    std::optional<HostChild> writer_;
};

}  // namespace termloom::pane_ops
