// Text computed during compilation and kept in static storage.
//
// A writer is a constexpr function that sends its text to a TextOut. It runs
// twice: once with no storage, to measure, then into an array of that size.
// GCC 12 cannot keep a std::string made during constant evaluation, hence
// the two passes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace termloom::py {

class TextOut {
public:
    constexpr TextOut() = default;
    constexpr explicit TextOut(char* storage) : storage_(storage) {}

    constexpr TextOut& operator<<(char c) {
        if (storage_) storage_[size_] = c;
        ++size_;
        return *this;
    }
    constexpr TextOut& operator<<(std::string_view text) {
        for (char c : text) *this << c;
        return *this;
    }
    constexpr std::size_t size() const { return size_; }

private:
    char* storage_ = nullptr;
    std::size_t size_ = 0;
};

template <auto Write, class... Args>
constexpr std::size_t measured_size(const Args&... args) {
    TextOut counter;
    Write(counter, args...);
    return counter.size();
}

// The text of Write() as a char array; with `terminated`, a NUL follows it.
template <auto Write, bool Terminated = false>
inline constexpr auto kStaticText = [] {
    std::array<char, measured_size<Write>() + (Terminated ? 1 : 0)> chars{};
    TextOut out(chars.data());
    Write(out);
    return chars;
}();

template <auto Write>
inline constexpr std::string_view kStaticTextView{kStaticText<Write>.data(),
                                                  kStaticText<Write>.size()};

// Parts joined into one text with static storage.
template <const std::string_view&... Parts>
struct Joined {
    static constexpr void write(TextOut& out) { (out << ... << Parts); }
    static constexpr std::string_view value = kStaticTextView<&write>;
};

constexpr void put_decimal(TextOut& out, std::uint64_t number) {
    char digits[20]{};
    std::size_t count = 0;
    do {
        digits[count++] = static_cast<char>('0' + number % 10);
        number /= 10;
    } while (number != 0);
    while (count > 0) out << digits[--count];
}

// A JSON string literal for `text` (UTF-8 passes through unchanged).
constexpr void put_json_string(TextOut& out, std::string_view text) {
    constexpr std::string_view hex = "0123456789abcdef";
    out << '"';
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out << '\\' << c;
        } else if (byte < 0x20) {
            out << "\\u00" << hex[byte >> 4] << hex[byte & 0xf];
        } else {
            out << c;
        }
    }
    out << '"';
}

// FNV-1a, 64 bits: stable numbers derived from names.
class Fnv1a {
public:
    constexpr Fnv1a& operator<<(std::string_view text) {
        for (char c : text) {
            hash_ ^= static_cast<unsigned char>(c);
            hash_ *= 0x100000001b3ULL;
        }
        return *this;
    }
    constexpr std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 0xcbf29ce484222325ULL;
};

}  // namespace termloom::py
