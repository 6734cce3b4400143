// Writing a terminal recording as asciicast v2: a header line, then one
// JSON array [seconds, "o", text] per piece of output, as asciinema plays it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace termloom {

// The header line for a terminal of `width` by `height` started at `unix_time`.
std::string asciicast_header(std::uint32_t width, std::uint32_t height, std::int64_t unix_time);

// The events of one recording, to a descriptor it owns. Output cut inside
// a UTF-8 character or inside one of the stream's markers (which are left
// out) is completed by the next piece; bytes that are not UTF-8 become
// U+FFFD. Every event is one write, so a file cut short ends with whole
// lines. The first error sticks and stops the writing.
class AsciicastWriter {
public:
    AsciicastWriter(int fd, std::chrono::steady_clock::time_point started);
    AsciicastWriter(const AsciicastWriter&) = delete;
    AsciicastWriter& operator=(const AsciicastWriter&) = delete;
    ~AsciicastWriter();

    void write(std::string_view bytes);
    // Writes what is still held and closes the file.
    void finish();

    const std::string& error() const { return error_; }
    std::uint64_t written() const { return written_; }

private:
    void emit(std::string_view text);
    void put(const std::string& line);

    int fd_;
    std::chrono::steady_clock::time_point started_;
    std::string held_;  // the start of a character or a marker, awaiting the rest
    std::string error_;
    std::uint64_t written_ = 0;
};

}  // namespace termloom
