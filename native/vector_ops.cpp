// Vector similarity and rank fusion: cosine similarity of float32 NumPy vectors (one pair,
// or one query against every row of a matrix) and reciprocal rank fusion of ranked lists.
//
// Every single-precision sum starts at -0.0 and adds its terms one at a time in index
// order, so results are reproducible bit for bit against a plain sequential loop. The
// batch kernel gets its speed without changing that order: each SIMD lane carries one
// row, so a vector addition advances the sums of several rows by one term each.

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binder.h"
#include "entries.h"
#include "hash_map.h"
#include "numpy_api.h"
#include "pool.h"

// Lane vectors wider than the baseline are passed only between functions that end up
// inlined into one target-specific kernel, so their argument ABI never matters.
#pragma GCC diagnostic ignored "-Wpsabi"

namespace mn::vectors {

using numpy::Float32Matrix;
using numpy::Float32Vector;

namespace {

inline float load_float(const char* p) {
  float value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

// The score of one row once its sums are known; shared by every kernel so that all of
// them finish with the same operations.
inline float finish_score(float dot, float row_squares, float query_norm) {
  if (row_squares == 0.0f) return 0.0f;
  return dot / (std::sqrt(row_squares) * query_norm);
}

// ---------------------------------------------------------------------------------------
// Batch kernel: one lane per row

struct BatchTask {
  const float* query;  // dense, aligned copy
  float query_norm;
  Float32Matrix documents;
};

template <int W>
struct LaneType {
  typedef float type __attribute__((vector_size(W * sizeof(float))));
};
template <int W>
using Lanes = typename LaneType<W>::type;

template <int W>
inline Lanes<W> splat(float x) {
  Lanes<W> v;
  for (int l = 0; l < W; ++l) v[l] = x;
  return v;
}

template <int W>
inline Lanes<W> load_lanes(const char* p) {
  Lanes<W> v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Exchanges bit H of the row index with bit H of the lane index for rows a and b = a + H.
template <int W, int H, size_t... L>
inline void butterfly(Lanes<W>& a, Lanes<W>& b, std::index_sequence<L...>) {
  Lanes<W> low = __builtin_shufflevector(a, b, ((L & H) ? W + L - H : L)...);
  Lanes<W> high = __builtin_shufflevector(a, b, ((L & H) ? W + L : L + H)...);
  a = low;
  b = high;
}

// In-register transpose of a W x W tile: afterwards tile[k] holds column k of the rows.
template <int W, int H = W / 2>
inline void transpose(Lanes<W> (&tile)[W]) {
  for (int i = 0; i < W; ++i) {
    if (!(i & H)) butterfly<W, H>(tile[i], tile[i + H], std::make_index_sequence<W>{});
  }
  if constexpr (H > 1) transpose<W, H / 2>(tile);
}

// Scores rows [first, first + count), count <= W * G, into out[0 .. count). The G groups
// of W rows are interleaved so that their chains of dependent additions overlap.
template <int W, int G>
inline void score_group(const BatchTask& task, size_t first, size_t count, float* out) {
  using V = Lanes<W>;
  const Float32Matrix& m = task.documents;
  const char* rows[G][W];
  for (int g = 0; g < G; ++g) {
    for (int l = 0; l < W; ++l) {
      size_t r = first + std::min<size_t>(g * W + l, count - 1);  // a short block repeats its last row
      rows[g][l] = m.data + static_cast<ptrdiff_t>(r) * m.row_stride;
    }
  }
  V dot[G], squares[G];
  for (int g = 0; g < G; ++g) dot[g] = squares[g] = splat<W>(-0.0f);
  auto add_term = [&](int g, V x, float q) {
    dot[g] = dot[g] + splat<W>(q) * x;
    squares[g] = squares[g] + x * x;
  };
  size_t j = 0;
  if (m.col_stride == sizeof(float)) {
    // The rows of the next block, line by line as this block passes the same columns, so
    // that they are in cache when it starts: W * G streams are more than the hardware
    // prefetcher follows.
    const uintptr_t next_block = static_cast<uintptr_t>(static_cast<ptrdiff_t>(W * G) * m.row_stride);
    for (; j + W <= m.cols; j += W) {
      if ((j * sizeof(float)) % 64 < W * sizeof(float)) {
        for (int g = 0; g < G; ++g) {
          for (int l = 0; l < W; ++l) {
            __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(rows[g][l]) + next_block +
                                                             j * sizeof(float)));
          }
        }
      }
      for (int g = 0; g < G; ++g) {
        V tile[W];
        for (int l = 0; l < W; ++l) tile[l] = load_lanes<W>(rows[g][l] + j * sizeof(float));
        transpose<W>(tile);
        for (int k = 0; k < W; ++k) add_term(g, tile[k], task.query[j + k]);
      }
    }
  } else if (m.row_stride == sizeof(float) && count == W * G) {
    for (; j < m.cols; ++j) {
      for (int g = 0; g < G; ++g) {
        add_term(g, load_lanes<W>(rows[g][0] + static_cast<ptrdiff_t>(j) * m.col_stride), task.query[j]);
      }
    }
  }
  for (; j < m.cols; ++j) {
    for (int g = 0; g < G; ++g) {
      V x;
      for (int l = 0; l < W; ++l) x[l] = load_float(rows[g][l] + static_cast<ptrdiff_t>(j) * m.col_stride);
      add_term(g, x, task.query[j]);
    }
  }
  for (size_t i = 0; i < count; ++i) out[i] = finish_score(dot[i / W][i % W], squares[i / W][i % W], task.query_norm);
}

// Rows per block of the kernel with W lanes.
template <int W>
constexpr size_t kBlockRows = 2 * W;

template <int W>
inline void score_range(const BatchTask& task, size_t block_begin, size_t block_end, float* out) {
  constexpr size_t kRows = kBlockRows<W>;
  size_t rows = task.documents.rows;
  for (size_t b = block_begin; b < block_end; ++b) {
    size_t first = b * kRows;
    score_group<W, kRows / W>(task, first, std::min<size_t>(kRows, rows - first), out + first);
  }
}

using RangeKernel = void (*)(const BatchTask&, size_t, size_t, float*);

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"), flatten)) void score_range_avx(const BatchTask& task, size_t begin, size_t end,
                                                             float* out) {
  score_range<8>(task, begin, end, out);
}
#endif
__attribute__((flatten)) void score_range_base(const BatchTask& task, size_t begin, size_t end, float* out) {
  score_range<4>(task, begin, end, out);
}

struct KernelChoice {
  RangeKernel kernel;
  size_t block_rows;
};

KernelChoice pick_kernel() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx")) return {score_range_avx, kBlockRows<8>};
#endif
  return {score_range_base, kBlockRows<4>};
}

void score_rows(const BatchTask& task, float* out) {
  static const KernelChoice choice = pick_kernel();
  size_t blocks = (task.documents.rows + choice.block_rows - 1) / choice.block_rows;
  // Enough elements per range that handing it to another thread pays off.
  size_t elements_per_block = choice.block_rows * std::max<size_t>(task.documents.cols, 1);
  size_t min_blocks = std::max<size_t>(1, (size_t{1} << 16) / elements_per_block);
  pool::parallel_for(blocks, min_blocks, [&](size_t begin, size_t end) { choice.kernel(task, begin, end, out); });
}

}  // namespace

Result<float> cosine_similarity(const Float32Vector& a, const Float32Vector& b) {
  if (!a.contiguous || !b.contiguous) return make_error(ErrorKind::TypeError, "The given array is not contiguous");
  if (a.size != b.size) return make_error(ErrorKind::ValueError, "Vectors must have the same length");
  if (a.size == 0) return 0.0f;
  float dot = -0.0f, left = -0.0f, right = -0.0f;
  for (size_t i = 0; i < a.size; ++i) {
    float x = load_float(a.data + i * sizeof(float));
    float y = load_float(b.data + i * sizeof(float));
    dot = dot + x * y;
    left = left + x * x;
    right = right + y * y;
  }
  if (left == 0.0f || right == 0.0f) return 0.0f;
  return dot / (std::sqrt(left) * std::sqrt(right));
}

Result<PyResult> cosine_similarity_batch(const Float32Vector& query, const Float32Matrix& documents) {
  if (!query.contiguous) return make_error(ErrorKind::TypeError, "The given array is not contiguous");
  if (query.size != documents.cols) {
    return make_error(ErrorKind::ValueError, "query length " + std::to_string(query.size) +
                                                 " does not match document vector size " +
                                                 std::to_string(documents.cols));
  }
  std::vector<float> dense(query.size);
  if (query.size) std::memcpy(dense.data(), query.data, query.size * sizeof(float));
  float query_squares = -0.0f;
  for (float x : dense) query_squares = query_squares + x * x;
  if (dense.empty() || query_squares == 0.0f) {
    return numpy::array_from_buffer(numpy::Float32Buffer(documents.rows, /*zeroed=*/true));
  }
  numpy::Float32Buffer scores(documents.rows);
  BatchTask task{dense.data(), std::sqrt(query_squares), documents};
  without_gil([&] { score_rows(task, scores.data()); });
  return numpy::array_from_buffer(std::move(scores));
}

// ---------------------------------------------------------------------------------------
// Reciprocal rank fusion

// Document IDs keep the caller's str objects, so the result hands them back unchanged.
using RankedList = std::vector<std::pair<StrArg, float>>;

// The distinct document IDs with their fused sums, in first-seen order, and the order in
// which they rank.
struct Fused {
  std::vector<StrArg> ids;
  std::vector<float> sums;
  std::vector<uint32_t> ranking;  // indices into ids, best first
};

namespace {

// A key whose unsigned order is the ranking order: higher scores first, every NaN after
// every number, and ties (NaNs among themselves, and -0.0 with 0.0) in first-seen order.
uint64_t ranking_key(float score, uint32_t index) {
  uint32_t descending;
  if (std::isnan(score)) {
    descending = UINT32_MAX;
  } else {
    if (score == 0.0f) score = 0.0f;
    uint32_t bits;
    std::memcpy(&bits, &score, sizeof bits);
    uint32_t ascending = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    descending = UINT32_MAX - 1 - ascending;  // the largest number maps below UINT32_MAX
  }
  return (uint64_t{descending} << 32) | index;
}

// `weight(i)` is the numerator for list i: 1 for the plain form, the list's weight else.
template <class Weight>
Fused fuse(const std::vector<RankedList>& lists, float k, Weight weight) {
  size_t pairs = 0;
  for (const RankedList& list : lists) pairs += list.size();
  StringIndex slot_of(std::min<size_t>(pairs, size_t{1} << 20));  // document ID -> its entry
  Fused fused;
  fused.ids.reserve(pairs);
  fused.sums.reserve(pairs);
  for (size_t i = 0; i < lists.size(); ++i) {
    float numerator = weight(i);
    for (size_t rank = 0; rank < lists[i].size(); ++rank) {
      float contribution = numerator / ((static_cast<float>(rank) + k) + 1.0f);
      const StrArg& id = lists[i][rank].first;
      size_t slot = slot_of.find_or_add(id.text);
      if (slot == fused.ids.size()) {
        fused.ids.push_back(id);
        fused.sums.push_back(0.0f);
      }
      float& sum = fused.sums[slot];
      sum = contribution + sum;
    }
  }
  // IDs are numbered from a vector of views, which cannot hold 2^32 of them in memory.
  std::vector<uint64_t> keys(fused.ids.size());
  for (size_t i = 0; i < keys.size(); ++i) keys[i] = ranking_key(fused.sums[i], static_cast<uint32_t>(i));
  std::sort(keys.begin(), keys.end());
  fused.ranking.resize(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) fused.ranking[i] = static_cast<uint32_t>(keys[i]);
  return fused;
}

}  // namespace

Ref to_python(const Fused& fused) {
  // The call keeps the IDs' str objects alive until the result is built.
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(fused.ranking.size())));
  if (!list) return list;
  for (size_t i = 0; i < fused.ranking.size(); ++i) {
    uint32_t index = fused.ranking[i];
    Ref score = Ref::steal(PyFloat_FromDouble(static_cast<double>(fused.sums[index])));
    if (!score) return Ref();
    PyObject* entry = PyTuple_Pack(2, fused.ids[index].object, score.get());
    if (!entry) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), entry);
  }
  return list;
}

Fused reciprocal_rank_fusion(const std::vector<RankedList>& lists, float k) {
  return fuse(lists, k, [](size_t) { return 1.0f; });
}

Result<Fused> reciprocal_rank_fusion_weighted(const std::vector<RankedList>& lists, const std::vector<float>& weights,
                                              float k) {
  if (lists.size() != weights.size()) {
    return make_error(ErrorKind::ValueError, "Number of ranked lists must match number of weights");
  }
  return fuse(lists, k, [&](size_t i) { return weights[i]; });
}

}  // namespace mn::vectors

namespace mn {
namespace kind {
// Ranked lists: a sequence of sequences of (str, single float) pairs.
struct RankedLists {
  using native = std::vector<vectors::RankedList>;
};
}  // namespace kind

// The common shape (exact lists or tuples of exact tuples of an exact str and an exact
// float or int) is read directly, without the general conversion's per-item protocol
// calls; anything else, including every input that fails, goes the general way, which
// then reports the error. Both keep every ID's str alive for the call: converting a later
// argument may run Python code that drops the caller's references.
template <>
struct Converter<kind::RankedLists> {
  using General = kind::Sequence<kind::Sequence<kind::Pair<kind::StringObject, kind::Single>>>;

  static Result<std::vector<vectors::RankedList>> convert(CallScope& scope, PyObject* obj) {
    std::vector<vectors::RankedList> lists;
    if (convert_plain(scope, obj, lists)) return lists;
    return Converter<General>::convert(scope, obj);
  }

 private:
  static bool exact_sequence(PyObject* obj) { return PyList_CheckExact(obj) || PyTuple_CheckExact(obj); }
  static Py_ssize_t size_of(PyObject* obj) { return PyList_CheckExact(obj) ? PyList_Size(obj) : PyTuple_Size(obj); }
  static PyObject* item_of(PyObject* obj, Py_ssize_t i) {
    return PyList_CheckExact(obj) ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i);
  }

  static bool convert_plain(CallScope& scope, PyObject* obj, std::vector<vectors::RankedList>& lists) {
    if (!exact_sequence(obj)) return false;
    Py_ssize_t count = size_of(obj);
    lists.resize(static_cast<size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* list = item_of(obj, i);
      if (!exact_sequence(list)) return false;
      Py_ssize_t size = size_of(list);
      vectors::RankedList& out = lists[static_cast<size_t>(i)];
      out.reserve(static_cast<size_t>(size));
      for (Py_ssize_t j = 0; j < size; ++j) {
        PyObject* pair = item_of(list, j);
        if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2) return false;
        PyObject* id = PyTuple_GetItem(pair, 0);
        PyObject* score = PyTuple_GetItem(pair, 1);
        if (!PyUnicode_CheckExact(id) || !(PyFloat_CheckExact(score) || PyLong_CheckExact(score))) return false;
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(id, &length);
        double value = text ? PyFloat_AsDouble(score) : 0.0;
        if (!text || (value == -1.0 && PyErr_Occurred())) {
          PyErr_Clear();
          return false;
        }
        scope.keep(id);
        out.emplace_back(StrArg{std::string_view(text, static_cast<size_t>(length)), id}, static_cast<float>(value));
      }
    }
    return true;
  }
};
}  // namespace mn

namespace mn::entries {
namespace {
constexpr Signature<2> kCosineSig{"cosine_similarity()", {"vec1", "vec2"}, 2};
constexpr Signature<2> kCosineBatchSig{"cosine_similarity_batch()", {"query", "documents"}, 2};
constexpr Signature<2> kFusionSig{"reciprocal_rank_fusion()", {"ranked_lists", "k"}, 1};
constexpr Signature<3> kWeightedFusionSig{"reciprocal_rank_fusion_weighted()", {"ranked_lists", "weights", "k"}, 2};
using RankedLists = kind::RankedLists;
using FusionK = kind::WithDefault<kind::Single, 60.0>;
}  // namespace

PyObject* cosine_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::Float32Vector, kind::Float32Vector>(kCosineSig, args, nargs, kwnames,
                                                             vectors::cosine_similarity);
}

PyObject* cosine_similarity_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::Float32Vector, kind::Float32Matrix>(kCosineBatchSig, args, nargs, kwnames,
                                                             vectors::cosine_similarity_batch);
}

PyObject* reciprocal_rank_fusion(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<RankedLists, FusionK>(kFusionSig, args, nargs, kwnames, vectors::reciprocal_rank_fusion);
}

PyObject* reciprocal_rank_fusion_weighted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<RankedLists, kind::Sequence<kind::Single>, FusionK>(kWeightedFusionSig, args, nargs, kwnames,
                                                                        vectors::reciprocal_rank_fusion_weighted);
}

}  // namespace mn::entries
