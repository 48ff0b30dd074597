// Code-structure extraction: parses source text with the bundled grammars and walks the
// syntax tree for symbols, calls, imports and inheritance links.
//
// Every walk is iterative (one tree cursor plus explicit stacks of what is handed down),
// so input nesting depth costs heap, not native stack.

#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "binder.h"
#include "code_parser.h"
#include "entries.h"
#include "hash_map.h"
#include "unicode.h"

extern "C" {
const TSLanguage* tree_sitter_python(void);
const TSLanguage* tree_sitter_javascript(void);
const TSLanguage* tree_sitter_typescript(void);
const TSLanguage* tree_sitter_tsx(void);
const TSLanguage* tree_sitter_go(void);
const TSLanguage* tree_sitter_rust(void);
const TSLanguage* tree_sitter_c(void);
const TSLanguage* tree_sitter_cpp(void);
}

namespace mn::code_parser {

// ---------------------------------------------------------------------------------------
// Grammar registry

namespace {

struct GrammarRow {
  std::string_view name;
  Lang lang;
  const TSLanguage* (*make)();
};

constexpr GrammarRow kGrammars[] = {
    {"python", Lang::Python, tree_sitter_python}, {"javascript", Lang::JavaScript, tree_sitter_javascript},
    {"typescript", Lang::TypeScript, tree_sitter_typescript}, {"tsx", Lang::Tsx, tree_sitter_tsx},
    {"go", Lang::Go, tree_sitter_go}, {"rust", Lang::Rust, tree_sitter_rust},
    {"c", Lang::C, tree_sitter_c}, {"cpp", Lang::Cpp, tree_sitter_cpp},
};

constexpr uint32_t kMinAbi = 13;
constexpr uint32_t kMaxAbi = 15;

const GrammarRow& row_of(Lang lang) { return kGrammars[size_t(lang)]; }

GrammarTables build_tables(const TSLanguage* language) {
  static const HashMap<std::string_view, Kind> kinds_by_name = {
#define MN_KIND_ROW(name) {#name, Kind::name},
      MN_NODE_KINDS(MN_KIND_ROW)
#undef MN_KIND_ROW
  };
  static const char* const field_names[] = {
#define MN_FIELD_NAME(name) #name,
      MN_FIELDS(MN_FIELD_NAME)
#undef MN_FIELD_NAME
  };
  GrammarTables tables;
  uint32_t symbols = ts_language_symbol_count(language);
  tables.kind_of_symbol.assign(symbols, Kind::other);
  for (uint32_t symbol = 0; symbol < symbols; ++symbol) {
    const char* name = ts_language_symbol_name(language, TSSymbol(symbol));
    if (!name) continue;
    auto it = kinds_by_name.find(std::string_view(name));
    if (it != kinds_by_name.end()) tables.kind_of_symbol[symbol] = it->second;
  }
  for (size_t f = 0; f < size_t(Field::count); ++f) {
    tables.field_ids[f] = ts_language_field_id_for_name(language, field_names[f], uint32_t(strlen(field_names[f])));
  }
  return tables;
}

}  // namespace

std::optional<Lang> find_grammar(std::string_view name) {
  for (const GrammarRow& row : kGrammars) {
    if (row.name == name) return row.lang;
  }
  return std::nullopt;
}

const GrammarTables& grammar_tables(Lang lang) {
  // Derived from the grammars' static tables, which never change within a process.
  static const std::array<GrammarTables, std::size(kGrammars)> all = [] {
    std::array<GrammarTables, std::size(kGrammars)> tables;
    for (const GrammarRow& row : kGrammars) {
      const TSLanguage* language = row.make();
      tables[size_t(row.lang)] = build_tables(language);
      ts_language_delete(language);
    }
    return tables;
  }();
  return all[size_t(lang)];
}

// ---------------------------------------------------------------------------------------
// Text

std::string_view trim_white_space(std::string_view s) {
  size_t begin = 0;
  while (begin < s.size()) {
    size_t next = begin;
    if (!unicode::is_white_space(unicode::decode_utf8(s, next))) break;
    begin = next;
  }
  size_t end = s.size();
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80) --start;
    size_t pos = start;
    if (!unicode::is_white_space(unicode::decode_utf8(s, pos)) || pos != end) break;
    end = start;
  }
  return s.substr(begin, end - begin);
}

namespace {
bool is_char_boundary(std::string_view text, size_t pos) {
  return pos >= text.size() || (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
}
}  // namespace

std::string_view Source::node_text(TSNode node) const {
  size_t start = ts_node_start_byte(node);
  size_t end = ts_node_end_byte(node);
  if (end > text_.size() || start > end) return {};
  // The whole text is valid UTF-8 (it comes from a str), so a slice is valid exactly when
  // both of its ends fall on character boundaries.
  if (!is_char_boundary(text_, start) || !is_char_boundary(text_, end)) return {};
  return text_.substr(start, end - start);
}

// ---------------------------------------------------------------------------------------
// Parsing

namespace {

struct TreeDeleter {
  void operator()(TSTree* tree) const { ts_tree_delete(tree); }
};
struct ParserDeleter {
  void operator()(TSParser* parser) const { ts_parser_delete(parser); }
};
struct LanguageDeleter {
  void operator()(const TSLanguage* language) const { ts_language_delete(language); }
};

// A parser, its grammar and the tree it built, freed together.
struct ParsedSource {
  std::unique_ptr<const TSLanguage, LanguageDeleter> language;
  std::unique_ptr<TSParser, ParserDeleter> parser;
  std::unique_ptr<TSTree, TreeDeleter> tree;

  TSNode root() const { return ts_tree_root_node(tree.get()); }
};

std::optional<ParsedSource> parse_source(Lang lang, std::string_view text) {
  // Byte offsets in the runtime are 32-bit; a longer text would be parsed cut short.
  if (text.size() > UINT32_MAX) return std::nullopt;
  ParsedSource parsed;
  parsed.language.reset(row_of(lang).make());
  uint32_t abi = ts_language_abi_version(parsed.language.get());
  if (abi < kMinAbi || abi > kMaxAbi) return std::nullopt;
  parsed.parser.reset(ts_parser_new());
  if (!ts_parser_set_language(parsed.parser.get(), parsed.language.get())) return std::nullopt;
  parsed.tree.reset(ts_parser_parse_string_encoding(parsed.parser.get(), nullptr, text.data(),
                                                    static_cast<uint32_t>(text.size()), TSInputEncodingUTF8));
  if (!parsed.tree) return std::nullopt;
  return parsed;
}

// The shared front of every extractor: empty text and unknown names find nothing.
template <class Extract>
auto run_extractor(std::string_view code, std::string_view language, Extract&& extract)
    -> decltype(extract(std::declval<const Source&>(), TSNode{})) {
  if (trim_white_space(code).empty()) return {};
  std::optional<Lang> lang = find_grammar(language);
  if (!lang) return {};
  std::optional<ParsedSource> parsed = parse_source(*lang, code);
  if (!parsed) return {};
  Source src(code, *lang);
  return extract(src, parsed->root());
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Symbols

using SymbolRecord = std::tuple<std::string_view, const char*, uint64_t, uint64_t, std::string_view,
                                std::optional<std::string>, std::optional<std::string_view>, const char*,
                                const char*>;

namespace {

using Parent = std::optional<std::string_view>;

struct DefinitionRule {
  const char* kind;
  TSNode name_node;
};

// Matches the node against the definition table of its language.
std::optional<DefinitionRule> match_definition(TSNode node, Kind k, const Source& src) {
  auto named = [&](const char* kind) { return DefinitionRule{kind, src.field(node, Field::name)}; };
  switch (src.lang()) {
    case Lang::Python:
      if (k == Kind::class_definition) return named("class");
      if (k == Kind::function_definition) return named("function");
      return std::nullopt;
    case Lang::TypeScript:
    case Lang::Tsx:
      if (k == Kind::interface_declaration) return named("interface");
      if (k == Kind::type_alias_declaration) return named("type");
      if (k == Kind::enum_declaration) return named("enum");
      [[fallthrough]];
    case Lang::JavaScript:
      if (k == Kind::class_declaration) return named("class");
      if (k == Kind::method_definition) return named("method");
      if (k == Kind::function_declaration) return named("function");
      return std::nullopt;
    case Lang::Go:
      if (k == Kind::function_declaration) return named("function");
      if (k == Kind::method_declaration) return named("method");
      if (k == Kind::type_declaration) {
        for (uint32_t i = 0, n = ts_node_child_count(node); i < n; ++i) {
          TSNode spec = ts_node_child(node, i);
          if (src.kind(spec) != Kind::type_spec) continue;
          TSNode type = src.field(spec, Field::type);
          bool interface = !is_null(type) && src.kind(type) == Kind::interface_type;
          return DefinitionRule{interface ? "interface" : "class", src.field(spec, Field::name)};
        }
        return DefinitionRule{"class", TSNode{}};
      }
      return std::nullopt;
    case Lang::Rust:
      if (k == Kind::struct_item || k == Kind::enum_item) return named("class");
      if (k == Kind::trait_item) return named("interface");
      if (k == Kind::function_item) return named("function");
      return std::nullopt;
    default:
      return std::nullopt;
  }
}

bool starts_with_upper(std::string_view s, size_t pos) {
  if (pos >= s.size()) return false;
  return unicode::is_uppercase(unicode::decode_utf8(s, pos));
}

const char* binding_kind(std::string_view name) {
  if (name == "use" || (name.starts_with("use") && starts_with_upper(name, 3))) return "hook";
  return starts_with_upper(name, 0) ? "component" : "function";
}

class SymbolCollector {
 public:
  SymbolCollector(const Source& src, bool is_test_file) : src_(src), is_test_file_(is_test_file) {}

  bool visit(TSNode node, uint32_t depth) {
    Parent parent = parents_.enter(depth);
    Kind k = src_.kind(node);
    Lang lang = src_.lang();
    if (lang == Lang::Rust && k == Kind::impl_item) {
      TSNode type = src_.field(node, Field::type);
      parents_.hand_down(is_null(type) ? parent : Parent(src_.trimmed_text(type)));
      return true;
    }
    if (is_js_family(lang) && k == Kind::lexical_declaration) {
      collect_bindings(node, parent);
      return false;
    }
    Parent for_children = parent;
    if (auto rule = match_definition(node, k, src_); rule && !is_null(rule->name_node)) {
      std::string_view name = src_.trimmed_text(rule->name_node);
      const char* kind = rule->kind;
      if (std::strcmp(kind, "function") == 0 && parent) kind = "method";
      std::optional<std::string> doc;
      if (lang == Lang::Python) {
        if (auto docstring = python_docstring_of(node, src_)) doc.emplace(*docstring);
      }
      if (!doc) doc = doc_comment_of(node, src_);
      out_.emplace_back(name, kind, start_line(node), end_line(node), signature_of(node, src_), std::move(doc),
                        parent, visibility_of(name, node, src_), role_of(name));
      if ((lang == Lang::Python && k == Kind::class_definition) ||
          (is_js_family(lang) && k == Kind::class_declaration)) {
        for_children = name;
      }
    }
    parents_.hand_down(for_children);
    return true;
  }

  std::vector<SymbolRecord> take() { return std::move(out_); }

 private:
  // Functions bound to constants; what the bound functions contain is not looked at.
  void collect_bindings(TSNode declaration, Parent parent) {
    for (uint32_t i = 0, n = ts_node_child_count(declaration); i < n; ++i) {
      TSNode declarator = ts_node_child(declaration, i);
      if (src_.kind(declarator) != Kind::variable_declarator) continue;
      TSNode name_node = src_.field(declarator, Field::name);
      TSNode value = src_.field(declarator, Field::value);
      if (is_null(name_node) || is_null(value)) continue;
      std::string_view name = src_.trimmed_text(name_node);
      if (!name.empty() && (name[0] == '{' || name[0] == '[')) continue;
      Kind value_kind = src_.kind(value);
      if (value_kind != Kind::arrow_function && value_kind != Kind::function_expression) continue;
      out_.emplace_back(name, binding_kind(name), start_line(declaration), end_line(declaration),
                        signature_of(declaration, src_), doc_comment_of(declaration, src_), parent, "public",
                        role_of(name));
    }
  }

  const char* role_of(std::string_view name) const {
    return is_test_file_ || is_test_name(name, src_.lang()) ? "test" : "implementation";
  }

  const Source& src_;
  bool is_test_file_;
  InheritedStack<Parent> parents_{std::nullopt};
  std::vector<SymbolRecord> out_;
};

}  // namespace

std::vector<SymbolRecord> extract_symbols(std::string_view code, std::string_view language,
                                          std::string_view filename) {
  if (trim_white_space(code).empty()) return {};
  if (language == "typescript" && unicode::to_lower(filename).ends_with(".tsx")) language = "tsx";
  return run_extractor(code, language, [&](const Source& src, TSNode root) {
    SymbolCollector collector(src, classify_test_file(filename));
    walk_preorder(root, [&](TSNode node, uint32_t depth) { return collector.visit(node, depth); });
    return collector.take();
  });
}

// ---------------------------------------------------------------------------------------
// Calls

using CallRecord = std::tuple<std::string_view, uint64_t, const char*, std::optional<std::string>,
                              std::optional<std::string_view>, bool>;

namespace {

const char* context_marker(Kind k) {
  switch (k) {
    case Kind::if_statement:
    case Kind::elif_clause:
    case Kind::else_clause:
    case Kind::conditional_expression:
      return "conditional";
    case Kind::for_statement:
    case Kind::for_in_clause:
    case Kind::while_statement:
      return "loop";
    case Kind::try_statement:
    case Kind::except_clause:
      return "try_block";
    case Kind::with_statement:
      return "with_block";
    case Kind::lambda:
      return "lambda";
    default:
      return nullptr;
  }
}

// The markers of the enclosing control constructs on the walk's current path, so a
// call's context costs the markers above it, not its depth.
class ContextStack {
 public:
  void enter(uint32_t depth) {
    while (!markers_.empty() && markers_.back().depth >= depth) markers_.pop_back();
  }
  void push(uint32_t depth, const char* marker) { markers_.push_back({depth, marker}); }

  // Innermost first, joined with ", ".
  std::optional<std::string> context() const {
    if (markers_.empty()) return std::nullopt;
    std::string joined;
    for (auto it = markers_.rbegin(); it != markers_.rend(); ++it) {
      if (!joined.empty()) joined.append(", ");
      joined.append(it->marker);
    }
    return joined;
  }

 private:
  struct Entry {
    uint32_t depth;
    const char* marker;
  };
  std::vector<Entry> markers_;
};

std::vector<CallRecord> collect_python_calls(const Source& src, TSNode root,
                                             std::optional<std::string_view> current_function) {
  std::vector<CallRecord> out;
  ContextStack contexts;
  walk_preorder(root, [&](TSNode node, uint32_t depth) {
    contexts.enter(depth);
    Kind k = src.kind(node);
    if (k == Kind::call) {
      TSNode function = src.field(node, Field::function);
      Kind function_kind = is_null(function) ? Kind::other : src.kind(function);
      std::string_view callee;
      const char* call_type = nullptr;
      std::optional<std::string_view> receiver;
      if (function_kind == Kind::identifier) {
        callee = src.trimmed_text(function);
        call_type = "function_call";
      } else if (function_kind == Kind::attribute) {
        TSNode attribute = src.field(function, Field::attribute);
        if (!is_null(attribute)) {
          TSNode object = src.field(function, Field::object);
          callee = src.trimmed_text(attribute);
          call_type = "method_call";
          Kind object_kind = is_null(object) ? Kind::other : src.kind(object);
          if (object_kind == Kind::identifier) receiver = src.trimmed_text(object);
          if (object_kind == Kind::call) receiver = "[chained]";
        }
      }
      if (call_type) {
        bool recursive = current_function && *current_function == callee;
        out.emplace_back(callee, start_line(node), call_type, contexts.context(), receiver, recursive);
      }
    }
    if (const char* marker = context_marker(k)) contexts.push(depth, marker);
    return true;
  });
  return out;
}

std::vector<CallRecord> collect_go_calls(const Source& src, TSNode root) {
  std::vector<CallRecord> out;
  walk_preorder(root, [&](TSNode node, uint32_t) {
    if (src.kind(node) != Kind::call_expression) return true;
    TSNode function = src.field(node, Field::function);
    if (is_null(function)) return true;
    Kind function_kind = src.kind(function);
    if (function_kind == Kind::identifier) {
      out.emplace_back(src.trimmed_text(function), start_line(node), "function_call", std::nullopt, std::nullopt,
                       false);
    } else if (function_kind == Kind::selector_expression) {
      TSNode field = src.field(function, Field::field);
      if (is_null(field)) return true;
      TSNode operand = src.field(function, Field::operand);
      std::optional<std::string_view> receiver;
      if (!is_null(operand) && src.kind(operand) == Kind::identifier) receiver = src.trimmed_text(operand);
      out.emplace_back(src.trimmed_text(field), start_line(node), "method_call", std::nullopt, receiver, false);
    }
    return true;
  });
  return out;
}

}  // namespace

std::vector<CallRecord> extract_calls(std::string_view code, std::string_view language,
                                      std::optional<std::string_view> current_function) {
  return run_extractor(code, language, [&](const Source& src, TSNode root) -> std::vector<CallRecord> {
    if (src.lang() == Lang::Python) return collect_python_calls(src, root, current_function);
    if (src.lang() == Lang::Go) return collect_go_calls(src, root);
    return {};
  });
}

// ---------------------------------------------------------------------------------------
// Imports

namespace {

std::string_view strip_ends(std::string_view s, std::string_view chars) {
  size_t begin = s.find_first_not_of(chars);
  if (begin == std::string_view::npos) return {};
  return s.substr(begin, s.find_last_not_of(chars) - begin + 1);
}

std::string_view unquote(std::string_view t) { return strip_ends(trim_white_space(t), "\"'"); }

// Every import string is a slice of the source, so the result holds views into it.
class ImportList {
 public:
  void add(std::string_view s) {
    if (s.empty() || !seen_.insert(s).second) return;
    out_.push_back(s);
  }
  std::vector<std::string_view> take() { return std::move(out_); }

 private:
  HashSet<std::string_view> seen_;
  std::vector<std::string_view> out_;
};

template <class Each>
void for_each_child(TSNode node, Each&& each) {
  for (uint32_t i = 0, n = ts_node_child_count(node); i < n; ++i) each(ts_node_child(node, i));
}

// The first white-space-separated word of t.
std::string_view first_word(std::string_view t) {
  size_t pos = 0;
  while (pos < t.size()) {
    size_t next = pos;
    if (unicode::is_white_space(unicode::decode_utf8(t, next))) break;
    pos = next;
  }
  return t.substr(0, pos);
}

// The crate a use declaration starts from. A leading visibility modifier ("pub use",
// "pub(crate) use") is skipped, so re-exports name their crate too.
std::string_view rust_use_root(TSNode node, const Source& src) {
  std::string_view t = src.trimmed_text(node);
  if (ts_node_child_count(node) > 0) {
    TSNode first = ts_node_child(node, 0);
    if (src.kind(first) == Kind::visibility_modifier) {
      size_t skip = ts_node_end_byte(first) - ts_node_start_byte(node);
      std::string_view whole = src.node_text(node);
      t = skip <= whole.size() ? trim_white_space(whole.substr(skip)) : std::string_view();
    }
  }
  if (!t.starts_with("use")) return {};
  while (t.ends_with(';')) t.remove_suffix(1);
  t = trim_white_space(t.substr(3));
  std::string_view w = first_word(t);
  w = trim_white_space(w.substr(0, w.find('{')));
  std::string_view c = trim_white_space(w.substr(0, w.find("::")));
  return c == "crate" ? std::string_view() : c;
}

void match_import(TSNode node, const Source& src, ImportList& imports) {
  Kind k = src.kind(node);
  switch (src.lang()) {
    case Lang::Python:
      if (k == Kind::import_statement) {
        for_each_child(node, [&](TSNode child) {
          Kind ck = src.kind(child);
          if (ck == Kind::dotted_name) imports.add(src.trimmed_text(child));
          if (ck == Kind::aliased_import) {
            TSNode name = src.field(child, Field::name);
            if (!is_null(name)) imports.add(src.trimmed_text(name));
          }
        });
      } else if (k == Kind::import_from_statement) {
        TSNode module = src.field(node, Field::module_name);
        if (!is_null(module)) imports.add(src.trimmed_text(module));
      }
      return;
    case Lang::JavaScript:
    case Lang::TypeScript:
    case Lang::Tsx:
      if (k == Kind::import_statement || k == Kind::export_statement) {
        TSNode source = src.field(node, Field::source);
        if (!is_null(source) && src.kind(source) == Kind::string) imports.add(unquote(src.node_text(source)));
      } else if (k == Kind::call_expression) {
        TSNode function = src.field(node, Field::function);
        if (is_null(function) || src.kind(function) != Kind::identifier || src.trimmed_text(function) != "require")
          return;
        TSNode arguments = src.field(node, Field::arguments);
        if (is_null(arguments)) return;
        for (uint32_t i = 0, n = ts_node_child_count(arguments); i < n; ++i) {
          TSNode argument = ts_node_child(arguments, i);
          if (src.kind(argument) != Kind::string) continue;
          imports.add(unquote(src.node_text(argument)));
          break;
        }
      }
      return;
    case Lang::Go:
      if (k == Kind::import_spec) {
        for_each_child(node, [&](TSNode child) {
          if (src.kind(child) == Kind::interpreted_string_literal) {
            imports.add(strip_ends(src.trimmed_text(child), "\"'"));
          }
        });
      }
      return;
    case Lang::Rust:
      if (k == Kind::use_declaration) {
        imports.add(rust_use_root(node, src));
      } else if (k == Kind::mod_item || k == Kind::extern_crate_declaration) {
        TSNode name = src.field(node, Field::name);
        if (!is_null(name)) imports.add(src.trimmed_text(name));
      }
      return;
    case Lang::C:
    case Lang::Cpp:
      if (k == Kind::preproc_include) {
        for_each_child(node, [&](TSNode child) {
          Kind ck = src.kind(child);
          if (ck == Kind::system_lib_string || ck == Kind::string_literal) {
            imports.add(strip_ends(src.trimmed_text(child), "<>\""));
          }
        });
      }
      return;
  }
}

}  // namespace

std::vector<std::string_view> extract_imports(std::string_view code, std::string_view language) {
  return run_extractor(code, language, [&](const Source& src, TSNode root) {
    ImportList imports;
    walk_preorder(root, [&](TSNode node, uint32_t) {
      match_import(node, src, imports);
      return true;
    });
    return imports.take();
  });
}

// ---------------------------------------------------------------------------------------
// Relationships

using RelationshipRecord = std::tuple<std::string_view, std::string_view, const char*, uint64_t, float>;

std::vector<RelationshipRecord> extract_relationships(std::string_view code, std::string_view language) {
  return run_extractor(code, language, [&](const Source& src, TSNode root) {
    std::vector<RelationshipRecord> out;
    bool python = src.lang() == Lang::Python;
    bool typescript = src.lang() == Lang::TypeScript || src.lang() == Lang::Tsx;
    InheritedStack<Parent> classes{std::nullopt};
    walk_preorder(root, [&](TSNode node, uint32_t depth) {
      Parent current = classes.enter(depth);
      Kind k = src.kind(node);
      if (k == Kind::class_declaration || k == Kind::class_definition) {
        TSNode name = src.field(node, Field::name);
        if (!is_null(name)) {
          current = src.trimmed_text(name);
          if (python) {
            for_each_child(node, [&](TSNode bases) {
              if (src.kind(bases) != Kind::argument_list) return;
              for_each_child(bases, [&](TSNode base) {
                if (src.kind(base) != Kind::identifier) return;
                std::string_view b = src.trimmed_text(base);
                if (b == "ABC" || b == "object") return;
                out.emplace_back(*current, b, "extends", start_line(node), 1.0f);
              });
            });
          }
        }
      }
      if (typescript && current && (k == Kind::extends_clause || k == Kind::implements_clause)) {
        const char* relation = k == Kind::extends_clause ? "extends" : "implements";
        for_each_child(node, [&](TSNode child) {
          Kind ck = src.kind(child);
          if (ck == Kind::type_identifier || ck == Kind::identifier) {
            out.emplace_back(*current, src.trimmed_text(child), relation, start_line(node), 1.0f);
          }
        });
      }
      classes.hand_down(current);
      return true;
    });
    return out;
  });
}

}  // namespace mn::code_parser

// ---------------------------------------------------------------------------------------
// Entry points

namespace mn::entries {
namespace {
constexpr Signature<1> kSupportedSig{"is_language_supported()", {"language"}, 1};
constexpr Signature<3> kSymbolsSig{"extract_symbols()", {"code", "language", "filename"}, 3};
constexpr Signature<3> kCallsSig{"extract_calls()", {"code", "language", "current_function_name"}, 2};
constexpr Signature<2> kImportsSig{"extract_imports_ast()", {"code", "language"}, 2};
constexpr Signature<2> kRelationshipsSig{"extract_relationships()", {"code", "language"}, 2};
}  // namespace

PyObject* is_language_supported(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String>(kSupportedSig, args, nargs, kwnames, [](std::string_view language) {
    return code_parser::find_grammar(language).has_value();
  });
}

PyObject* extract_imports_ast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String>(kImportsSig, args, nargs, kwnames, code_parser::extract_imports);
}

PyObject* extract_symbols(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String, kind::String>(kSymbolsSig, args, nargs, kwnames,
                                                             code_parser::extract_symbols);
}

PyObject* extract_relationships(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String>(kRelationshipsSig, args, nargs, kwnames,
                                               code_parser::extract_relationships);
}

PyObject* extract_calls(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String, kind::Optional<kind::String>>(kCallsSig, args, nargs, kwnames,
                                                                            code_parser::extract_calls);
}

}  // namespace mn::entries
