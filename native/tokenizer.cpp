// Code-aware tokenizer: identifier words cut at joiners and camelCase boundaries,
// lowercased and filtered by a fixed stop-word set; query terms; batch entry points.

#include <array>
#include <string>
#include <string_view>
#include <vector>

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

// Open-addressing table over the stop words: lookups run once per token part, so this
// avoids a general hash map's hashing and pointer chasing.
class StopWordTable {
 public:
  constexpr StopWordTable() {
    for (std::string_view word : kStopWords) {
      size_t slot = hash(word);
      while (!slots_[slot].empty()) slot = (slot + 1) & kMask;
      slots_[slot] = word;
    }
  }
  constexpr bool contains(std::string_view word) const {
    if (word.empty() || word.size() > kLongest) return false;
    for (size_t slot = hash(word);; slot = (slot + 1) & kMask) {
      if (slots_[slot].empty()) return false;
      if (slots_[slot] == word) return true;
    }
  }

 private:
  static constexpr size_t kSlots = 1024, kMask = kSlots - 1, kLongest = 10;

 public:
  static constexpr size_t longest() { return kLongest; }

 private:
  static constexpr size_t hash(std::string_view w) {
    auto at = [&](size_t i) { return static_cast<size_t>(static_cast<unsigned char>(w[i])); };
    return (w.size() * 0x9E3779B1u + at(0) * 31 + at(w.size() - 1) * 131 + at(w.size() / 2) * 7) & kMask;
  }
  std::string_view slots_[kSlots] = {};
};

constexpr StopWordTable kStopWordTable;
static_assert(kStopWordTable.contains("observer") && !kStopWordTable.contains("parser"));

inline bool is_stop_word(std::string_view word) { return kStopWordTable.contains(word); }
constexpr size_t kLongestStopWord = StopWordTable::longest();

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

// The tokens of one text, stored back to back in one buffer: no allocation per token.
class TokenList {
 public:
  size_t size() const { return ends_.size(); }
  std::string_view operator[](size_t i) const {
    size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(bytes_).substr(begin, ends_[i] - begin);
  }
  void push(std::string_view token) {
    bytes_.append(token);
    ends_.push_back(bytes_.size());
  }
  // A token is built in place at the end of the buffer, then kept or dropped.
  std::string& scratch() { return bytes_; }
  size_t committed() const { return ends_.empty() ? 0 : ends_.back(); }
  void keep() { ends_.push_back(bytes_.size()); }
  void drop() { bytes_.resize(committed()); }
  void reserve(size_t bytes, size_t tokens) {
    bytes_.reserve(bytes);
    ends_.reserve(tokens);
  }

 private:
  std::string bytes_;
  std::vector<size_t> ends_;
};

namespace {

// One character of a piece: where it starts and its case.
struct PieceChar {
  uint32_t offset;
  bool upper;
  bool lower;
};

// Cuts pieces (words without joiners) into camel-case parts and appends the lowercased
// parts that survive the filter.
class PartEmitter {
 public:
  explicit PartEmitter(TokenList& out) : out_(out) {}

  // A piece of ASCII letters and digits.
  void split_ascii(std::string_view piece) {
    size_t part_start = 0;
    for (size_t i = 1; i < piece.size(); ++i) {
      if (byte_class(piece[i]) != kUpperByte) continue;
      if (byte_class(piece[i - 1]) == kUpperByte &&
          !(i + 1 < piece.size() && byte_class(piece[i + 1]) == kLowerByte)) {
        continue;
      }
      emit_ascii(piece.substr(part_start, i - part_start));
      part_start = i;
    }
    emit_ascii(piece.substr(part_start));
  }

  // Any piece; `chars` describes its characters in order.
  void split_camel_case(std::string_view piece, const std::vector<PieceChar>& chars) {
    size_t part_start = 0;
    for (size_t i = 1; i < chars.size(); ++i) {
      if (!chars[i].upper) continue;
      bool boundary = !chars[i - 1].upper || (i + 1 < chars.size() && chars[i + 1].lower);
      if (!boundary) continue;
      emit(piece.substr(chars[part_start].offset, chars[i].offset - chars[part_start].offset));
      part_start = i;
    }
    if (!chars.empty()) emit(piece.substr(chars[part_start].offset));
  }

 private:
  void emit_ascii(std::string_view part) {
    size_t n = part.size();
    if (n < 2) return;
    auto lower = [](char c) { return byte_class(c) == kUpperByte ? static_cast<char>(c + 32) : c; };
    if (n <= kLongestStopWord) {
      // Stop words are short: test them on the stack, before touching the output.
      char lowered[kLongestStopWord];
      for (size_t i = 0; i < n; ++i) lowered[i] = lower(part[i]);
      std::string_view word(lowered, n);
      if (!is_stop_word(word)) out_.push(word);
      return;
    }
    std::string& buffer = out_.scratch();
    size_t start = buffer.size();
    buffer.resize(start + n);
    for (size_t i = 0; i < n; ++i) buffer[start + i] = lower(part[i]);
    out_.keep();
  }

  void emit(std::string_view part) {
    size_t start = out_.scratch().size();
    unicode::append_lowercase(out_.scratch(), part);
    finish(start);
  }

  void finish(size_t start) {
    std::string_view lowered = std::string_view(out_.scratch()).substr(start);
    if (lowered.size() < 2 || is_stop_word(lowered)) {
      out_.drop();
    } else {
      out_.keep();
    }
  }

  TokenList& out_;
};

// Scans the piece that starts at `start` character by character (it holds non-ASCII
// characters) and returns where it ends.
size_t split_general_piece(std::string_view text, size_t start, PartEmitter& emitter, std::vector<PieceChar>& chars) {
  chars.clear();
  size_t pos = start;
  while (pos < text.size()) {
    size_t at = pos;
    char32_t cp = unicode::decode_utf8(text, pos);
    if (cp == '_' || cp == '-' || !is_word_char(cp)) {
      pos = at;
      break;
    }
    uint8_t flags = unicode::char_flags(cp);
    chars.push_back({static_cast<uint32_t>(at - start), (flags & unicode::tables::kCharFlagUppercase) != 0,
                     (flags & unicode::tables::kCharFlagLowercase) != 0});
  }
  emitter.split_camel_case(text.substr(start, pos - start), chars);
  return pos;
}

}  // namespace

// Word scan and identifier split in one pass: a piece ends at a joiner or at any
// non-word character, which is exactly where split_identifier would cut the word.
TokenList extract_code_tokens(std::string_view text) {
  TokenList out;
  out.reserve(text.size() / 2, text.size() / 12);
  PartEmitter emitter(out);
  std::vector<PieceChar> chars;
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    while (pos < n && byte_class(text[pos]) == kSeparator) ++pos;
    size_t start = pos;
    while (pos < n && byte_class(text[pos]) != kSeparator && byte_class(text[pos]) != kNonAscii) ++pos;
    if (pos < n && byte_class(text[pos]) == kNonAscii) {
      size_t after = pos;
      char32_t cp = unicode::decode_utf8(text, after);
      if (is_word_char(cp)) {
        pos = split_general_piece(text, start, emitter, chars);
        if (pos == start) pos = after;  // cannot happen for a word character; keeps progress certain
        continue;
      }
      if (pos > start) emitter.split_ascii(text.substr(start, pos - start));
      pos = after;
      continue;
    }
    if (pos > start) emitter.split_ascii(text.substr(start, pos - start));
  }
  return out;
}

TokenList tokenize_for_search(std::string_view query) {
  TokenList code_tokens = extract_code_tokens(query);
  TokenList runs;
  std::string& run = runs.scratch();
  auto finish_run = [&] {
    std::string_view current = std::string_view(run).substr(runs.committed());
    if (current.size() > 1 && !is_stop_word(current)) {
      runs.keep();
    } else {
      runs.drop();
    }
  };
  for (size_t pos = 0; pos < query.size();) {
    size_t start = pos;
    char32_t cp = unicode::decode_utf8(query, pos);
    if (!is_letter(cp)) {
      finish_run();
      continue;
    }
    if (cp >= 'A' && cp <= 'Z') {
      run.push_back(static_cast<char>(cp + 32));
    } else {
      run.append(query.substr(start, pos - start));
    }
  }
  finish_run();
  HashSet<std::string_view> terms;
  for (size_t i = 0; i < code_tokens.size(); ++i) terms.insert(code_tokens[i]);
  for (size_t i = 0; i < runs.size(); ++i) terms.insert(runs[i]);
  TokenList out;
  for (std::string_view term : terms) out.push(term);
  return out;
}

using Tokens = TokenList;

// Token lists become Python lists. Tokens repeat heavily within and across texts, so the
// texts of a block share a vocabulary and each distinct token becomes one str object.
// Interning runs on the pool; with the interpreter lock held only the objects are made.
struct Block {
  std::vector<std::string_view> words;       // distinct tokens, in first-seen order
  std::vector<std::vector<uint32_t>> texts;  // per text of the block: word index per token
};

class BlockBuilder {
 public:
  explicit BlockBuilder(Block& block) : block_(block) {}
  void add(const TokenList& tokens) {
    std::vector<uint32_t>& ids = block_.texts.emplace_back();
    ids.reserve(tokens.size());
    for (size_t i = 0; i < tokens.size(); ++i) {
      size_t id = index_.find_or_add(tokens[i]);
      if (id == block_.words.size()) block_.words.push_back(tokens[i]);
      ids.push_back(static_cast<uint32_t>(id));
    }
  }

 private:
  Block& block_;
  StringIndex index_;
};

struct TokenLists {
  std::vector<TokenList> lists;  // owns the bytes the blocks point into
  std::vector<Block> blocks;     // consecutive texts, in order
};

// Appends one Python list per text of `block` to `out`, starting at index `next`.
bool block_to_python(const Block& block, PyObject* out, Py_ssize_t& next) {
  std::vector<Ref> words;
  words.reserve(block.words.size());
  for (std::string_view word : block.words) {
    words.push_back(Ref::steal(PyUnicode_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size()))));
    if (!words.back()) return false;
  }
  for (const std::vector<uint32_t>& ids : block.texts) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(ids.size())));
    if (!list) return false;
    for (size_t i = 0; i < ids.size(); ++i) {
      PyObject* word = words[ids[i]].get();
      Py_INCREF(word);
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), word);
    }
    PyList_SetItem(out, next++, list.release());
  }
  return true;
}

Ref to_python(const TokenLists& batch) {
  Ref result = Ref::steal(PyList_New(static_cast<Py_ssize_t>(batch.lists.size())));
  if (!result) return result;
  Py_ssize_t next = 0;
  for (const Block& block : batch.blocks) {
    if (!block_to_python(block, result.get(), next)) return Ref();
  }
  return result;
}

Ref to_python(const TokenList& tokens) {
  Block block;
  BlockBuilder(block).add(tokens);
  Ref holder = Ref::steal(PyList_New(1));
  Py_ssize_t next = 0;
  if (!holder || !block_to_python(block, holder.get(), next)) return Ref();
  return Ref::borrow(PyList_GetItem(holder.get(), 0));
}

// Runs `routine` on every text on the worker pool without the interpreter lock.
template <TokenList (*Routine)(std::string_view)>
TokenLists tokenize_batch(const std::vector<std::string_view>& texts) {
  TokenLists out;
  out.lists.resize(texts.size());
  size_t blocks = std::min(texts.size(), pool::worker_count() * 4);
  out.blocks.resize(blocks);
  without_gil([&] {
    pool::parallel_for(blocks, 1, [&](size_t first_block, size_t end_block) {
      for (size_t b = first_block; b < end_block; ++b) {
        BlockBuilder builder(out.blocks[b]);
        size_t begin = b * texts.size() / blocks, end = (b + 1) * texts.size() / blocks;
        for (size_t i = begin; i < end; ++i) {
          out.lists[i] = Routine(texts[i]);
          builder.add(out.lists[i]);
        }
      }
    });
  });
  return out;
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
                          tokenizer::tokenize_batch<tokenizer::extract_code_tokens>);
}

PyObject* batch_tokenize_queries(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<Texts>(kBatchQueriesSig, args, nargs, kwnames,
                          tokenizer::tokenize_batch<tokenizer::tokenize_for_search>);
}

}  // namespace mn::entries
