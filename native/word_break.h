// Default word boundaries of Unicode Standard Annex #29 (rules WB1 to WB999, no
// tailoring) over UTF-8 text, from the Word_Break and Extended_Pictographic tables of
// tools/gen_unicode.py.
//
// `for_each_word_segment(text, visit)` calls visit(begin, end) with the byte range of
// every segment in text order; the segments cover the text exactly. The scan is one
// pass with a bounded look-ahead over ignorable characters, so it is linear in the text.
// Knows nothing of Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "unicode.h"
#include "unicode_tables.h"

namespace mn::unicode {

using tables::WordBreak;

inline uint8_t word_break_bits(char32_t cp) {
  if (cp >= 0x110000) return 0;
  return tables::word_break_stage2[size_t(tables::word_break_stage1[cp >> 8]) * 256 + (cp & 0xFF)];
}

inline WordBreak word_break_of(char32_t cp) {
  return static_cast<WordBreak>(word_break_bits(cp) & tables::kWordBreakMask);
}

namespace internal {

inline bool is_newline(WordBreak p) { return p == WordBreak::CR || p == WordBreak::LF || p == WordBreak::Newline; }
// Characters that WB4 attaches to the character before them.
inline bool is_ignorable(WordBreak p) {
  return p == WordBreak::Extend || p == WordBreak::Format || p == WordBreak::ZWJ;
}
inline bool is_ahletter(WordBreak p) { return p == WordBreak::ALetter || p == WordBreak::HebrewLetter; }
// MidLetter | MidNumLetQ
inline bool is_mid_letter(WordBreak p) {
  return p == WordBreak::MidLetter || p == WordBreak::MidNumLet || p == WordBreak::SingleQuote;
}
// MidNum | MidNumLetQ
inline bool is_mid_num(WordBreak p) {
  return p == WordBreak::MidNum || p == WordBreak::MidNumLet || p == WordBreak::SingleQuote;
}

struct WordChar {
  WordBreak wb;
  bool ext_pict;
};

inline WordChar decode_word_char(std::string_view text, size_t& pos) {
  uint8_t bits = word_break_bits(decode_utf8(text, pos));
  return {static_cast<WordBreak>(bits & tables::kWordBreakMask), (bits & tables::kWordBreakExtPict) != 0};
}

// The Word_Break value of the first character at or after `pos` that WB4 does not skip;
// Other at the end of the text.
inline WordBreak next_effective(std::string_view text, size_t pos) {
  while (pos < text.size()) {
    WordBreak wb = decode_word_char(text, pos).wb;
    if (!is_ignorable(wb)) return wb;
  }
  return WordBreak::Other;
}

// What the rules after WB4 need to know about the text before a candidate boundary.
struct WordBreakState {
  WordBreak raw_prev;    // the character just before the boundary
  WordBreak prev;        // the last character WB4 keeps
  WordBreak prev_prev;   // the kept character before it (Other at the start)
  size_t ri_run;         // Regional_Indicators ending at `prev` in the kept sequence
};

// Whether there is a boundary before `c`, whose encoding ends at `after`.
inline bool is_word_boundary(const WordBreakState& s, WordChar c, std::string_view text, size_t after) {
  const WordBreak cur = c.wb;
  if (s.raw_prev == WordBreak::CR && cur == WordBreak::LF) return false;                   // WB3
  if (is_newline(s.raw_prev) || is_newline(cur)) return true;                             // WB3a, WB3b
  if (s.raw_prev == WordBreak::ZWJ && c.ext_pict) return false;                           // WB3c
  if (s.raw_prev == WordBreak::WSegSpace && cur == WordBreak::WSegSpace) return false;    // WB3d
  if (is_ignorable(cur)) return false;                                                    // WB4
  const WordBreak prev = s.prev;
  if (is_ahletter(prev)) {
    if (is_ahletter(cur)) return false;                                                   // WB5
    if (is_mid_letter(cur) && is_ahletter(next_effective(text, after))) return false;     // WB6
    if (cur == WordBreak::Numeric) return false;                                          // WB9
    if (cur == WordBreak::ExtendNumLet) return false;                                     // WB13a
  }
  if (is_ahletter(cur) && is_mid_letter(prev) && is_ahletter(s.prev_prev)) return false;  // WB7
  if (prev == WordBreak::HebrewLetter) {
    if (cur == WordBreak::SingleQuote) return false;                                      // WB7a
    if (cur == WordBreak::DoubleQuote && next_effective(text, after) == WordBreak::HebrewLetter) return false;  // WB7b
  }
  if (cur == WordBreak::HebrewLetter && prev == WordBreak::DoubleQuote && s.prev_prev == WordBreak::HebrewLetter)
    return false;                                                                         // WB7c
  if (prev == WordBreak::Numeric) {
    if (cur == WordBreak::Numeric || is_ahletter(cur)) return false;                      // WB8, WB10
    if (is_mid_num(cur) && next_effective(text, after) == WordBreak::Numeric) return false;  // WB12
    if (cur == WordBreak::ExtendNumLet) return false;                                     // WB13a
  }
  if (cur == WordBreak::Numeric && is_mid_num(prev) && s.prev_prev == WordBreak::Numeric) return false;  // WB11
  if (prev == WordBreak::Katakana && (cur == WordBreak::Katakana || cur == WordBreak::ExtendNumLet))
    return false;                                                                         // WB13, WB13a
  if (prev == WordBreak::ExtendNumLet) {
    if (cur == WordBreak::ExtendNumLet) return false;                                     // WB13a
    if (is_ahletter(cur) || cur == WordBreak::Numeric || cur == WordBreak::Katakana) return false;  // WB13b
  }
  if (prev == WordBreak::RegionalIndicator && cur == WordBreak::RegionalIndicator && s.ri_run % 2 == 1)
    return false;                                                                         // WB15, WB16
  return true;                                                                            // WB999
}

}  // namespace internal

template <class Visit>
void for_each_word_segment(std::string_view text, Visit&& visit) {
  using namespace internal;
  if (text.empty()) return;
  size_t pos = 0;
  WordChar first = decode_word_char(text, pos);
  WordBreakState state{first.wb, first.wb, WordBreak::Other, first.wb == WordBreak::RegionalIndicator ? 1u : 0u};
  size_t segment_start = 0;
  while (pos < text.size()) {
    size_t char_start = pos;
    WordChar c = decode_word_char(text, pos);
    if (is_word_boundary(state, c, text, pos)) {
      visit(segment_start, char_start);
      segment_start = char_start;
    }
    // WB4 keeps an ignorable character only where nothing precedes it to attach to.
    if (!is_ignorable(c.wb) || is_newline(state.raw_prev)) {
      bool continues_ri = c.wb == WordBreak::RegionalIndicator && state.prev == WordBreak::RegionalIndicator;
      state.ri_run = c.wb == WordBreak::RegionalIndicator ? (continues_ri ? state.ri_run + 1 : 1) : 0;
      state.prev_prev = state.prev;
      state.prev = c.wb;
    }
    state.raw_prev = c.wb;
  }
  visit(segment_start, text.size());
}

}  // namespace mn::unicode
