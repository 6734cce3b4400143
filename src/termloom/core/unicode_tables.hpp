// Code point classes needed by the quoted form, generated from the Unicode
// Character Database by tools/gen_unicode_tables.py.
#pragma once

#include <cstdint>

namespace termloom::unicode {

// True for characters with Grapheme_Extend, or of general category Cc, Cf,
// Cs, Co, Cn, Zl, Zp or Zs, except U+0020 SPACE.
bool needs_escape(char32_t code_point);

// The Unicode version the tables were generated from, e.g. "15.0.0".
extern const char* const kVersion;

}  // namespace termloom::unicode
