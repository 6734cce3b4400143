// Reading a terminal byte stream into characters, control characters and
// escape sequences, as a VT-style terminal parses it. A sequence or a UTF-8
// character cut between two pieces is completed by the next one.
//
// The handler is called for each item:
//   print(std::string_view utf8, char32_t code_point)  a character
//   control(char c)                                    C0 control, DEL excluded
//   csi(char final, std::string_view params, char leader, bool intermediate)
//                                                      ESC [ ... final
//   escape(char final, char intermediate)              ESC [intermediate] final
// Strings (OSC, DCS, SOS, PM, APC) are read and dropped.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace termloom {

class EscapeReader {
public:
    template <class Handler>
    void feed(std::string_view bytes, Handler& handler);

    // The end of the stream: a cut UTF-8 character is printed as U+FFFD.
    template <class Handler>
    void finish(Handler& handler) {
        if (pending_ > 0) replacement(handler);
    }

private:
    enum class State : std::uint8_t { Ground, Escape, Intermediate, Csi, String, StringEscape };

    // CSI parameters longer than this are not ours to keep: the sequence is
    // read to its end and dropped.
    static constexpr std::size_t kMaxParams = 64;

    template <class Handler>
    void replacement(Handler& handler) {
        pending_ = 0;
        handler.print("\xEF\xBF\xBD", U'\uFFFD');
    }

    template <class Handler>
    void byte_in_ground(unsigned char byte, Handler& handler);

    State state_ = State::Ground;
    bool osc_ = false;           // the string ends at BEL too
    char intermediate_ = 0;
    char leader_ = 0;
    bool csi_intermediate_ = false;
    bool params_overflow_ = false;
    std::string params_;
    // A UTF-8 character being read: its bytes, how many more it needs.
    char utf8_[4] = {};
    std::uint8_t have_ = 0;
    std::uint8_t pending_ = 0;
    char32_t code_point_ = 0;
    char32_t minimum_ = 0;
};

template <class Handler>
void EscapeReader::byte_in_ground(unsigned char byte, Handler& handler) {
    if (pending_ > 0) {
        if ((byte & 0xC0) == 0x80) {
            utf8_[have_++] = static_cast<char>(byte);
            code_point_ = (code_point_ << 6) | (byte & 0x3F);
            if (--pending_ == 0) {
                const bool valid = code_point_ >= minimum_ && code_point_ <= 0x10FFFF &&
                                   !(code_point_ >= 0xD800 && code_point_ <= 0xDFFF);
                if (valid) {
                    handler.print(std::string_view(utf8_, have_), code_point_);
                } else {
                    handler.print("\xEF\xBF\xBD", U'\uFFFD');
                }
            }
            return;
        }
        replacement(handler);  // cut short; the byte starts something new
    }
    if (byte == 0x1B) {
        state_ = State::Escape;
        intermediate_ = 0;
        return;
    }
    if (byte < 0x20) {
        handler.control(static_cast<char>(byte));
        return;
    }
    if (byte == 0x7F) return;
    if (byte < 0x80) {
        const char c = static_cast<char>(byte);
        handler.print(std::string_view(&c, 1), byte);
        return;
    }
    utf8_[0] = static_cast<char>(byte);
    have_ = 1;
    if (byte >= 0xC2 && byte <= 0xDF) {
        pending_ = 1, code_point_ = byte & 0x1F, minimum_ = 0x80;
    } else if (byte >= 0xE0 && byte <= 0xEF) {
        pending_ = 2, code_point_ = byte & 0x0F, minimum_ = 0x800;
    } else if (byte >= 0xF0 && byte <= 0xF4) {
        pending_ = 3, code_point_ = byte & 0x07, minimum_ = 0x10000;
    } else {
        handler.print("\xEF\xBF\xBD", U'\uFFFD');
    }
}

template <class Handler>
void EscapeReader::feed(std::string_view bytes, Handler& handler) {
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        // CAN and SUB end any sequence; ESC starts a new one anywhere but in a string.
        if ((byte == 0x18 || byte == 0x1A) && state_ != State::Ground) {
            state_ = State::Ground;
            continue;
        }
        switch (state_) {
        case State::Ground:
            byte_in_ground(byte, handler);
            break;
        case State::Escape:
        case State::Intermediate:
            if (byte == 0x1B) {
                state_ = State::Escape;
                intermediate_ = 0;
            } else if (byte < 0x20) {
                handler.control(c);  // executed in the middle of a sequence
            } else if (byte < 0x30) {
                intermediate_ = c;
                state_ = State::Intermediate;
            } else if (state_ == State::Escape && byte == '[') {
                state_ = State::Csi;
                params_.clear();
                leader_ = 0;
                csi_intermediate_ = false;
                params_overflow_ = false;
            } else if (state_ == State::Escape && (byte == ']' || byte == 'P' || byte == 'X' ||
                                                   byte == '^' || byte == '_')) {
                state_ = State::String;
                osc_ = byte == ']';
            } else if (byte < 0x7F) {
                state_ = State::Ground;
                handler.escape(c, intermediate_);
            } else {
                state_ = State::Ground;
            }
            break;
        case State::Csi:
            if (byte == 0x1B) {
                state_ = State::Escape;
                intermediate_ = 0;
            } else if (byte < 0x20) {
                handler.control(c);
            } else if (byte < 0x30) {
                csi_intermediate_ = true;
            } else if (byte < 0x40) {
                if (params_.empty() && leader_ == 0 && (c == '?' || c == '>' || c == '<' || c == '=')) {
                    leader_ = c;
                } else if (params_.size() < kMaxParams) {
                    params_.push_back(c);
                } else {
                    params_overflow_ = true;
                }
            } else if (byte < 0x7F) {
                state_ = State::Ground;
                if (!params_overflow_) handler.csi(c, params_, leader_, csi_intermediate_);
            } else if (byte != 0x7F) {
                state_ = State::Ground;  // not a sequence a terminal would finish
            }
            break;
        case State::String:
            if (byte == 0x1B) {
                state_ = State::StringEscape;
            } else if (byte == 0x07 && osc_) {
                state_ = State::Ground;
            }
            break;
        case State::StringEscape:
            if (byte == '\\') {
                state_ = State::Ground;
            } else {
                // The string ended without its terminator: this byte follows an ESC.
                state_ = State::Escape;
                intermediate_ = 0;
                std::string_view rest(&c, 1);
                feed(rest, handler);
            }
            break;
        }
    }
}

// The numbers of CSI parameters ("1;2", empty ones 0); sub-parameters after
// ":" belong to the number before them and are skipped.
struct CsiParams {
    explicit CsiParams(std::string_view text) : text_(text) {}
    // The `index`-th number, or `fallback` when it is absent or 0.
    unsigned at(std::size_t index, unsigned fallback) const {
        std::size_t field = 0;
        unsigned value = 0;
        bool digits = false, skipping = false;
        for (std::size_t i = 0; i <= text_.size(); ++i) {
            const char c = i < text_.size() ? text_[i] : ';';
            if (c == ';') {
                if (field == index) return digits && value != 0 ? value : fallback;
                ++field, value = 0, digits = false, skipping = false;
            } else if (c == ':') {
                skipping = true;
            } else if (!skipping && c >= '0' && c <= '9') {
                value = value > 100000 ? value : value * 10 + static_cast<unsigned>(c - '0');
                digits = true;
            }
        }
        return fallback;
    }
    bool has(unsigned wanted) const {
        for (std::size_t i = 0; i < 16; ++i) {
            if (at(i, 0) == wanted) return true;
        }
        return false;
    }

private:
    std::string_view text_;
};

}  // namespace termloom
