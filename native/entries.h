// The Python entry wrappers of every family, registered by lib.cpp in a fixed order.
// Each takes the fast-call-with-keywords arguments and returns a new reference or NULL.
#pragma once

#include <Python.h>

namespace mn::entries {

#define MN_DECLARE_ENTRY(name) PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)

// vector_ops.cpp
MN_DECLARE_ENTRY(cosine_similarity);
MN_DECLARE_ENTRY(cosine_similarity_batch);
MN_DECLARE_ENTRY(reciprocal_rank_fusion);
MN_DECLARE_ENTRY(reciprocal_rank_fusion_weighted);
// graph_algos.cpp
MN_DECLARE_ENTRY(pagerank);
MN_DECLARE_ENTRY(bfs_expansion);
MN_DECLARE_ENTRY(bfs_traversal_edges);
MN_DECLARE_ENTRY(strongly_connected_components);
// tokenizer.cpp
MN_DECLARE_ENTRY(extract_code_tokens);
MN_DECLARE_ENTRY(tokenize_for_search);
MN_DECLARE_ENTRY(batch_extract_tokens);
MN_DECLARE_ENTRY(batch_tokenize_queries);
// utils.cpp
MN_DECLARE_ENTRY(compute_file_hash);
MN_DECLARE_ENTRY(jaccard_similarity);
MN_DECLARE_ENTRY(jaccard_similarity_batch);
MN_DECLARE_ENTRY(mmr_select_indices);
MN_DECLARE_ENTRY(extract_code_by_line_range);
// code_parser.cpp
MN_DECLARE_ENTRY(is_language_supported);
MN_DECLARE_ENTRY(extract_imports_ast);
MN_DECLARE_ENTRY(extract_symbols);
MN_DECLARE_ENTRY(extract_relationships);
MN_DECLARE_ENTRY(extract_calls);

#undef MN_DECLARE_ENTRY

// bm25.cpp: the BM25Engine class object, created on first call and kept for the life of
// the process. Returns a borrowed reference, or NULL with an exception set.
PyObject* bm25_engine_type();

}  // namespace mn::entries
