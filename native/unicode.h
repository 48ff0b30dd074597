// Unicode character data and the few algorithms built on it: UTF-8 decoding, character
// properties, and the full default lowercase mapping with the Final_Sigma rule.
// The tables come from tools/gen_unicode.py.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "unicode_tables.h"

namespace mn::unicode {

inline constexpr char32_t kReplacement = 0xFFFD;

// Decodes the scalar value starting at text[pos] and advances pos past it. Input from
// Python strings is always valid UTF-8; malformed bytes decode as U+FFFD, one byte each.
inline char32_t decode_utf8(std::string_view text, size_t& pos) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  unsigned char b0 = s[pos];
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  auto cont = [&](size_t i) { return i < n && (s[i] & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 < 0xE0 && cont(pos + 1)) {
    char32_t cp = (char32_t(b0 & 0x1F) << 6) | (s[pos + 1] & 0x3F);
    pos += 2;
    return cp;
  }
  if (b0 >= 0xE0 && b0 < 0xF0 && cont(pos + 1) && cont(pos + 2)) {
    char32_t cp = (char32_t(b0 & 0x0F) << 12) | (char32_t(s[pos + 1] & 0x3F) << 6) | (s[pos + 2] & 0x3F);
    if (cp >= 0x800 && (cp < 0xD800 || cp > 0xDFFF)) {
      pos += 3;
      return cp;
    }
  }
  if (b0 >= 0xF0 && b0 < 0xF5 && cont(pos + 1) && cont(pos + 2) && cont(pos + 3)) {
    char32_t cp = (char32_t(b0 & 0x07) << 18) | (char32_t(s[pos + 1] & 0x3F) << 12) |
                  (char32_t(s[pos + 2] & 0x3F) << 6) | (s[pos + 3] & 0x3F);
    if (cp >= 0x10000 && cp <= 0x10FFFF) {
      pos += 4;
      return cp;
    }
  }
  ++pos;
  return kReplacement;
}

inline void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

inline uint8_t char_flags(char32_t cp) {
  if (cp >= 0x110000) return 0;
  return tables::char_flags_stage2[size_t(tables::char_flags_stage1[cp >> 8]) * 256 + (cp & 0xFF)];
}

inline bool is_alphabetic(char32_t cp) { return char_flags(cp) & tables::kCharFlagAlphabetic; }
inline bool is_uppercase(char32_t cp) { return char_flags(cp) & tables::kCharFlagUppercase; }
inline bool is_lowercase(char32_t cp) { return char_flags(cp) & tables::kCharFlagLowercase; }
inline bool is_white_space(char32_t cp) { return char_flags(cp) & tables::kCharFlagWhiteSpace; }
// General category Nd, Nl or No.
inline bool is_number_n(char32_t cp) { return char_flags(cp) & tables::kCharFlagNumberN; }
inline bool is_cased(char32_t cp) { return char_flags(cp) & tables::kCharFlagCased; }
inline bool is_case_ignorable(char32_t cp) { return char_flags(cp) & tables::kCharFlagCaseIgnorable; }

// Appends the full lowercase mapping of cp (one or two code points).
inline void append_lower_char(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp >= 'A' && cp <= 'Z' ? cp + 32 : cp));
    return;
  }
  const auto* begin = std::begin(tables::lowercase);
  const auto* end = std::end(tables::lowercase);
  const auto* it = std::lower_bound(begin, end, uint32_t(cp),
                                    [](const tables::LowerEntry& e, uint32_t key) { return e.cp < key; });
  if (it == end || it->cp != cp) {
    append_utf8(out, cp);
    return;
  }
  append_utf8(out, it->first);
  if (it->second) append_utf8(out, it->second);
}

namespace internal {

// Final_Sigma: the sigma at [pos, next) is preceded by a cased letter (skipping
// case-ignorable characters) and not followed by one (likewise).
inline bool final_sigma_holds(std::string_view text, size_t pos, size_t next) {
  bool cased_before = false;
  for (size_t i = pos; i > 0;) {
    size_t start = i - 1;
    while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t p = start;
    char32_t cp = decode_utf8(text, p);
    i = start;
    if (is_case_ignorable(cp)) continue;
    cased_before = is_cased(cp);
    break;
  }
  if (!cased_before) return false;
  for (size_t i = next; i < text.size();) {
    char32_t cp = decode_utf8(text, i);
    if (is_case_ignorable(cp)) continue;
    return !is_cased(cp);
  }
  return true;
}

}  // namespace internal

// Appends the full default lowercase mapping of `text`; Final_Sigma is judged within `text`.
inline void append_lowercase(std::string& out, std::string_view text) {
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    char32_t cp = decode_utf8(text, pos);
    if (cp == 0x03A3) {
      append_utf8(out, internal::final_sigma_holds(text, start, pos) ? 0x03C2 : 0x03C3);
    } else {
      append_lower_char(out, cp);
    }
  }
}

inline std::string to_lower(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_lowercase(out, text);
  return out;
}

}  // namespace mn::unicode
