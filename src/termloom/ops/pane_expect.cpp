// What a pane's programs wrote after a mark, read from its output stream as
// plain text: `expect`, and `wait_for` after a Screen.
#include <map>
#include <mutex>

#include "../core/output_streams.hpp"
#include "../core/terminal_text.hpp"
#include "../core/text.hpp"
#include "../core/turns.hpp"
#include "pane.hpp"
#include "pane_stream.hpp"
#include "pane_view.hpp"

namespace termloom::pane_ops {
namespace {

// The plain text of a stream from a position on, read as it grows.
struct StreamText {
    streams::StreamId stream = 0;
    std::uint64_t read_to = 0;
    PlainText reader;
    std::string text;
    std::uint64_t whole_to = 0;  // up to here no byte is missing
};

// Why the text may lack bytes (see streams::add_source).
constexpr std::string_view kDropped =
    "'s output stream lacks some of what the pane wrote: tmux dropped what it held for the "
    "pane's pipe when a mark reopened it while the pane printed";

// Whether bytes are missing from what `feed` read since it was last asked.
Result<bool> lacks_bytes(StreamText& feed) {
    auto lost = streams::lost_between(feed.stream, feed.whole_to, feed.read_to);
    if (!lost) return lost;
    feed.whole_to = feed.read_to;
    return lost;
}

// Waits until `pattern` finds something in `feed.text`; none at the
// deadline. The pane's end, or the stream's, is an error once what came
// before it has been looked at.
Result<std::optional<TextMatch>> wait_for_text(const Pane& pane, StreamText& feed,
                                               const TextMatcher& pattern,
                                               std::optional<WaitClock::time_point> deadline) {
    auto first = live_view(pane, {});
    if (!first) return std::unexpected(first.error());
    const pid_t pid = first->pid;
    ProcessEnd exit(pane, pid);
    streams::Watch watch(feed.stream);
    std::optional<TextMatch> found;
    bool fresh = true;
    auto look = [&]() -> Result<Look> {
        watch.clear();
        std::string bytes;
        auto span = streams::read(feed.stream, feed.read_to, &bytes);
        if (!span.known) return runtime_error("pane " + pane.pane_id + "'s output stream is gone");
        if (span.begin > feed.read_to) {
            return runtime_error("pane " + pane.pane_id + " wrote more than termloom keeps (" +
                                 std::to_string(span.begin - feed.read_to) +
                                 " bytes were dropped before they were read)");
        }
        feed.read_to = span.end;
        const std::size_t before = feed.text.size();
        feed.reader.feed(bytes, feed.text);
        if (span.ended) feed.reader.finish(feed.text);
        if (fresh || feed.text.size() != before) {
            fresh = false;
            auto matched = pattern.find(feed.text);
            if (!matched) return std::unexpected(matched.error());
            if (*matched) {
                auto lacking = lacks_bytes(feed);
                if (!lacking) return std::unexpected(lacking.error());
                if (*lacking) {
                    return runtime_error("pane " + pane.pane_id + std::string(kDropped) +
                                         ", so what matched may not be what it wrote");
                }
                found = std::move(*matched);
                return Look{Progress::Done, {}};
            }
        }
        if (span.ended || exit.maybe_ended()) {
            if (span.ended) {
                if (auto failed = streams::failure(feed.stream); !failed.empty()) {
                    return runtime_error("pane " + pane.pane_id + "'s output stream ended: " + failed);
                }
            }
            auto view = live_view(pane, {});
            if (!view) return std::unexpected(view.error());
            if (span.ended) {
                return runtime_error("pane " + pane.pane_id +
                                     "'s output stream ended: its pipe-pane was closed");
            }
        }
        return Look{feed.text.size() != before ? Progress::Changed : Progress::Unchanged, {}};
    };
    auto done = wait_until(deadline, WakeSources{{}, exit.watched(), {watch.fd()}}, look);
    if (!done) return std::unexpected(done.error());
    if (!found) {
        // A match may have been in what tmux dropped.
        auto lacking = lacks_bytes(feed);
        if (!lacking) return std::unexpected(lacking.error());
        if (*lacking) {
            return runtime_error("no match for " + pattern.description + ", and pane " + pane.pane_id +
                                 std::string(kDropped));
        }
    }
    return found;
}

// The position where the text of an `expect` starts on each pane: after the
// previous match, kept between calls.
std::mutex expect_mutex;
std::map<std::string, StreamText>& expect_texts() {
    static auto* texts = new std::map<std::string, StreamText>();  // lives as long as the process
    return *texts;
}

}  // namespace

Result<Screen> wait_in_stream(const Pane& pane, const TextMatcher& pattern,
                              std::optional<Seconds> timeout, const StreamMark& mark) {
    const auto deadline = deadline_after(timeout);
    auto position = mark_position(mark, deadline);
    if (!position) return std::unexpected(position.error());
    StreamText feed{mark.stream, *position, {}, {}, *position};
    auto found = [&] {
        streams::Pin pin(mark.stream, *position);
        return wait_for_text(pane, feed, pattern, deadline);
    }();  // unpinned again, so that the screen below can mark the next wait
    if (!found) return std::unexpected(found.error());
    if (!*found) {
        return timeout_error("no match for " + pattern.description + " within " +
                             seconds_phrase(timeout) +
                             last_screen_lines(feed.text, "output since the mark",
                                               "nothing was written since the mark"));
    }
    auto seen = marked_view(pane, {});
    if (!seen) return std::unexpected(seen.error());
    if (!seen->view.gone.empty()) return runtime_error("pane " + pane.pane_id + " is gone: " + seen->view.gone);
    Screen screen = std::move(seen->view.screen);
    screen.mark = seen->mark;
    return screen;
}

Result<Expectation> expect(const Pane& pane, const TextMatcher& pattern,
                           std::optional<Seconds> timeout, std::optional<OutputMark> after) {
    const auto deadline = deadline_after(timeout);
    if (after && !after->screen) return value_error("expect: after must be a Screen, not a line number");
    if (after && !after->screen->mark) {
        return runtime_error("expect: the Screen holds no place in pane " + pane.pane_id +
                             "'s output stream (it was taken while the pane printed or a run "
                             "or wait read that stream, or its output is piped elsewhere)");
    }
    const std::string key = stream_key(pane);
    auto taken = take_turn(key + "\nexpect", deadline);
    if (!taken) return std::unexpected(taken.error());
    if (!*taken) return timeout_error("expect on pane " + pane.pane_id + " did not start in time");

    StreamText feed;
    if (after) {
        auto position = mark_position(*after->screen->mark, deadline);
        if (!position) return std::unexpected(position.error());
        feed.stream = after->screen->mark->stream;
        feed.read_to = *position;
        feed.whole_to = *position;
    } else {
        auto stream = pane_stream(pane, "expect failed: ");
        if (!stream) return std::unexpected(stream.error());
        std::lock_guard lock(expect_mutex);
        auto kept = expect_texts().find(key);
        if (kept != expect_texts().end() && kept->second.stream == *stream) {
            feed = std::move(kept->second);
        } else {
            feed.stream = *stream;
            feed.read_to = streams::span(*stream).begin;
            feed.whole_to = feed.read_to;
        }
        if (kept != expect_texts().end()) expect_texts().erase(kept);
    }
    streams::Pin pin(feed.stream, feed.read_to);
    auto found = wait_for_text(pane, feed, pattern, deadline);
    Expectation result;
    if (found && *found) {
        const TextMatch& match = **found;
        result.before = feed.text.substr(0, match.start);
        result.text = feed.text.substr(match.start, match.end - match.start);
        result.groups = match.groups;
        feed.text.erase(0, match.end);
    }
    const std::string seen_text = feed.text;
    {
        std::lock_guard lock(expect_mutex);
        expect_texts().insert_or_assign(key, std::move(feed));
    }
    if (!found) return std::unexpected(found.error());
    if (!*found) {
        return timeout_error("no match for " + pattern.description + " within " +
                             seconds_phrase(timeout) +
                             last_screen_lines(seen_text,
                                               after ? "output since the mark"
                                                     : "output since the previous expect",
                                               after ? "nothing was written since the mark"
                                                     : "nothing was written since the previous expect"));
    }
    return result;
}

}  // namespace termloom::pane_ops

namespace termloom::expectation_ops {

std::string repr(const Expectation& e) {
    std::string groups;
    for (const auto& group : e.groups) {
        if (!groups.empty()) groups += ", ";
        groups += group ? quote_text(*group) : std::string("None");
    }
    return "Expectation(before=" + quote_text(e.before) + ", text=" + quote_text(e.text) +
           ", groups=[" + groups + "])";
}

}  // namespace termloom::expectation_ops
