// Recordings of streams: the bytes a recording wants go to its asciicast
// file as they are read, up to where it is held or ends.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <unistd.h>

#include "stream_hub.hpp"

namespace termloom::streams {

void finish_recording(Stream& stream) {
    Recording& rec = *stream.recording;
    if (rec.finished) return;
    rec.held_from.reset();
    if (!rec.until_position && rec.from_position) {
        rec.until_position = stream.end();  // everything that came goes in
        record(stream);
        if (rec.finished) return;
    }
    rec.writer->finish();
    rec.error = rec.writer->error();
    rec.bytes = rec.writer->written();
    rec.stream_ended = stream.ended;
    rec.finished = true;
    rec.writer.reset();
}

// Writes to the recording the bytes it wants that are not in the file yet:
// from its start to its end, or to where it is held.
void record(Stream& stream) {
    if (!stream.recording || stream.recording->finished) return;
    Recording& rec = *stream.recording;
    if (!rec.from_position) return;
    rec.written_to = std::max({rec.written_to, *rec.from_position, stream.base});
    std::uint64_t end = stream.end();
    if (rec.until_position) end = std::min(end, *rec.until_position);
    if (rec.held_from) end = std::min(end, *rec.held_from);
    if (rec.written_to < end) {
        rec.writer->write(std::string_view(stream.data).substr(
            static_cast<std::size_t>(rec.written_to - stream.base),
            static_cast<std::size_t>(end - rec.written_to)));
        rec.written_to = end;
    }
    if (rec.until_position && rec.written_to >= *rec.until_position) finish_recording(stream);
}

std::expected<void, RecordingRefused> start_recording(StreamId id, std::uint32_t from, int fd,
                                                     std::string path, std::string_view header,
                                                     std::optional<std::uint64_t> from_position) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    auto refuse = [&](std::string already, std::string why) {
        ::close(fd);
        return std::unexpected(RecordingRefused{std::move(already), std::move(why)});
    };
    if (!stream || stream->ended) return refuse({}, "the pane's output stream has ended");
    for (const auto& [other_id, other] : hub->streams) {
        if (other->key == stream->key && other->recording) return refuse(other->recording->path, {});
    }
    if (::ftruncate(fd, 0) != 0 && errno != EINVAL) return refuse({}, std::strerror(errno));
    for (std::string_view rest = header; !rest.empty();) {
        const ssize_t wrote = ::write(fd, rest.data(), rest.size());
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return refuse({}, std::strerror(errno));
        rest.remove_prefix(static_cast<std::size_t>(wrote));
    }
    Recording rec;
    rec.path = std::move(path);
    rec.from = from;
    rec.writer = std::make_unique<AsciicastWriter>(fd, std::chrono::steady_clock::now());
    if (from_position) {
        rec.from = UINT32_MAX;  // no source's start
        rec.from_position = std::max(*from_position, stream->base);
    } else if (auto start = stream->starts.find(from); start != stream->starts.end()) {
        rec.from_position = start->second;
    }
    stream->recording = std::move(rec);
    // What came since the start of `from` and is kept goes in at once.
    record(*stream);
    return {};
}

void hold_recording(StreamId id, std::uint64_t position) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream || !stream->recording || stream->recording->finished) return;
    Recording& rec = *stream->recording;
    if (!rec.held_from) rec.held_from = std::max(position, rec.written_to);
}

void release_recording(StreamId id, std::optional<Replacement> replacement) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream || !stream->recording || stream->recording->finished) return;
    Recording& rec = *stream->recording;
    if (!rec.held_from) return;
    if (replacement && replacement->begin >= *rec.held_from && replacement->end >= replacement->begin &&
        replacement->end <= stream->end()) {
        rec.held_from = replacement->begin;
        record(*stream);
        if (rec.finished) return;
        rec.writer->write(replacement->text);
        rec.written_to = std::max(rec.written_to, replacement->end);
    }
    rec.held_from.reset();
    record(*stream);
}

std::optional<RecordingOf> recording_of(const std::string& key) {
    std::lock_guard lock(hub->mutex);
    for (const auto& [id, stream] : hub->streams) {
        if (stream->key == key && stream->recording) return RecordingOf{id, stream->recording->path};
    }
    return std::nullopt;
}

Result<Finished> stop_recording(StreamId id, std::optional<std::uint64_t> until) {
    std::lock_guard lock(hub->mutex);
    Stream* stream = find_stream(id);
    if (!stream || !stream->recording) return runtime_error("the pane is not recording");
    Recording& rec = *stream->recording;
    if (!rec.finished) {
        // The bytes before `until` have come: they are written at once.
        if (until && !stream->ended) {
            rec.until_position = std::max(*until, rec.written_to);
            rec.held_from.reset();
            record(*stream);
        }
        finish_recording(*stream);
    }
    Recording done = std::move(*stream->recording);
    stream->recording.reset();
    return Finished{done.stream_ended, std::move(done.error), done.bytes};
}

}  // namespace termloom::streams
