// What a symbol record says besides its name and kind: a one-line signature, the
// documentation next to the definition, a visibility word, and whether it is test code.
// Each looks only at a bounded neighbourhood of the definition node.

#include <string>
#include <string_view>
#include <vector>

#include "code_parser.h"
#include "unicode.h"

namespace mn::code_parser {
namespace {

constexpr size_t kMaxSignatureBytes = 200;

bool starts_with(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }

std::string_view strip_chars(std::string_view s, std::string_view chars) {
  size_t begin = s.find_first_not_of(chars);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(chars) - begin + 1);
}

std::string_view strip_leading(std::string_view s, char c) {
  size_t begin = s.find_first_not_of(c);
  return begin == std::string_view::npos ? std::string_view() : s.substr(begin);
}

// Cuts to at most `limit` bytes without splitting a character (a split one is dropped).
std::string_view cut_on_char_boundary(std::string_view s, size_t limit) {
  if (s.size() <= limit) return s;
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

char32_t first_char(std::string_view s, size_t pos = 0) {
  if (pos >= s.size()) return 0;
  return unicode::decode_utf8(s, pos);
}

// One comment's contribution to the documentation, if any.
std::optional<std::string_view> doc_line(std::string_view c) {
  if (c.empty()) return std::nullopt;
  if (c.size() >= 3 && starts_with(c, "///")) return trim_white_space(strip_leading(c, '/'));
  if (c.size() >= 3 && starts_with(c, "//!")) return trim_white_space(c.substr(3));
  if (c[0] == '#' && (c.size() == 1 || !starts_with(c, "#!"))) return trim_white_space(strip_leading(c, '#'));
  if (c.size() >= 2 && starts_with(c, "/*")) return strip_chars(c, "/* \n");
  return std::nullopt;
}

bool is_comment_kind(Kind k) { return k == Kind::comment || k == Kind::line_comment || k == Kind::block_comment; }

}  // namespace

std::string_view signature_of(TSNode node, const Source& src) {
  std::string_view s = src.node_text(node);
  s = trim_white_space(s.substr(0, s.find('\n')));
  if (src.lang() == Lang::Python) {
    size_t colon = s.rfind(':');
    if (colon != std::string_view::npos) s = s.substr(0, colon + 1);
  } else {
    size_t brace = s.find('{');
    if (brace != std::string_view::npos) s = trim_white_space(s.substr(0, brace));
  }
  return cut_on_char_boundary(s, kMaxSignatureBytes);
}

std::optional<std::string> doc_comment_of(TSNode node, const Source& src) {
  std::vector<std::string_view> lines;  // nearest comment first
  for (TSNode s = ts_node_prev_sibling(node); !is_null(s) && is_comment_kind(src.kind(s));
       s = ts_node_prev_sibling(s)) {
    if (auto line = doc_line(src.trimmed_text(s))) lines.push_back(*line);
  }
  if (lines.empty()) return std::nullopt;
  std::string doc;
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it != lines.rbegin()) doc.push_back('\n');
    doc.append(*it);
  }
  return doc;
}

std::optional<std::string_view> python_docstring_of(TSNode node, const Source& src) {
  TSNode body = src.field(node, Field::body);
  if (is_null(body) || ts_node_child_count(body) == 0) return std::nullopt;
  TSNode statement = ts_node_child(body, 0);
  if (src.kind(statement) != Kind::expression_statement || ts_node_child_count(statement) == 0) return std::nullopt;
  TSNode string = ts_node_child(statement, 0);
  if (src.kind(string) != Kind::string) return std::nullopt;
  return clean_python_string(src.node_text(string));
}

std::string_view clean_python_string(std::string_view t) {
  std::string_view s = trim_white_space(t);
  size_t quote = s.find('"');
  if (quote == std::string_view::npos) quote = s.find('\'');
  if (quote != std::string_view::npos && quote > 0) {
    bool prefix = true;
    for (size_t i = 0; i < quote && prefix; ++i) {
      char c = s[i];
      prefix = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    }
    if (prefix) s = s.substr(quote);
  }
  auto fenced = [&](std::string_view fence) {
    return starts_with(s, fence) && s.substr(s.size() - 3) == fence;
  };
  if (s.size() > 5 && (fenced("\"\"\"") || fenced("'''"))) return s.substr(3, s.size() - 6);
  return strip_chars(trim_white_space(s), "\"'");
}

const char* visibility_of(std::string_view name, TSNode node, const Source& src) {
  switch (src.lang()) {
    case Lang::Python:
      if (starts_with(name, "__") && !name.ends_with("__")) return "private";
      return starts_with(name, "_") ? "internal" : "public";
    case Lang::Go:
      return !name.empty() && unicode::is_lowercase(first_char(name)) ? "internal" : "public";
    case Lang::Rust:
      for (uint32_t i = 0, n = ts_node_child_count(node); i < n; ++i) {
        TSNode child = ts_node_child(node, i);
        if (src.kind(child) == Kind::visibility_modifier || src.trimmed_text(child) == "pub") return "public";
      }
      return "private";
    default:
      return "public";
  }
}

bool is_test_name(std::string_view name, Lang lang) {
  if (lang == Lang::Go) return starts_with(name, "Test") || starts_with(name, "Benchmark");
  std::string lower = unicode::to_lower(name);
  if (is_js_family(lang) && (lower == "it" || lower == "describe")) return true;
  return starts_with(lower, "test");
}

bool classify_test_file(std::string_view filename) {
  std::string path(filename);
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  std::string lower_path = unicode::to_lower(path);

  std::string_view last;
  bool found = false;
  for (size_t pos = 0; pos <= path.size();) {
    size_t end = path.find('/', pos);
    if (end == std::string::npos) end = path.size();
    std::string_view component(path.data() + pos, end - pos);
    if (!component.empty() && component != ".") {
      last = component;
      found = true;
    }
    pos = end + 1;
  }
  std::string_view stem;
  if (found && last != "..") {
    size_t dot = last.rfind('.');
    stem = (dot == std::string_view::npos || dot == 0) ? last : last.substr(0, dot);
  }
  std::string lower_stem = unicode::to_lower(stem);

  for (std::string_view marker : {"test_", "_test", "tests", "spec"}) {
    if (lower_stem.find(marker) != std::string::npos) return true;
  }
  return lower_path.find("/test") != std::string::npos;
}

}  // namespace mn::code_parser
