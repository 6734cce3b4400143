#include "printable_text.hpp"

#include <cwchar>

#include <locale.h>

namespace termloom {
namespace {

// Never freed: it lives as long as the process.
locale_t utf8_locale() {
    static const locale_t locale = [] {
        locale_t found = ::newlocale(LC_CTYPE_MASK, "en_US.UTF-8", locale_t(0));
        if (found == locale_t(0)) found = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
        return found;
    }();
    return locale;
}

bool known_unprintable(wchar_t c) {
    return (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// The locale is switched for this thread alone, and back.
class ThreadLocale {
public:
    explicit ThreadLocale(locale_t locale)
        : previous_(locale == locale_t(0) ? locale_t(0) : ::uselocale(locale)) {}
    ThreadLocale(const ThreadLocale&) = delete;
    ThreadLocale& operator=(const ThreadLocale&) = delete;
    ~ThreadLocale() {
        if (previous_ != locale_t(0)) ::uselocale(previous_);
    }
    bool active() const { return previous_ != locale_t(0); }

private:
    locale_t previous_;
};

}  // namespace

CharacterWidths::CharacterWidths()
    : previous_(utf8_locale() == locale_t(0) ? nullptr : ::uselocale(utf8_locale())) {}

CharacterWidths::~CharacterWidths() {
    if (previous_) ::uselocale(static_cast<locale_t>(previous_));
}

int CharacterWidths::operator()(char32_t code_point) const {
    if (code_point >= 0x20 && code_point < 0x7F) return 1;
    if (!previous_) return -1;
    return ::wcwidth(static_cast<wchar_t>(code_point));
}

std::optional<std::string> first_unprintable(std::string_view text) {
    const ThreadLocale utf8(utf8_locale());
    std::mbstate_t state{};
    for (std::size_t at = 0; at < text.size();) {
        const unsigned char byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (byte < 0x20 || byte == 0x7F) return std::string(1, text[at]);
            ++at;
            continue;
        }
        wchar_t c = 0;
        std::size_t length = 1;
        bool refused = true;
        if (utf8.active()) {
            length = std::mbrtowc(&c, text.data() + at, text.size() - at, &state);
            if (length == static_cast<std::size_t>(-1) || length == static_cast<std::size_t>(-2)) {
                return std::string(text.substr(at, 1));  // not UTF-8 (never from Python text)
            }
            refused = ::wcwidth(c) < 0;
        } else {
            // Decode the one sequence by hand: the lead byte tells its length.
            length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : 2;
            if (length > text.size() - at) return std::string(text.substr(at));
            c = static_cast<wchar_t>(byte & (0x7F >> length));
            for (std::size_t i = 1; i < length; ++i) {
                c = static_cast<wchar_t>((c << 6) | (text[at + i] & 0x3F));
            }
            refused = known_unprintable(c);
        }
        if (refused || known_unprintable(c)) return std::string(text.substr(at, length));
        at += length;
    }
    return std::nullopt;
}

}  // namespace termloom
