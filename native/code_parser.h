// Shared pieces of code-structure extraction: the grammar registry, node kinds and
// fields resolved to small integers per grammar, node text and trimming, and the
// pre-order walk. Nothing here touches Python.
#pragma once

#include <tree_sitter/api.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mn::code_parser {

enum class Lang : uint8_t { Python, JavaScript, TypeScript, Tsx, Go, Rust, C, Cpp };

// Maps a caller's language name (byte for byte) to its grammar.
std::optional<Lang> find_grammar(std::string_view name);

inline bool is_js_family(Lang lang) {
  return lang == Lang::JavaScript || lang == Lang::TypeScript || lang == Lang::Tsx;
}

// Every node kind some rule compares against. Kinds are compared as names; each grammar's
// symbol ids are mapped onto these once, so the walk compares small integers instead.
#define MN_NODE_KINDS(X)                                                                                   \
  X(aliased_import) X(argument_list) X(arrow_function) X(attribute) X(block_comment) X(call)              \
  X(call_expression) X(class_declaration) X(class_definition) X(comment) X(conditional_expression)        \
  X(dotted_name) X(elif_clause) X(else_clause) X(enum_declaration) X(enum_item) X(except_clause)          \
  X(export_statement) X(expression_statement) X(extends_clause) X(extern_crate_declaration)               \
  X(for_in_clause) X(for_statement) X(function_declaration) X(function_definition) X(function_expression) \
  X(function_item) X(identifier) X(if_statement) X(impl_item) X(implements_clause) X(import_from_statement) \
  X(import_spec) X(import_statement) X(interface_declaration) X(interface_type)                            \
  X(interpreted_string_literal) X(lambda) X(lexical_declaration) X(line_comment) X(method_declaration)    \
  X(method_definition) X(mod_item) X(preproc_include) X(selector_expression) X(string) X(string_literal)  \
  X(struct_item) X(system_lib_string) X(trait_item) X(try_statement) X(type_alias_declaration)            \
  X(type_declaration) X(type_identifier) X(type_spec) X(use_declaration) X(variable_declarator)          \
  X(visibility_modifier) X(while_statement) X(with_statement)

enum class Kind : uint8_t {
  other,
#define MN_KIND_ENUM(name) name,
  MN_NODE_KINDS(MN_KIND_ENUM)
#undef MN_KIND_ENUM
};

#define MN_FIELDS(X) \
  X(name) X(value) X(type) X(body) X(function) X(object) X(attribute) X(operand) X(field) X(arguments) X(source) \
  X(module_name)

enum class Field : uint8_t {
#define MN_FIELD_ENUM(name) name,
  MN_FIELDS(MN_FIELD_ENUM)
#undef MN_FIELD_ENUM
  count
};

// One grammar's symbol and field ids, resolved once per process.
struct GrammarTables {
  std::vector<Kind> kind_of_symbol;
  std::array<TSFieldId, size_t(Field::count)> field_ids{};
};
const GrammarTables& grammar_tables(Lang lang);

// Trims characters with the Unicode White_Space property from both ends.
std::string_view trim_white_space(std::string_view s);

// The source text of one parse and the lookups every rule makes on its nodes.
class Source {
 public:
  Source(std::string_view text, Lang lang) : text_(text), lang_(lang), tables_(grammar_tables(lang)) {}

  std::string_view text() const { return text_; }
  Lang lang() const { return lang_; }

  Kind kind(TSNode node) const {
    TSSymbol symbol = ts_node_symbol(node);
    return symbol < tables_.kind_of_symbol.size() ? tables_.kind_of_symbol[symbol] : Kind::other;
  }
  // The child in field `f`, or a null node.
  TSNode field(TSNode node, Field f) const {
    TSFieldId id = tables_.field_ids[size_t(f)];
    if (id == 0) return TSNode{};
    return ts_node_child_by_field_id(node, id);
  }
  // The node's bytes; empty when they do not start and end on character boundaries.
  std::string_view node_text(TSNode node) const;
  std::string_view trimmed_text(TSNode node) const { return trim_white_space(node_text(node)); }

 private:
  std::string_view text_;
  Lang lang_;
  const GrammarTables& tables_;
};

inline bool is_null(TSNode node) { return ts_node_is_null(node); }
inline uint64_t start_line(TSNode node) { return uint64_t(ts_node_start_point(node).row) + 1; }
inline uint64_t end_line(TSNode node) { return uint64_t(ts_node_end_point(node).row) + 1; }

// Visits every node below and including `root` in pre-order, children in order, named and
// anonymous alike. `visit(node, depth)` returns whether to descend into the node. One tree
// cursor walks the whole tree, so depth costs heap, never native stack.
template <class Visit>
void walk_preorder(TSNode root, Visit&& visit) {
  TSTreeCursor cursor = ts_tree_cursor_new(root);
  struct Release {
    TSTreeCursor* cursor;
    ~Release() { ts_tree_cursor_delete(cursor); }
  } release{&cursor};
  uint32_t depth = 0;
  for (;;) {
    if (visit(ts_tree_cursor_current_node(&cursor), depth) && ts_tree_cursor_goto_first_child(&cursor)) {
      ++depth;
      continue;
    }
    while (depth > 0 && !ts_tree_cursor_goto_next_sibling(&cursor)) {
      ts_tree_cursor_goto_parent(&cursor);
      --depth;
    }
    if (depth == 0) return;
  }
}

// The value a visit hands down to the children of each node on the current path. A
// node at depth d reads what its parent (depth d - 1) left and leaves its own.
template <class T>
class InheritedStack {
 public:
  explicit InheritedStack(T root_value) : root_value_(std::move(root_value)) {}

  T enter(uint32_t depth) {
    values_.erase(values_.begin() + std::min<size_t>(depth, values_.size()), values_.end());
    return depth == 0 ? root_value_ : values_[depth - 1];
  }
  void hand_down(T value) { values_.push_back(std::move(value)); }

 private:
  T root_value_;
  std::vector<T> values_;
};

// Annotations of symbol records.
std::string_view signature_of(TSNode node, const Source& src);
std::optional<std::string> doc_comment_of(TSNode node, const Source& src);
std::optional<std::string_view> python_docstring_of(TSNode node, const Source& src);
std::string_view clean_python_string(std::string_view t);
const char* visibility_of(std::string_view name, TSNode node, const Source& src);
bool is_test_name(std::string_view name, Lang lang);
bool classify_test_file(std::string_view filename);

}  // namespace mn::code_parser
