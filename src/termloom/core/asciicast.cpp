#include "asciicast.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <unistd.h>

#include "text.hpp"

namespace termloom {
namespace {

constexpr std::string_view kMarker = "\x1b]6973;";

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (byte < 0x20 || byte == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out += escaped;
            } else {
                out += c;
            }
        }
    }
    out += '"';
}

// How many bytes at the end of `text` start a UTF-8 character that is not complete.
std::size_t cut_character(std::string_view text) {
    const std::size_t n = text.size();
    for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
        const auto byte = static_cast<unsigned char>(text[n - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

}  // namespace

std::string asciicast_header(std::uint32_t width, std::uint32_t height, std::int64_t unix_time) {
    return "{\"version\": 2, \"width\": " + std::to_string(width) + ", \"height\": " +
           std::to_string(height) + ", \"timestamp\": " + std::to_string(unix_time) + "}\n";
}

AsciicastWriter::AsciicastWriter(int fd, std::chrono::steady_clock::time_point started)
    : fd_(fd), started_(started) {}

AsciicastWriter::~AsciicastWriter() {
    if (fd_ >= 0) ::close(fd_);
}

void AsciicastWriter::write(std::string_view bytes) {
    std::string data = std::move(held_);
    held_.clear();
    data.append(bytes);
    std::string kept;
    kept.reserve(data.size());
    std::size_t at = 0;
    while (at < data.size()) {
        const std::size_t marker = data.find(kMarker, at);
        if (marker == std::string::npos) {
            // The end may be the first bytes of a marker.
            std::size_t tail = 0;
            for (std::size_t len = std::min(kMarker.size() - 1, data.size() - at); len > 0; --len) {
                if (std::string_view(data).substr(data.size() - len) == kMarker.substr(0, len)) {
                    tail = len;
                    break;
                }
            }
            kept.append(data, at, data.size() - at - tail);
            held_.assign(data, data.size() - tail, tail);
            break;
        }
        kept.append(data, at, marker - at);
        const std::size_t end = data.find('\x07', marker + kMarker.size());
        if (end == std::string::npos) {
            held_.assign(data, marker);
            break;
        }
        at = end + 1;
    }
    const std::size_t cut = cut_character(kept);
    if (cut > 0) {
        held_.insert(0, kept, kept.size() - cut, cut);
        kept.erase(kept.size() - cut);
    }
    if (!kept.empty()) emit(kept);
}

void AsciicastWriter::finish() {
    if (!held_.empty() && !held_.starts_with(kMarker.substr(0, 1))) emit(held_);
    held_.clear();
    if (fd_ >= 0 && ::close(fd_) != 0 && error_.empty()) {
        error_ = std::string("cannot write the recording: ") + std::strerror(errno);
    }
    fd_ = -1;
}

void AsciicastWriter::emit(std::string_view bytes) {
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.6f", seconds);
    std::string line = "[";
    line += stamp;
    line += ", \"o\", ";
    append_json_string(line, decode_lossy(std::string(bytes)));
    line += "]\n";
    put(line);
}

void AsciicastWriter::put(const std::string& line) {
    if (fd_ < 0 || !error_.empty()) return;
    std::string_view rest = line;
    while (!rest.empty()) {
        const ssize_t wrote = ::write(fd_, rest.data(), rest.size());
        if (wrote < 0) {
            if (errno == EINTR) continue;
            error_ = std::string("cannot write the recording: ") + std::strerror(errno);
            return;
        }
        rest.remove_prefix(static_cast<std::size_t>(wrote));
        written_ += static_cast<std::uint64_t>(wrote);
    }
}

}  // namespace termloom
