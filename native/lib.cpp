// The module boundary: init and registration, the argument binder, the basic conversion
// kinds, result conversion, and the translation of error values into Python exceptions.

#include <Python.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>

#include "binder.h"
#include "entries.h"

namespace mn {

// ---------------------------------------------------------------------------------------
// Binding

namespace {

std::string quoted_name_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool too_many_positional(const SignatureView& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.required == sig.count) {
    PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given", sig.name, sig.count, given,
                 verb);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zd %s given", sig.name,
                 sig.required, sig.count, given, verb);
  }
  return false;
}

// Places one keyword argument into its slot.
bool bind_keyword(const SignatureView& sig, PyObject* keyword, PyObject* value, PyObject** slots) {
  Py_ssize_t length = 0;
  const char* text = PyUnicode_Check(keyword) ? PyUnicode_AsUTF8AndSize(keyword, &length) : nullptr;
  if (!text) PyErr_Clear();
  for (size_t i = 0; text && i < sig.count; ++i) {
    if (std::strlen(sig.params[i]) == static_cast<size_t>(length) && std::memcmp(sig.params[i], text, length) == 0) {
      if (slots[i]) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", sig.name, keyword);
        return false;
      }
      slots[i] = value;
      return true;
    }
  }
  if (PyUnicode_Check(keyword)) {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, keyword);
  } else {
    PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", sig.name, keyword);
  }
  return false;
}

bool check_missing(const SignatureView& sig, Py_ssize_t positional, PyObject** slots) {
  if (static_cast<size_t>(positional) >= sig.required) return true;
  std::vector<const char*> missing;
  for (size_t i = 0; i < sig.required; ++i) {
    if (!slots[i]) missing.push_back(sig.params[i]);
  }
  if (missing.empty()) return true;
  PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", sig.name, missing.size(),
               missing.size() == 1 ? "" : "s", quoted_name_list(missing).c_str());
  return false;
}

}  // namespace

bool bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots) {
  for (Py_ssize_t i = 0; i < nargs && static_cast<size_t>(i) < sig.count; ++i) slots[i] = args[i];
  if (static_cast<size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    if (!bind_keyword(sig, PyTuple_GetItem(kwnames, i), args[nargs + i], slots)) return false;
  }
  return check_missing(sig, nargs, slots);
}

bool bind_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots) {
  Py_ssize_t nargs = args ? PyTuple_Size(args) : 0;
  for (Py_ssize_t i = 0; i < nargs && static_cast<size_t>(i) < sig.count; ++i) slots[i] = PyTuple_GetItem(args, i);
  if (static_cast<size_t>(nargs) > sig.count) return too_many_positional(sig, nargs);
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, slots)) return false;
    }
  }
  return check_missing(sig, nargs, slots);
}

// ---------------------------------------------------------------------------------------
// Conversion kinds

std::string type_qualname(PyTypeObject* type) {
  Ref name = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    Py_ssize_t length = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(name.get(), &length)) return std::string(text, length);
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

std::string type_mismatch_message(PyObject* value, const char* target) {
  return "'" + type_qualname(Py_TYPE(value)) + "' object cannot be cast as '" + target + "'";
}

Error type_mismatch(PyObject* value, const char* target) {
  return make_error(ErrorKind::TypeError, type_mismatch_message(value, target));
}

Result<std::string_view> convert_string(CallScope& scope, PyObject* obj) {
  if (!PyUnicode_Check(obj)) return type_mismatch(obj, "str");
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(obj, &length);
  if (!text) return python_raised();
  scope.keep(obj);
  return std::string_view(text, static_cast<size_t>(length));
}

Result<uint64_t> convert_uint(PyObject* obj) {
  Ref index;
  if (!PyLong_Check(obj)) {
    index = Ref::steal(PyNumber_Index(obj));
    if (!index) return python_raised();
    obj = index.get();
  }
  unsigned long long value = PyLong_AsUnsignedLongLong(obj);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return python_raised();
  return static_cast<uint64_t>(value);
}

Result<double> convert_float(PyObject* obj) {
  double value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return python_raised();
  return value;
}

namespace {

// True when `obj` is an instance of NumPy's boolean scalar type.
bool is_numpy_bool(PyObject* obj) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(obj));
  auto attr_equals = [&](const char* attr, std::initializer_list<const char*> options) {
    Ref value = Ref::steal(PyObject_GetAttrString(type, attr));
    if (!value || !PyUnicode_Check(value.get())) {
      PyErr_Clear();
      return false;
    }
    const char* text = PyUnicode_AsUTF8AndSize(value.get(), nullptr);
    if (!text) {
      PyErr_Clear();
      return false;
    }
    for (const char* option : options) {
      if (std::strcmp(text, option) == 0) return true;
    }
    return false;
  };
  return attr_equals("__module__", {"numpy"}) && attr_equals("__name__", {"bool_", "bool"});
}

}  // namespace

Result<bool> convert_bool(PyObject* obj) {
  if (obj == Py_True) return true;
  if (obj == Py_False) return false;
  if (!is_numpy_bool(obj)) return type_mismatch(obj, "bool");
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(Py_TYPE(obj), Py_nb_bool));
  if (!nb_bool) {
    PyErr_Clear();
    return make_error(ErrorKind::TypeError,
                      "object of type '" + type_qualname(Py_TYPE(obj)) + "' does not define a '__bool__' conversion");
  }
  int truth = nb_bool(obj);
  if (truth < 0) return python_raised();
  return truth != 0;
}

Result<size_t> sequence_size_hint(PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    return make_error(ErrorKind::TypeError, "Can't convert a 'str' to a list: a string is not a sequence of items here");
  }
  if (!PySequence_Check(obj)) return type_mismatch(obj, "Sequence");
  Py_ssize_t size = PySequence_Size(obj);
  if (size < 0) {
    PyErr_Clear();
    return size_t{0};
  }
  // The hint only pre-sizes the array; a length that lies must not exhaust memory.
  constexpr size_t kMaxHint = size_t{1} << 24;
  return std::min(static_cast<size_t>(size), kMaxHint);
}

Status check_pair(PyObject* obj) {
  if (!PyTuple_Check(obj)) return type_mismatch(obj, "tuple");
  Py_ssize_t size = PyTuple_Size(obj);
  if (size != 2) {
    return make_error(ErrorKind::ValueError, "expected tuple of length 2, but got tuple of length " + std::to_string(size));
  }
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Results

Ref to_python(None) { return Ref::borrow(Py_None); }
Ref to_python(bool v) { return Ref::borrow(v ? Py_True : Py_False); }
Ref to_python(unsigned long v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref to_python(unsigned long long v) { return Ref::steal(PyLong_FromUnsignedLongLong(v)); }
Ref to_python(long v) { return Ref::steal(PyLong_FromSsize_t(v)); }
Ref to_python(long long v) { return Ref::steal(PyLong_FromLongLong(v)); }
Ref to_python(int v) { return Ref::steal(PyLong_FromLong(v)); }
Ref to_python(double v) { return Ref::steal(PyFloat_FromDouble(v)); }
Ref to_python(float v) { return Ref::steal(PyFloat_FromDouble(static_cast<double>(v))); }
Ref to_python(std::string_view v) {
  return Ref::steal(PyUnicode_FromStringAndSize(v.data(), static_cast<Py_ssize_t>(v.size())));
}

// ---------------------------------------------------------------------------------------
// Errors

namespace {

PyObject* internal_fault_class() {
  static PyObject* cls = nullptr;  // created under the interpreter lock, never released
  if (!cls) {
    cls = PyErr_NewExceptionWithDoc(
        "morvane_native.NativeFault",
        "Raised when the module's native code fails internally (a broken invariant).\n\n"
        "Like SystemExit it derives from BaseException, not Exception, so that it will\n"
        "typically propagate all the way through the stack and end the interpreter.",
        PyExc_BaseException, nullptr);
  }
  return cls;
}

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::TypeError: return PyExc_TypeError;
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::OverflowError: return PyExc_OverflowError;
    case ErrorKind::FileNotFoundError: return PyExc_FileNotFoundError;
    case ErrorKind::IOError: return PyExc_OSError;
    case ErrorKind::RuntimeError: return PyExc_RuntimeError;
    case ErrorKind::ImportError: return PyExc_ImportError;
    case ErrorKind::MemoryError: return PyExc_MemoryError;
    case ErrorKind::SystemError:
    case ErrorKind::PythonRaised:
    case ErrorKind::InternalFault: break;
  }
  return PyExc_SystemError;
}

void ensure_raised() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
}

}  // namespace

PyObject* raise_internal_fault(const char* message) {
  if (!message || !*message) message = "native code failed internally";
  PyObject* cls = internal_fault_class();
  if (!cls) return nullptr;
  PyErr_SetString(cls, message);
  return nullptr;
}

void raise(const Error& error) {
  switch (error.kind) {
    case ErrorKind::PythonRaised:
      ensure_raised();
      return;
    case ErrorKind::InternalFault:
      raise_internal_fault(error.message.c_str());
      return;
    default: {
      // Messages may quote caller text holding NUL characters (a file name, say), which
      // a C string would cut short.
      Ref message = Ref::steal(PyUnicode_DecodeUTF8(error.message.data(),
                                                    static_cast<Py_ssize_t>(error.message.size()), "replace"));
      if (message) PyErr_SetObject(exception_type(error.kind), message.get());
    }
  }
}

void raise_conversion_error(const Error& error, const char* param) {
  if (error.kind == ErrorKind::TypeError) {
    PyErr_Format(PyExc_TypeError, "argument '%s': %s", param, error.message.c_str());
    return;
  }
  if (error.kind != ErrorKind::PythonRaised) {
    raise(error);
    return;
  }
  ensure_raised();
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
  Ref text = Ref::steal(PyObject_Str(owned_value.get()));
  if (!text) return;
  Ref message = Ref::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  Ref prefixed = Ref::steal(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!prefixed) return;
  if (PyObject* cause = PyException_GetCause(owned_value.get())) PyException_SetCause(prefixed.get(), cause);
  PyErr_SetObject(PyExc_TypeError, prefixed.get());
}

// ---------------------------------------------------------------------------------------
// Module definition and registration

namespace {

template <auto Fn>
constexpr PyMethodDef entry(const char* name, const char* doc) {
  return {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn)), METH_FASTCALL | METH_KEYWORDS, doc};
}

// Function entry records in registration order; nullptr marks the class's position.
PyMethodDef kEntries[] = {
    entry<entries::cosine_similarity>(
        "cosine_similarity",
        "cosine_similarity(vec1, vec2)\n--\n\nCompute cosine similarity between two vectors\n\nArgs:\n    vec1: First "
        "vector (1D numpy array)\n    vec2: Second vector (1D numpy array)\n\nReturns:\n    Cosine similarity score "
        "(float)"),
    entry<entries::cosine_similarity_batch>(
        "cosine_similarity_batch",
        "cosine_similarity_batch(query, documents)\n--\n\nCompute cosine similarity between a query vector and "
        "multiple document vectors\nUses parallel processing for better performance\n\nArgs:\n    query: Query "
        "vector (1D numpy array)\n    documents: Document vectors (2D numpy array, each row is a document)\n\n"
        "Returns:\n    Array of cosine similarity scores"),
    entry<entries::reciprocal_rank_fusion>(
        "reciprocal_rank_fusion",
        "reciprocal_rank_fusion(ranked_lists, k=60.0)\n--\n\nReciprocal Rank Fusion (RRF) - combines multiple ranked "
        "lists\n\nArgs:\n    ranked_lists: List of lists, where each inner list contains (doc_id, score) tuples\n    "
        "k: RRF constant (default: 60)\n\nReturns:\n    List of (doc_id, fused_score) tuples, sorted by fused score "
        "descending"),
    entry<entries::reciprocal_rank_fusion_weighted>(
        "reciprocal_rank_fusion_weighted",
        "reciprocal_rank_fusion_weighted(ranked_lists, weights, k=60.0)\n--\n\nWeighted Reciprocal Rank Fusion - "
        "combines multiple ranked lists with custom weights\n\nArgs:\n    ranked_lists: List of lists, where each "
        "inner list contains (doc_id, score) tuples\n    weights: List of weights for each ranked list (must match "
        "length of ranked_lists)\n    k: RRF constant (default: 60)\n\nReturns:\n    List of (doc_id, fused_score) "
        "tuples, sorted by fused score descending"),
    {nullptr, nullptr, 0, nullptr},  // BM25Engine
    entry<entries::pagerank>(
        "pagerank",
        "pagerank(edges, damping=0.85, max_iterations=100, tolerance=1e-6)\n--\n\nCompute PageRank scores for a "
        "directed graph\n\nArgs:\n    edges: List of (source, target) tuples representing directed edges\n    "
        "damping: Damping factor (default: 0.85)\n    max_iterations: Maximum number of iterations (default: 100)\n  "
        "  tolerance: Convergence tolerance (default: 1e-6)\n\nReturns:\n    Dictionary mapping node names to "
        "PageRank scores"),
    entry<entries::bfs_expansion>(
        "bfs_expansion",
        "bfs_expansion(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)\n--\n\nMulti-hop BFS "
        "graph expansion with bidirectional traversal\n\nArgs:\n    edges: List of (source, target) tuples "
        "representing directed edges\n    start_nodes: List of starting node names\n    max_hops: Maximum number of "
        "hops to traverse (default: 3)\n    max_results: Maximum number of nodes to return (default: 30)\n    "
        "bidirectional: Whether to traverse both forward and backward (default: true)\n\nReturns:\n    Dictionary "
        "mapping node names to their hop distance from start nodes"),
    entry<entries::bfs_traversal_edges>(
        "bfs_traversal_edges",
        "bfs_traversal_edges(edges, start_nodes, max_hops=3, max_results=30, bidirectional=True)\n--\n\nMulti-hop "
        "BFS traversal that returns predecessor edges in BFS tree order.\n\nThis is designed for graph expansion in "
        "Python where we want concrete edges:\n(source_file, target_file, relation_type, hop_distance).\n\n"
        "relation_type is:\n- \"imports\" when traversing a forward edge (source -> target)\n- \"imported_by\" when "
        "traversing a reverse edge (target <- source)"),
    entry<entries::strongly_connected_components>(
        "strongly_connected_components",
        "strongly_connected_components(edges)\n--\n\nDetect strongly connected components using Kosaraju's "
        "algorithm\n\nArgs:\n    edges: List of (source, target) tuples representing directed edges\n\nReturns:\n    "
        "List of lists, where each inner list contains nodes in a strongly connected component"),
    entry<entries::extract_code_tokens>(
        "extract_code_tokens",
        "extract_code_tokens(text)\n--\n\nExtract code tokens from text, handling camelCase, snake_case, etc."),
    entry<entries::tokenize_for_search>("tokenize_for_search", "tokenize_for_search(query)\n--\n\nTokenize a search query"),
    entry<entries::batch_extract_tokens>("batch_extract_tokens",
                                         "batch_extract_tokens(texts)\n--\n\nBatch tokenize multiple texts in parallel"),
    entry<entries::batch_tokenize_queries>("batch_tokenize_queries",
                                           "batch_tokenize_queries(queries)\n--\n\nBatch tokenize queries in parallel"),
    entry<entries::compute_file_hash>(
        "compute_file_hash", "compute_file_hash(content)\n--\n\nCompute truncated SHA256 hash of content (16 hex chars)."),
    entry<entries::jaccard_similarity>(
        "jaccard_similarity",
        "jaccard_similarity(text1, text2)\n--\n\nCompute Jaccard similarity between two strings (word-level)."),
    entry<entries::jaccard_similarity_batch>(
        "jaccard_similarity_batch",
        "jaccard_similarity_batch(query, texts)\n--\n\nBatch compute Jaccard similarity of one text against many.\n"
        "Returns vec of similarities in same order as texts."),
    entry<entries::mmr_select_indices>(
        "mmr_select_indices",
        "mmr_select_indices(scores, contents, target_count, lambda_param=0.7)\n--\n\nSelect item indices using "
        "Maximal Marginal Relevance (MMR).\n\nThis is used to reduce near-duplicate results in hybrid retrieval.\n\n"
        "Args:\n    scores: Relevance scores for each item\n    contents: Text content for each item (preferably "
        "already lowercased)\n    target_count: Number of items to select\n    lambda_param: Tradeoff between "
        "relevance and diversity (0..1)\n\nReturns:\n    List of selected indices in selection order"),
    entry<entries::extract_code_by_line_range>(
        "extract_code_by_line_range",
        "extract_code_by_line_range(repo_path, filename, line_start, line_end, max_code_chars=None)\n--\n\nExtract a "
        "line range from a file on disk.\n\nReturns a dict with:\n- code\n- extracted_line_start / "
        "extracted_line_end\n- file_line_count\n- truncated"),
    entry<entries::is_language_supported>("is_language_supported", "is_language_supported(language)\n--\n\n"),
    entry<entries::extract_imports_ast>("extract_imports_ast", "extract_imports_ast(code, language)\n--\n\n"),
    entry<entries::extract_symbols>("extract_symbols", "extract_symbols(code, language, filename)\n--\n\n"),
    entry<entries::extract_relationships>("extract_relationships", "extract_relationships(code, language)\n--\n\n"),
    entry<entries::extract_calls>("extract_calls", "extract_calls(code, language, current_function_name=None)\n--\n\n"),
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "morvane_native", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<int64_t> g_owner_interpreter{-1};
PyObject* g_module = nullptr;
std::mutex g_module_creation;

Status add_to_module(PyObject* module, PyObject* name, PyObject* object) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return python_raised();
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return python_raised();
  }
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    return make_error(ErrorKind::InternalFault, "could not append __name__ to __all__");
  }
  if (PyObject_SetAttr(module, name, object) < 0) return python_raised();
  return ok_status();
}

Status register_function(PyObject* module, PyMethodDef* def) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return python_raised();
  Ref function = Ref::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!function) return python_raised();
  Ref name = Ref::steal(PyObject_GetAttrString(function.get(), "__name__"));
  if (!name) return python_raised();
  if (!PyUnicode_Check(name.get())) return type_mismatch(name.get(), "str");
  return add_to_module(module, name.get(), function.get());
}

Status register_class(PyObject* module) {
  PyObject* type = entries::bm25_engine_type();
  if (!type) return python_raised();
  Ref name = Ref::steal(PyUnicode_FromString("BM25Engine"));
  if (!name) return python_raised();
  return add_to_module(module, name.get(), type);
}

Result<PyObject*> create_module() {
  Ref module = Ref::steal(PyModule_Create2(&kModuleDef, PYTHON_ABI_VERSION));
  if (!module) return python_raised();
  for (PyMethodDef& def : kEntries) {
    Status st = def.ml_name ? register_function(module.get(), &def) : register_class(module.get());
    if (!st.ok()) return st.take_error();
  }
  return module.release();
}

Result<PyObject*> init_module() {
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return python_raised();
  int64_t expected = -1;
  if (!g_owner_interpreter.compare_exchange_strong(expected, id) && expected != id) {
    return make_error(ErrorKind::ImportError,
                      "morvane_native does not support sub-interpreters: it is already loaded in another interpreter");
  }
  if (!g_module) {
    // Wait for the creation lock without the interpreter lock, so that a concurrent first
    // import on another thread cannot deadlock against us.
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock<std::mutex> lock(g_module_creation);
    PyEval_RestoreThread(state);
    if (!g_module) g_module = MN_TRY(create_module());
  }
  Py_INCREF(g_module);
  return g_module;
}

}  // namespace
}  // namespace mn

PyMODINIT_FUNC PyInit_morvane_native(void) {
  return mn::fault_barrier([]() -> PyObject* {
    auto module = mn::init_module();
    if (!module.ok()) {
      mn::raise(module.error());
      return nullptr;
    }
    return module.value();
  });
}
