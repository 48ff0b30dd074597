"""Native kernels for source-code search and retrieval."""

from collections.abc import Sequence
from typing import TypedDict

from typing_extensions import disjoint_base

import numpy
import numpy.typing

__all__ = [
    "cosine_similarity",
    "cosine_similarity_batch",
    "reciprocal_rank_fusion",
    "reciprocal_rank_fusion_weighted",
    "BM25Engine",
    "pagerank",
    "bfs_expansion",
    "bfs_traversal_edges",
    "strongly_connected_components",
    "extract_code_tokens",
    "tokenize_for_search",
    "batch_extract_tokens",
    "batch_tokenize_queries",
    "compute_file_hash",
    "jaccard_similarity",
    "jaccard_similarity_batch",
    "mmr_select_indices",
    "extract_code_by_line_range",
    "is_language_supported",
    "extract_imports_ast",
    "extract_symbols",
    "extract_relationships",
    "extract_calls",
]

_Float32Vector = numpy.typing.NDArray[numpy.float32]
_Edge = tuple[str, str]

# name, kind, line_start, line_end, signature, docstring, parent, visibility, role
_SymbolRecord = tuple[str, str, int, int, str, str | None, str | None, str, str]
# callee, line, call_type, context, receiver, is_recursive
_CallRecord = tuple[str, int, str, str | None, str | None, bool]
# source, target, relation, line, weight
_RelationshipRecord = tuple[str, str, str, int, float]
# source_file, target_file, relation_type, hop_distance
_TraversalEdge = tuple[str, str, str, int]

class _LineRange(TypedDict):
    code: str
    extracted_line_start: int
    extracted_line_end: int
    file_line_count: int
    truncated: bool

def cosine_similarity(vec1: _Float32Vector, vec2: _Float32Vector) -> float: ...
def cosine_similarity_batch(query: _Float32Vector, documents: _Float32Vector) -> _Float32Vector: ...
def reciprocal_rank_fusion(ranked_lists: Sequence[Sequence[tuple[str, float]]], k: float = 60.0) -> list[tuple[str, float]]: ...
def reciprocal_rank_fusion_weighted(
    ranked_lists: Sequence[Sequence[tuple[str, float]]], weights: Sequence[float], k: float = 60.0
) -> list[tuple[str, float]]: ...

@disjoint_base
class BM25Engine:
    def __new__(cls, k1: float = 1.5, b: float = 0.75, delta: float = 1.0) -> BM25Engine: ...
    def index(self, documents: Sequence[str]) -> None: ...
    def score(self, query: str, top_k: int | None = None, score_threshold: float = 0.0) -> list[tuple[int, float]]: ...
    def get_stats(self) -> dict[str, float]: ...

def pagerank(edges: Sequence[_Edge], damping: float = 0.85, max_iterations: int = 100, tolerance: float = 1e-06) -> dict[str, float]: ...
def bfs_expansion(
    edges: Sequence[_Edge], start_nodes: Sequence[str], max_hops: int = 3, max_results: int = 30, bidirectional: bool = True
) -> dict[str, int]: ...
def bfs_traversal_edges(
    edges: Sequence[_Edge], start_nodes: Sequence[str], max_hops: int = 3, max_results: int = 30, bidirectional: bool = True
) -> list[_TraversalEdge]: ...
def strongly_connected_components(edges: Sequence[_Edge]) -> list[list[str]]: ...
def extract_code_tokens(text: str) -> list[str]: ...
def tokenize_for_search(query: str) -> list[str]: ...
def batch_extract_tokens(texts: Sequence[str]) -> list[list[str]]: ...
def batch_tokenize_queries(queries: Sequence[str]) -> list[list[str]]: ...
def compute_file_hash(content: str) -> str: ...
def jaccard_similarity(text1: str, text2: str) -> float: ...
def jaccard_similarity_batch(query: str, texts: Sequence[str]) -> list[float]: ...
def mmr_select_indices(scores: Sequence[float], contents: Sequence[str], target_count: int, lambda_param: float = 0.7) -> list[int]: ...
def extract_code_by_line_range(
    repo_path: str, filename: str, line_start: int, line_end: int, max_code_chars: int | None = None
) -> _LineRange: ...
def is_language_supported(language: str) -> bool: ...
def extract_imports_ast(code: str, language: str) -> list[str]: ...
def extract_symbols(code: str, language: str, filename: str) -> list[_SymbolRecord]: ...
def extract_relationships(code: str, language: str) -> list[_RelationshipRecord]: ...
def extract_calls(code: str, language: str, current_function_name: str | None = None) -> list[_CallRecord]: ...
