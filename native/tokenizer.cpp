// Code-aware tokenizer: identifier words cut at joiners and camelCase boundaries,
// lowercased and filtered by a fixed stop-word set; query terms; batch entry points.

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

const HashSet<std::string_view>& stop_words() {
  static const HashSet<std::string_view> words(std::begin(kStopWords), std::end(kStopWords));
  return words;
}

bool is_stop_word(std::string_view word) { return word.size() <= 10 && stop_words().contains(word); }

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

// One character of the piece being split: where it starts and its case.
struct PieceChar {
  uint32_t offset;
  bool upper;
  bool lower;
};

// Splits one piece (no joiners) into camel-case parts and emits the lowercased parts
// that survive the filter. `chars` describes the piece's characters in order.
class PartEmitter {
 public:
  explicit PartEmitter(std::vector<std::string>& out) : out_(out) {}

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
  void emit(std::string_view part) {
    lowered_.clear();
    unicode::append_lowercase(lowered_, part);
    if (lowered_.size() < 2 || is_stop_word(lowered_)) return;
    out_.push_back(lowered_);
  }

  std::vector<std::string>& out_;
  std::string lowered_;
};

}  // namespace

// Word scan and identifier split in one pass: a piece ends at a joiner or at any
// non-word character, which is exactly where split_identifier would cut the word.
std::vector<std::string> extract_code_tokens(std::string_view text) {
  std::vector<std::string> out;
  PartEmitter emitter(out);
  std::vector<PieceChar> chars;
  size_t piece_start = 0;
  auto finish_piece = [&](size_t end) {
    if (!chars.empty()) emitter.split_camel_case(text.substr(piece_start, end - piece_start), chars);
    chars.clear();
  };
  for (size_t pos = 0; pos < text.size();) {
    size_t start = pos;
    char32_t cp;
    bool upper, lower;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      cp = static_cast<unsigned char>(text[pos++]);
      upper = cp >= 'A' && cp <= 'Z';
      lower = cp >= 'a' && cp <= 'z';
    } else {
      cp = unicode::decode_utf8(text, pos);
      uint8_t flags = unicode::char_flags(cp);
      upper = flags & unicode::tables::kCharFlagUppercase;
      lower = flags & unicode::tables::kCharFlagLowercase;
    }
    if (!is_word_char(cp) || cp == '_' || cp == '-') {
      finish_piece(start);
      continue;
    }
    if (chars.empty()) piece_start = start;
    chars.push_back({static_cast<uint32_t>(start - piece_start), upper, lower});
  }
  finish_piece(text.size());
  return out;
}

std::vector<std::string> tokenize_for_search(std::string_view query) {
  HashSet<std::string> terms;
  for (std::string& token : extract_code_tokens(query)) terms.insert(std::move(token));
  std::string run;
  auto finish_run = [&] {
    if (run.size() > 1 && !is_stop_word(run)) terms.insert(run);
    run.clear();
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
  std::vector<std::string> out;
  out.reserve(terms.size());
  for (auto it = terms.begin(); it != terms.end();) {
    auto node = terms.extract(it++);
    out.push_back(std::move(node.value()));
  }
  return out;
}

using Tokens = std::vector<std::string>;

// Runs `routine` on every text on the worker pool without the interpreter lock.
template <Tokens (*Routine)(std::string_view)>
std::vector<Tokens> tokenize_batch(const std::vector<std::string_view>& texts) {
  std::vector<Tokens> results(texts.size());
  without_gil([&] {
    pool::parallel_for(texts.size(), 1, [&](size_t begin, size_t end) {
      for (size_t i = begin; i < end; ++i) results[i] = Routine(texts[i]);
    });
  });
  return results;
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
