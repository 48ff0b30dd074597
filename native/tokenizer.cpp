// Code-aware tokenizer: identifier words cut at joiners and camelCase boundaries,
// lowercased and filtered by a fixed stop-word set; query terms; batch entry points.

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "binder.h"
#include "entries.h"
#include "hash_map.h"
#include "pool.h"
#include "unicode.h"

namespace mn::tokenizer {
namespace {

constexpr std::string_view kStopWords[] = {
    "if", "else", "elif", "then", "endif", "switch", "case", "default", "for", "while", "do", "loop", "break",
    "continue", "goto", "return", "try", "catch", "except", "finally", "throw", "raise", "throws", "yield", "await",
    "async", "def", "func", "fn", "function", "proc", "sub", "method", "class", "struct", "enum", "interface",
    "trait", "type", "typedef", "var", "let", "const", "val", "mut", "static", "final", "readonly", "import", "from",
    "export", "require", "include", "using", "use", "package", "module", "mod", "namespace", "crate", "extern", "new",
    "this", "self", "super", "extends", "implements", "override", "public", "private", "protected", "internal",
    "abstract", "virtual", "sealed", "partial", "void", "null", "nil", "none", "undefined", "true", "false", "int",
    "integer", "float", "double", "bool", "boolean", "string", "str", "char", "byte", "short", "long", "unsigned",
    "signed", "size", "object", "any", "dynamic", "auto", "impl", "pub", "where", "dyn", "ref", "box", "move",
    "unsafe", "match", "i", "j", "k", "n", "m", "x", "y", "z", "a", "b", "c", "e", "f", "p", "q", "r", "s", "t", "v",
    "w", "id", "ok", "err", "io", "os", "fs", "db", "ui", "tx", "rx", "tmp", "temp", "arg", "args", "param", "params",
    "ret", "res", "result", "out", "output", "in", "input", "buf", "buffer", "ptr", "ctx", "cfg", "opt", "opts", "idx",
    "len", "num", "cnt", "pos", "key", "get", "set", "has", "is", "can", "should", "will", "did", "was", "are", "add",
    "remove", "delete", "update", "create", "init", "load", "save", "read", "write", "open", "close", "start", "stop",
    "run", "exec", "on", "to", "with", "by", "at", "of", "as", "or", "and", "not", "an", "the", "be", "it", "its",
    "data", "info", "item", "items", "list", "array", "map", "node", "elem", "element", "entry", "record", "row", "col",
    "src", "dst", "source", "dest", "target", "origin", "old", "prev", "next", "cur", "current", "last", "first",
    "min", "max", "sum", "avg", "total", "count", "name", "value", "kind", "mode", "state", "status", "msg", "message",
    "text", "content", "body", "payload", "path", "file", "dir", "url", "uri", "cb", "callback", "handler", "listener",
    "observer",
};
static_assert(std::size(kStopWords) == 263);

// The words of a key of at most 16 bytes, as `short_key` reads them (little-endian
// loads), computed at compile time for the stop-word table.
constexpr ShortKey constant_short_key(std::string_view w) {
  auto load = [&](size_t at, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v |= uint64_t{static_cast<unsigned char>(w[at + i])} << (8 * i);
    return v;
  };
  size_t n = w.size();
  if (n >= 8) return {load(0, 8), load(n - 8, 8)};
  if (n >= 4) return {load(0, 4), load(n - 4, 4)};
  if (n > 0) {
    return {uint64_t{static_cast<unsigned char>(w[0])} << 16 | uint64_t{static_cast<unsigned char>(w[n >> 1])} << 8 |
                static_cast<unsigned char>(w[n - 1]),
            0};
  }
  return {0, 0};
}
static_assert(std::endian::native == std::endian::little, "short keys are read as little-endian words");

// Open-addressing table over the stop words, keyed by their short keys: a lookup is a
// multiply, a shift and one or two comparisons of two words, with no byte access.
class StopWordTable {
 public:
  static constexpr size_t kLongest = 10;

  constexpr StopWordTable() {
    for (std::string_view word : kStopWords) {
      Entry entry{constant_short_key(word), word.size()};
      size_t slot = hash(entry.key, entry.size);
      while (slots_[slot].size != 0) slot = (slot + 1) & kMask;
      slots_[slot] = entry;
    }
  }
  // `key` holds the lowercased part's words; `size` is its length in bytes.
  constexpr bool contains(ShortKey key, size_t size) const {
    if (size > kLongest) return false;
    for (size_t slot = hash(key, size);; slot = (slot + 1) & kMask) {
      if (slots_[slot].size == 0) return false;
      if (slots_[slot].size == size && slots_[slot].key == key) return true;
    }
  }
  constexpr bool contains(std::string_view word) const {
    return word.size() <= kLongest && contains(constant_short_key(word), word.size());
  }

 private:
  static constexpr size_t kSlots = 1024, kMask = kSlots - 1;
  struct Entry {
    ShortKey key{0, 0};
    size_t size = 0;  // 0: empty slot
  };
  static constexpr size_t hash(ShortKey key, size_t size) {
    return static_cast<size_t>(((key.a * 0x9E3779B97F4A7C15ull) ^ (key.b * 0xC2B2AE3D27D4EB4Full) ^ size) >> 54);
  }
  Entry slots_[kSlots] = {};
};

constexpr StopWordTable kStopWordTable;
static_assert(kStopWordTable.contains("observer") && kStopWordTable.contains("implements") &&
              kStopWordTable.contains("if") && !kStopWordTable.contains("parser") &&
              !kStopWordTable.contains("ifx") && !kStopWordTable.contains(""));

inline bool is_stop_word(std::string_view word) {
  size_t size = word.size();
  return size <= StopWordTable::kLongest && kStopWordTable.contains(short_key(word.data(), size), size);
}

bool is_word_char(char32_t cp) {
  if (cp < 0x80) {
    return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z') || (cp >= '0' && cp <= '9') || cp == '_' ||
           cp == '-';
  }
  return unicode::char_flags(cp) & (unicode::tables::kCharFlagAlphabetic | unicode::tables::kCharFlagNumberN);
}

bool is_letter(char32_t cp) {
  if (cp < 0x80) return (cp >= 'a' && cp <= 'z') || (cp >= 'A' && cp <= 'Z');
  return unicode::is_alphabetic(cp);
}

// Classes of ASCII bytes for the word scan; every byte >= 0x80 starts a non-ASCII character.
enum ByteClass : uint8_t { kSeparator, kLowerByte, kUpperByte, kDigitByte, kNonAscii };

constexpr std::array<ByteClass, 256> make_byte_classes() {
  std::array<ByteClass, 256> classes{};
  for (int c = 0; c < 256; ++c) {
    classes[c] = c >= 0x80 ? kNonAscii
                 : (c >= 'a' && c <= 'z') ? kLowerByte
                 : (c >= 'A' && c <= 'Z') ? kUpperByte
                 : (c >= '0' && c <= '9') ? kDigitByte
                                          : kSeparator;  // joiners included: pieces end there
  }
  return classes;
}
constexpr std::array<ByteClass, 256> kByteClass = make_byte_classes();

inline ByteClass byte_class(char c) { return kByteClass[static_cast<unsigned char>(c)]; }

}  // namespace

// Distinct tokens in order of first appearance, numbered 0, 1, 2, ... Their bytes sit
// back to back in one buffer; a flat table of (hash tag, number) finds them again. Each
// word keeps its short key, so a lookup compares two words and never reads the bytes of
// a word of up to 16 bytes. Numbers are 32-bit: 2^32 distinct tokens of two or more
// bytes would need a text far larger than memory.
class Vocabulary {
 public:
  // `expected` distinct words pre-size the table (within limits: it is only a hint).
  explicit Vocabulary(size_t expected = 0) {
    size_t slots = kInitialSlots;
    while (slots < expected * 2 && slots < kMaxInitialSlots) slots <<= 1;
    slots_.assign(slots, 0);
    mask_ = slots - 1;
  }

  size_t size() const { return entries_.size(); }
  std::string_view word(size_t id) const { return {bytes_.data() + entries_[id].begin, entries_[id].size}; }

  // The number of the word of `size` <= 16 bytes whose short key is `key`; its bytes are
  // written out only when it is new.
  uint32_t add_short(ShortKey key, size_t size) {
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    uint64_t hash = hash_short(key, size);
    uint32_t tag = static_cast<uint32_t>(hash >> 32);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      uint64_t slot = slots_[i];
      if (slot == 0) {
        size_t begin = bytes_.size();
        write_short(bytes_.extend(size), key, size);
        return insert(i, tag, key, begin, size);
      }
      uint32_t id = static_cast<uint32_t>(slot) - 1;
      const Entry& entry = entries_[id];
      if (static_cast<uint32_t>(slot >> 32) == tag && entry.size == size && entry.key == key) return id;
    }
  }

  uint32_t add(std::string_view word) {
    if (word.size() <= 16) return add_short(short_key(word.data(), word.size()), word.size());
    if ((entries_.size() + 1) * 2 > slots_.size()) grow();
    uint64_t hash = hash_bytes(word);
    uint32_t tag = static_cast<uint32_t>(hash >> 32);
    ShortKey key = short_key(word.data(), 16);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      uint64_t slot = slots_[i];
      if (slot == 0) {
        size_t begin = bytes_.size();
        std::memcpy(bytes_.extend(word.size()), word.data(), word.size());
        return insert(i, tag, key, begin, word.size());
      }
      uint32_t id = static_cast<uint32_t>(slot) - 1;
      const Entry& entry = entries_[id];
      if (static_cast<uint32_t>(slot >> 32) == tag && entry.size == word.size() && entry.key == key &&
          std::memcmp(bytes_.data() + entry.begin, word.data(), word.size()) == 0) {
        return id;
      }
    }
  }

 private:
  static constexpr size_t kInitialSlots = 64, kMaxInitialSlots = size_t{1} << 16;
  struct Entry {
    ShortKey key;  // of the whole word, or of its first 16 bytes when longer
    size_t begin;
    size_t size;
  };

  // Writes the bytes that `key` describes (the inverse of short_key).
  static void write_short(char* out, ShortKey key, size_t size) {
    if (size >= 8) {
      std::memcpy(out + size - 8, &key.b, 8);
      std::memcpy(out, &key.a, 8);
    } else if (size >= 4) {
      uint32_t a = static_cast<uint32_t>(key.a), b = static_cast<uint32_t>(key.b);
      std::memcpy(out + size - 4, &b, 4);
      std::memcpy(out, &a, 4);
    } else if (size > 0) {
      out[size - 1] = static_cast<char>(key.a);
      out[size >> 1] = static_cast<char>(key.a >> 8);
      out[0] = static_cast<char>(key.a >> 16);
    }
  }

  uint32_t insert(size_t slot, uint32_t tag, ShortKey key, size_t begin, size_t size) {
    entries_.push_back({key, begin, size});
    slots_[slot] = (uint64_t{tag} << 32) | entries_.size();
    return static_cast<uint32_t>(entries_.size() - 1);
  }

  void grow() {
    slots_.assign(slots_.size() * 2, 0);
    mask_ = slots_.size() - 1;
    for (size_t id = 0; id < entries_.size(); ++id) {
      uint64_t hash = entries_[id].size <= 16 ? hash_short(entries_[id].key, entries_[id].size) : hash_bytes(word(id));
      size_t i = hash & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = (uint64_t{static_cast<uint32_t>(hash >> 32)} << 32) | (id + 1);
    }
  }

  // Grows by doubling and never fills what it is about to overwrite.
  class Bytes {
   public:
    size_t size() const { return size_; }
    const char* data() const { return data_.get(); }
    char* extend(size_t n) {
      if (capacity_ - size_ < n) {
        size_t capacity = std::max({capacity_ * 2, size_ + n, size_t{256}});
        std::unique_ptr<char[]> bigger(new char[capacity]);
        if (size_) std::memcpy(bigger.get(), data_.get(), size_);
        data_ = std::move(bigger);
        capacity_ = capacity;
      }
      char* at = data_.get() + size_;
      size_ += n;
      return at;
    }

   private:
    std::unique_ptr<char[]> data_;
    size_t size_ = 0, capacity_ = 0;
  };

  Bytes bytes_;
  std::vector<Entry> entries_;
  std::vector<uint64_t> slots_;  // 0 = empty, else tag << 32 | (number + 1)
  size_t mask_;
};

// The token lists of consecutive texts: one vocabulary, and per text the numbers of its
// tokens. Tokens repeat heavily within and across texts, so each distinct token becomes
// one str object when the block is handed to Python.
struct Block {
  Vocabulary words;
  std::vector<uint32_t> ids;      // the tokens of all texts, back to back
  std::vector<size_t> text_ends;  // text t owns ids[text_ends[t - 1], text_ends[t])
};

namespace {

// The short key of an ASCII part of letters and digits, lowercased: for these bytes
// lowercasing is setting bit 0x20 (digits already have it).
inline ShortKey lowered_ascii_key(const char* p, size_t n) {
  ShortKey key = short_key(p, n);
  uint64_t mask = n >= 8 ? 0x2020202020202020ull : n >= 4 ? 0x20202020ull : 0x202020ull;
  return {key.a | mask, n >= 4 ? key.b | mask : key.b};
}

// One character of a piece: where it starts and its case.
struct PieceChar {
  uint32_t offset;
  bool upper;
  bool lower;
};

// Receives the parts of the texts of one block: filters them and numbers the survivors.
// With `distinct` set, a text keeps only the first occurrence of each token.
class PartSink {
 public:
  PartSink(Block& block, bool distinct) : block_(block), distinct_(distinct) {}

  void end_text() {
    block_.text_ends.push_back(block_.ids.size());
    ++text_;
  }

  // A part of ASCII letters and digits.
  void ascii_part(const char* p, size_t n) {
    if (n < 2) return;
    if (n <= 16) {
      ShortKey key = lowered_ascii_key(p, n);
      if (kStopWordTable.contains(key, n)) return;
      keep(block_.words.add_short(key, n));
      return;
    }
    scratch_.assign(p, n);
    for (char& c : scratch_) c = static_cast<char>(c | 0x20);
    keep(block_.words.add(scratch_));
  }

  // A lowercased part.
  void part(std::string_view lowered) {
    if (lowered.size() < 2 || is_stop_word(lowered)) return;
    keep(block_.words.add(lowered));
  }

  // Cuts a piece of ASCII letters and digits into camel-case parts.
  void split_ascii(const char* piece, size_t n) {
    size_t part_start = 0;
    for (size_t i = 1; i < n; ++i) {
      if (byte_class(piece[i]) != kUpperByte) continue;
      if (byte_class(piece[i - 1]) == kUpperByte && !(i + 1 < n && byte_class(piece[i + 1]) == kLowerByte)) {
        continue;
      }
      ascii_part(piece + part_start, i - part_start);
      part_start = i;
    }
    ascii_part(piece + part_start, n - part_start);
  }

  // The same for a piece of fewer than 16 bytes whose capitals and small letters are
  // given as bit masks: a part starts at a capital that follows a non-capital or that
  // comes before a small letter.
  void split_ascii_masked(const char* piece, size_t n, uint32_t upper, uint32_t lower) {
    uint32_t starts = upper & ((~upper << 1) | (lower >> 1)) & ~1u;
    size_t part_start = 0;
    for (; starts; starts &= starts - 1) {
      size_t i = static_cast<size_t>(std::countr_zero(starts));
      ascii_part(piece + part_start, i - part_start);
      part_start = i;
    }
    ascii_part(piece + part_start, n - part_start);
  }

  // Scans the piece that starts at `start` character by character (it holds non-ASCII
  // characters), cuts it into camel-case parts and returns where it ends.
  size_t split_general_piece(std::string_view text, size_t start) {
    chars_.clear();
    size_t pos = start;
    while (pos < text.size()) {
      size_t at = pos;
      char32_t cp = unicode::decode_utf8(text, pos);
      if (cp == '_' || cp == '-' || !is_word_char(cp)) {
        pos = at;
        break;
      }
      uint8_t flags = unicode::char_flags(cp);
      chars_.push_back({static_cast<uint32_t>(at - start), (flags & unicode::tables::kCharFlagUppercase) != 0,
                        (flags & unicode::tables::kCharFlagLowercase) != 0});
    }
    std::string_view piece = text.substr(start, pos - start);
    size_t part_start = 0;
    for (size_t i = 1; i < chars_.size(); ++i) {
      if (!chars_[i].upper) continue;
      bool boundary = !chars_[i - 1].upper || (i + 1 < chars_.size() && chars_[i + 1].lower);
      if (!boundary) continue;
      lowered_part(piece.substr(chars_[part_start].offset, chars_[i].offset - chars_[part_start].offset));
      part_start = i;
    }
    if (!chars_.empty()) lowered_part(piece.substr(chars_[part_start].offset));
    return pos;
  }

 private:
  void lowered_part(std::string_view part) {
    scratch_.clear();
    unicode::append_lowercase(scratch_, part);
    this->part(scratch_);
  }

  [[gnu::always_inline]] void keep(uint32_t id) {
    if (distinct_) {
      if (id >= last_text_.size()) last_text_.resize(id + 1, 0);
      if (last_text_[id] == text_ + 1) return;
      last_text_[id] = static_cast<uint32_t>(text_ + 1);
    }
    block_.ids.push_back(id);
  }

  Block& block_;
  bool distinct_;
  size_t text_ = 0;
  std::vector<uint32_t> last_text_;  // per word: 1 + the last text that kept it
  std::vector<PieceChar> chars_;
  std::string scratch_;
};

// Classes of 16 bytes at once, one bit per byte: ASCII letters and digits, ASCII
// capitals, ASCII small letters, and bytes >= 0x80.
struct ByteMasks {
  uint32_t word, upper, lower, non_ascii;
};

inline ByteMasks classify16(const char* p) {
#if defined(__SSE2__)
  __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
  // Signed comparisons: bytes >= 0x80 are negative and fall outside every range.
  __m128i letter = _mm_and_si128(_mm_cmpgt_epi8(folded, _mm_set1_epi8('a' - 1)),
                                 _mm_cmplt_epi8(folded, _mm_set1_epi8('z' + 1)));
  __m128i digit =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('9' + 1)));
  __m128i lower = _mm_and_si128(letter, _mm_cmpeq_epi8(v, folded));
  auto bits = [](__m128i m) { return static_cast<uint32_t>(_mm_movemask_epi8(m)); };
  uint32_t letters = bits(letter), lowers = bits(lower);
  return {letters | bits(digit), letters & ~lowers, lowers, bits(v)};
#else
  ByteMasks m{0, 0, 0, 0};
  for (int i = 0; i < 16; ++i) {
    ByteClass c = byte_class(p[i]);
    m.word |= uint32_t{c == kLowerByte || c == kUpperByte || c == kDigitByte} << i;
    m.upper |= uint32_t{c == kUpperByte} << i;
    m.lower |= uint32_t{c == kLowerByte} << i;
    m.non_ascii |= uint32_t{c == kNonAscii} << i;
  }
  return m;
#endif
}

// The non-ASCII character at `pos` either continues the piece that began at `start` (a
// word character: the piece is scanned in full by characters) or ends it. Returns where
// the scan goes on.
size_t at_non_ascii(std::string_view text, size_t start, size_t pos, PartSink& sink) {
  size_t after = pos;
  char32_t cp = unicode::decode_utf8(text, after);
  if (is_word_char(cp)) {
    size_t end = sink.split_general_piece(text, start);
    return end > start ? end : after;  // a word character always extends the piece
  }
  if (pos > start) sink.split_ascii(text.data() + start, pos - start);
  return after;
}

// Word scan and identifier split in one pass: a piece ends at a joiner or at any
// non-word character, which is exactly where the identifier split would cut the word.
// Separators and short ASCII pieces are handled 16 bytes at a time; longer pieces, the
// end of the text and non-ASCII characters byte by byte.
void scan_code_tokens(std::string_view text, PartSink& sink) {
  const char* s = text.data();
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    while (pos + 16 <= n) {
      ByteMasks m = classify16(s + pos);
      uint32_t stop = m.word | m.non_ascii;
      if (stop) {
        pos += static_cast<size_t>(std::countr_zero(stop));
        break;
      }
      pos += 16;
    }
    while (pos < n && byte_class(s[pos]) == kSeparator) ++pos;
    if (pos >= n) break;
    size_t start = pos;
    if (pos + 16 <= n) {
      ByteMasks m = classify16(s + pos);
      uint32_t not_word = ~m.word & 0xFFFFu;
      if (not_word) {
        size_t length = static_cast<size_t>(std::countr_zero(not_word));
        pos += length;
        if ((m.non_ascii >> length) & 1) {
          pos = at_non_ascii(text, start, pos, sink);
        } else {
          uint32_t inside = (1u << length) - 1;
          sink.split_ascii_masked(s + start, length, m.upper & inside, m.lower & inside);
        }
        continue;
      }
    }
    ByteClass cls = kSeparator;
    while (pos < n && (cls = byte_class(s[pos])) != kSeparator && cls != kNonAscii) ++pos;
    if (pos < n && cls == kNonAscii) {
      pos = at_non_ascii(text, start, pos, sink);
      continue;
    }
    sink.split_ascii(s + start, pos - start);
  }
}

// The query's letter runs: ASCII capitals lowered, other letters unchanged.
void scan_letter_runs(std::string_view query, PartSink& sink, std::string& run) {
  run.clear();
  for (size_t pos = 0; pos < query.size();) {
    size_t start = pos;
    char32_t cp = unicode::decode_utf8(query, pos);
    if (!is_letter(cp)) {
      if (run.size() > 1) sink.part(run);
      run.clear();
      continue;
    }
    if (cp >= 'A' && cp <= 'Z') {
      run.push_back(static_cast<char>(cp + 32));
    } else {
      run.append(query.substr(start, pos - start));
    }
  }
  if (run.size() > 1) sink.part(run);
}

void code_tokens_into(std::string_view text, PartSink& sink, std::string&) {
  scan_code_tokens(text, sink);
  sink.end_text();
}

void search_terms_into(std::string_view query, PartSink& sink, std::string& run) {
  scan_code_tokens(query, sink);
  scan_letter_runs(query, sink, run);
  sink.end_text();
}

using Routine = void (*)(std::string_view, PartSink&, std::string&);

// The str objects of a block's words, made with the interpreter lock held.
bool words_to_python(const Vocabulary& words, std::vector<Ref>& out) {
  out.clear();
  out.reserve(words.size());
  for (size_t id = 0; id < words.size(); ++id) {
    std::string_view word = words.word(id);
    out.push_back(Ref::steal(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size()))));
    if (!out.back()) return false;
  }
  return true;
}

Ref text_to_python(const Block& block, const std::vector<Ref>& words, size_t text) {
  size_t begin = text == 0 ? 0 : block.text_ends[text - 1], end = block.text_ends[text];
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(end - begin)));
  if (!list) return list;
  for (size_t i = begin; i < end; ++i) {
    PyObject* word = words[block.ids[i]].get();
    Py_INCREF(word);
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i - begin), word);
  }
  return list;
}

}  // namespace

// The tokens of one text.
struct TextTokens {
  Block block;
};

// The token lists of many texts, as consecutive blocks.
struct TokenLists {
  size_t texts = 0;
  std::vector<Block> blocks;
};

template <Routine R, bool Distinct>
TextTokens tokenize_one(std::string_view text) {
  TextTokens out{Block{Vocabulary(text.size() / 32), {}, {}}};
  out.block.ids.reserve(text.size() / 8);
  PartSink sink(out.block, Distinct);
  std::string run;
  R(text, sink, run);
  return out;
}

TextTokens extract_code_tokens(std::string_view text) { return tokenize_one<code_tokens_into, false>(text); }
TextTokens tokenize_for_search(std::string_view query) { return tokenize_one<search_terms_into, true>(query); }

Ref to_python(const TextTokens& tokens) {
  std::vector<Ref> words;
  if (!words_to_python(tokens.block.words, words)) return Ref();
  return text_to_python(tokens.block, words, 0);
}

Ref to_python(const TokenLists& batch) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.texts)));
  if (!result) return result;
  Py_ssize_t next = 0;
  std::vector<Ref> words;
  for (const Block& block : batch.blocks) {
    if (!words_to_python(block.words, words)) return Ref();
    for (size_t t = 0; t < block.text_ends.size(); ++t) {
      Ref list = text_to_python(block, words, t);
      if (!list) return Ref();
      PyList_SetItem(result.get(), next++, list.release());
    }
  }
  return result;
}

// Runs `R` on every text on the worker pool without the interpreter lock. The texts are
// cut into consecutive blocks of about equal size in bytes, a few per worker, so that
// the workers finish together; each block interns its own tokens.
template <Routine R, bool Distinct>
TokenLists tokenize_batch(const std::vector<std::string_view>& texts) {
  TokenLists out;
  out.texts = texts.size();
  if (texts.empty()) return out;
  size_t total = 0;
  for (std::string_view text : texts) total += text.size() + 1;
  size_t blocks = std::min(texts.size(), pool::worker_count() * 4);
  std::vector<size_t> block_begin{0};
  size_t bytes = 0;
  for (size_t i = 0; i < texts.size(); ++i) {
    bytes += texts[i].size() + 1;
    // Cut after text i once this block holds its share of the bytes.
    if (block_begin.size() < blocks && bytes * blocks >= total * block_begin.size() && i + 1 < texts.size()) {
      block_begin.push_back(i + 1);
    }
  }
  block_begin.push_back(texts.size());
  out.blocks.reserve(block_begin.size() - 1);
  for (size_t b = 0; b + 1 < block_begin.size(); ++b) {
    size_t block_bytes = 0;
    for (size_t i = block_begin[b]; i < block_begin[b + 1]; ++i) block_bytes += texts[i].size();
    out.blocks.push_back(Block{Vocabulary(block_bytes / 256), {}, {}});
  }
  without_gil([&] {
    pool::parallel_for(out.blocks.size(), 1, [&](size_t first_block, size_t end_block) {
      std::string run;
      for (size_t b = first_block; b < end_block; ++b) {
        Block& block = out.blocks[b];
        PartSink sink(block, Distinct);
        block.text_ends.reserve(block_begin[b + 1] - block_begin[b]);
        for (size_t i = block_begin[b]; i < block_begin[b + 1]; ++i) R(texts[i], sink, run);
      }
    });
  });
  return out;
}

TokenLists batch_extract_tokens(const std::vector<std::string_view>& texts) {
  return tokenize_batch<code_tokens_into, false>(texts);
}
TokenLists batch_tokenize_queries(const std::vector<std::string_view>& queries) {
  return tokenize_batch<search_terms_into, true>(queries);
}

}  // namespace mn::tokenizer

namespace mn::entries {
namespace {
constexpr Signature<1> kExtractSig{"extract_code_tokens()", {"text"}, 1};
constexpr Signature<1> kSearchSig{"tokenize_for_search()", {"query"}, 1};
constexpr Signature<1> kBatchExtractSig{"batch_extract_tokens()", {"texts"}, 1};
constexpr Signature<1> kBatchQueriesSig{"batch_tokenize_queries()", {"queries"}, 1};
using Texts = kind::Sequence<kind::String>;
}  // namespace

PyObject* extract_code_tokens(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String>(kExtractSig, args, nargs, kwnames, tokenizer::extract_code_tokens);
}

PyObject* tokenize_for_search(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String>(kSearchSig, args, nargs, kwnames, tokenizer::tokenize_for_search);
}

PyObject* batch_extract_tokens(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<Texts>(kBatchExtractSig, args, nargs, kwnames,
                          tokenizer::batch_extract_tokens);
}

PyObject* batch_tokenize_queries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<Texts>(kBatchQueriesSig, args, nargs, kwnames,
                          tokenizer::batch_tokenize_queries);
}

}  // namespace mn::entries
