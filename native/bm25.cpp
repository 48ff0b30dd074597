// The lexical ranking engine: BM25Engine, its Unicode word tokenizer, an inverted index
// of precomputed BM25+ term weights, and query scoring over that index.
//
// A document's BM25+ contribution for a term depends only on the term's frequency in the
// document, the document's length, the term's idf and the engine parameters, none of
// which change between `index` calls. So `index` computes every (term, document) weight
// once, in exactly the single-precision order of the formula, and stores it in postings
// sorted by document. A query then adds the weights of its tokens' postings into per-
// document accumulators in query-token order, which is the same sequence of float
// additions the formula performs, and costs time in proportion to those postings only.
#include <Python.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binder.h"
#include "entries.h"
#include "hash_map.h"
#include "pool.h"
#include "unicode.h"
#include "word_break.h"

namespace mn::bm25 {

struct Params {
  float k1, b, delta;
};

// ---------------------------------------------------------------------------------------
// Tokenizer: UAX #29 word segments holding a letter or number, fully lowercased.

namespace {

bool is_ascii_alnum(unsigned char c) { return unsigned(c | 0x20) - 'a' < 26u || unsigned(c) - '0' < 10u; }
bool is_ascii_upper(unsigned char c) { return unsigned(c) - 'A' < 26u; }

// Calls emit(token) for each token of `text`; the view is valid only during the call.
template <class Emit>
void for_each_token(std::string_view text, std::string& lowered, Emit&& emit) {
  unicode::for_each_word_segment(text, [&](size_t begin, size_t end) {
    std::string_view segment = text.substr(begin, end - begin);
    bool alnum = false;
    bool plain = true;  // ASCII without capitals: already its own lowercase form
    for (size_t i = 0; i < segment.size();) {
      auto c = static_cast<unsigned char>(segment[i]);
      if (c < 0x80) {
        alnum = alnum || is_ascii_alnum(c);
        plain = plain && !is_ascii_upper(c);
        ++i;
        continue;
      }
      plain = false;
      char32_t cp = unicode::decode_utf8(segment, i);
      alnum = alnum || (unicode::char_flags(cp) &
                        (unicode::tables::kCharFlagAlphabetic | unicode::tables::kCharFlagNumberN));
    }
    if (!alnum) return;
    if (plain) {
      emit(segment);
      return;
    }
    lowered.clear();
    unicode::append_lowercase(lowered, segment);
    emit(std::string_view(lowered));
  });
}

std::vector<std::string> tokenize(std::string_view text) {
  std::vector<std::string> tokens;
  std::string lowered;
  for_each_token(text, lowered, [&](std::string_view token) { tokens.emplace_back(token); });
  return tokens;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Term tables: strings interned as dense ids 0, 1, 2, ... in order of first insertion.
// One flat byte arena and an open-addressing slot array, so that the per-token lookup
// of indexing touches two cache lines instead of a chain of nodes.

class TermTable {
 public:
  static uint64_t hash(std::string_view term) { return StringHash{}(term); }

  size_t size() const { return hashes_.size(); }
  std::string_view term(uint32_t id) const {
    size_t begin = id == 0 ? 0 : ends_[id - 1];
    return {bytes_.data() + begin, ends_[id] - begin};
  }
  uint64_t hash_of(uint32_t id) const { return hashes_[id]; }

  // The id of `term` (whose hash is `h`), adding it when absent; `added` tells which.
  uint32_t intern(std::string_view term, uint64_t h, bool& added) {
    if ((size() + 1) * 2 > slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      Slot& slot = slots_[i];
      if (slot.id == kEmpty) {
        auto id = static_cast<uint32_t>(size());
        slot = {id, tag(h)};
        bytes_.append(term);
        ends_.push_back(bytes_.size());
        hashes_.push_back(h);
        added = true;
        return id;
      }
      if (slot.tag == tag(h) && term == this->term(slot.id)) {
        added = false;
        return slot.id;
      }
    }
  }

  std::optional<uint32_t> find(std::string_view term) const {
    if (slots_.empty()) return std::nullopt;
    uint64_t h = hash(term);
    size_t mask = slots_.size() - 1;
    for (size_t i = h & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.id == kEmpty) return std::nullopt;
      if (slot.tag == tag(h) && term == this->term(slot.id)) return slot.id;
    }
  }

 private:
  static constexpr uint32_t kEmpty = UINT32_MAX;
  struct Slot {
    uint32_t id;
    uint32_t tag;  // high bits of the hash, to skip most string comparisons
  };
  static uint32_t tag(uint64_t h) { return static_cast<uint32_t>(h >> 32); }

  void grow() {
    std::vector<Slot> slots(std::max<size_t>(slots_.size() * 2, 64), Slot{kEmpty, 0});
    size_t mask = slots.size() - 1;
    for (uint32_t id = 0; id < size(); ++id) {
      size_t i = hashes_[id] & mask;
      while (slots[i].id != kEmpty) i = (i + 1) & mask;
      slots[i] = {id, tag(hashes_[id])};
    }
    slots_ = std::move(slots);
  }

  std::string bytes_;             // every term, back to back
  std::vector<size_t> ends_;      // by id: end of the term in bytes_
  std::vector<uint64_t> hashes_;  // by id
  std::vector<Slot> slots_;       // size a power of two, at most half full
};

// ---------------------------------------------------------------------------------------
// The index of one corpus

struct Posting {
  uint32_t doc;
  float weight;  // the term's BM25+ contribution to this document's score
};

using Hit = std::pair<uint64_t, float>;  // (document index, score)

// Per-query accumulators, one slot per document. A slot is live only when its stamp
// equals the current generation, so a query never clears what earlier ones wrote.
struct Scratch {
  std::vector<float> score;
  std::vector<uint32_t> stamp;
  uint32_t generation = 0;
  std::vector<std::vector<uint32_t>> touched;  // documents first reached, per range

  explicit Scratch(size_t num_docs) : score(num_docs), stamp(num_docs) {}

  void next_generation() {
    if (++generation == 0) {
      std::fill(stamp.begin(), stamp.end(), 0);
      generation = 1;
    }
  }
};

// Scratch buffers for concurrent queries: each query takes one and gives it back.
class ScratchPool {
 public:
  std::unique_ptr<Scratch> take(size_t num_docs) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (!free_.empty()) {
        std::unique_ptr<Scratch> scratch = std::move(free_.back());
        free_.pop_back();
        return scratch;
      }
    }
    return std::make_unique<Scratch>(num_docs);
  }

  void give(std::unique_ptr<Scratch> scratch) {
    std::lock_guard<std::mutex> lock(mu_);
    free_.push_back(std::move(scratch));
  }

 private:
  std::mutex mu_;
  std::vector<std::unique_ptr<Scratch>> free_;
};

struct ScratchLease {
  ScratchPool& pool;
  std::unique_ptr<Scratch> scratch;
  ~ScratchLease() { pool.give(std::move(scratch)); }
};

// Immutable once built, so any number of queries may read it at once.
struct Corpus {
  uint64_t num_docs = 0;
  float avg_doc_length = 0.0f;
  TermTable terms;
  std::vector<size_t> postings_start;  // term t owns postings[postings_start[t], postings_start[t + 1])
  std::vector<Posting> postings;
  mutable ScratchPool scratch;

  std::span<const Posting> postings_of(uint32_t term) const {
    return {postings.data() + postings_start[term], postings.data() + postings_start[term + 1]};
  }
};

// ---------------------------------------------------------------------------------------
// Indexing

namespace {

// ln((N - n + 0.5) / (n + 0.5) + 1) with single-precision operations. The logarithm is
// taken in double precision and rounded once to single: that is the correctly rounded
// single-precision value, which the C library's logf does not always give.
float inverse_document_frequency(uint64_t num_docs, uint64_t doc_freq) {
  float n_docs = static_cast<float>(num_docs);
  float n = static_cast<float>(doc_freq);
  float ratio = (n_docs - n + 0.5f) / (n + 0.5f);
  return static_cast<float>(std::log(static_cast<double>(ratio + 1.0f)));
}

float length_norm(uint64_t doc_length, float avg_doc_length, const Params& p) {
  float avgdl = avg_doc_length > 0.0f ? avg_doc_length : 1.0f;
  return ((static_cast<float>(doc_length) / avgdl) * p.b + (1.0f - p.b)) * p.k1;
}

float term_weight(uint64_t term_freq, float norm, float idf, const Params& p) {
  float f = static_cast<float>(term_freq);
  float saturated = (p.k1 + 1.0f) * f / (f + norm);
  return (saturated + p.delta) * idf;
}

struct TermCount {
  uint32_t term;  // block-local term id
  uint64_t count;
};

// The tokens of a contiguous block of documents, counted per document against a
// vocabulary local to the block, so that blocks are built on separate threads.
struct Block {
  size_t first_doc = 0;
  TermTable terms;                      // block-local ids
  std::vector<uint32_t> doc_freq;       // by local id: documents of the block holding it
  std::vector<TermCount> counts;        // each document's distinct terms, document after document
  std::vector<size_t> counts_end;       // by document of the block
  std::vector<uint64_t> doc_length;     // by document of the block
  std::vector<uint32_t> global_id;      // by local id, filled by the merge
  std::vector<size_t> cursor;           // by local id: next postings slot, filled by the merge
};

void tokenize_block(std::span<const std::string_view> docs, Block& block) {
  std::vector<uint32_t> last_doc;  // by local id: 1 + the block document that last held it
  std::vector<size_t> slot;        // by local id: its entry in `counts` for that document
  std::string lowered;
  for (size_t i = 0; i < docs.size(); ++i) {
    auto marker = static_cast<uint32_t>(i + 1);
    uint64_t length = 0;
    for_each_token(docs[i], lowered, [&](std::string_view token) {
      ++length;
      bool added;
      uint32_t id = block.terms.intern(token, TermTable::hash(token), added);
      if (added) {
        block.doc_freq.push_back(0);
        last_doc.push_back(0);
        slot.push_back(0);
      }
      if (last_doc[id] == marker) {
        ++block.counts[slot[id]].count;
        return;
      }
      last_doc[id] = marker;
      slot[id] = block.counts.size();
      block.counts.push_back({id, 1});
      ++block.doc_freq[id];
    });
    block.counts_end.push_back(block.counts.size());
    block.doc_length.push_back(length);
  }
}

// Gives every block term its global id and every (block, term) its first postings slot,
// in block order so that each term's postings come out sorted by document.
void merge_vocabularies(std::vector<Block>& blocks, Corpus& corpus, std::vector<uint64_t>& doc_freq) {
  for (Block& block : blocks) {
    block.global_id.resize(block.terms.size());
    for (uint32_t id = 0; id < block.terms.size(); ++id) {
      bool added;
      uint32_t term = corpus.terms.intern(block.terms.term(id), block.terms.hash_of(id), added);
      if (added) doc_freq.push_back(0);
      block.global_id[id] = term;
      doc_freq[term] += block.doc_freq[id];
    }
  }
  corpus.postings_start.assign(doc_freq.size() + 1, 0);
  for (size_t t = 0; t < doc_freq.size(); ++t) corpus.postings_start[t + 1] = corpus.postings_start[t] + doc_freq[t];
  std::vector<size_t> next(corpus.postings_start.begin(), corpus.postings_start.end() - 1);
  for (Block& block : blocks) {
    block.cursor.resize(block.terms.size());
    for (size_t id = 0; id < block.terms.size(); ++id) {
      uint32_t term = block.global_id[id];
      block.cursor[id] = next[term];
      next[term] += block.doc_freq[id];
    }
  }
}

void fill_postings(Block& block, const std::vector<float>& idf, Corpus& corpus, const Params& p) {
  size_t entry = 0;
  for (size_t i = 0; i < block.doc_length.size(); ++i) {
    auto doc = static_cast<uint32_t>(block.first_doc + i);
    float norm = length_norm(block.doc_length[i], corpus.avg_doc_length, p);
    for (; entry < block.counts_end[i]; ++entry) {
      const TermCount& tc = block.counts[entry];
      uint32_t term = block.global_id[tc.term];
      corpus.postings[block.cursor[tc.term]++] = {doc, term_weight(tc.count, norm, idf[term], p)};
    }
  }
}

}  // namespace

Result<std::unique_ptr<Corpus>> build_corpus(const std::vector<std::string_view>& docs, const Params& p) {
  if (docs.size() > UINT32_MAX) return make_error(ErrorKind::MemoryError, "too many documents for one index");
  auto corpus = std::make_unique<Corpus>();
  corpus->num_docs = docs.size();
  size_t block_count = std::min(docs.size(), pool::worker_count() * 4);
  std::vector<Block> blocks(block_count);
  for (size_t b = 0; b < block_count; ++b) blocks[b].first_doc = docs.size() * b / block_count;
  auto block_docs = [&](size_t b) {
    size_t end = b + 1 < block_count ? blocks[b + 1].first_doc : docs.size();
    return std::span<const std::string_view>(docs.data() + blocks[b].first_doc, end - blocks[b].first_doc);
  };
  pool::parallel_for(block_count, 1, [&](size_t begin, size_t end) {
    for (size_t b = begin; b < end; ++b) tokenize_block(block_docs(b), blocks[b]);
  });

  uint64_t total_length = 0;
  for (const Block& block : blocks) {
    for (uint64_t length : block.doc_length) total_length += length;
  }
  if (corpus->num_docs > 0) {
    corpus->avg_doc_length = static_cast<float>(total_length) / static_cast<float>(corpus->num_docs);
  }

  std::vector<uint64_t> doc_freq;
  merge_vocabularies(blocks, *corpus, doc_freq);
  std::vector<float> idf(doc_freq.size());
  for (size_t t = 0; t < doc_freq.size(); ++t) idf[t] = inverse_document_frequency(corpus->num_docs, doc_freq[t]);
  corpus->postings.resize(corpus->postings_start.back());
  pool::parallel_for(block_count, 1, [&](size_t begin, size_t end) {
    for (size_t b = begin; b < end; ++b) fill_postings(blocks[b], idf, *corpus, p);
  });
  return corpus;
}

// ---------------------------------------------------------------------------------------
// Scoring

namespace {

// Below this many postings a query is scored on the calling thread alone.
constexpr size_t kParallelPostings = size_t{1} << 16;

// Adds the postings of documents [lo, hi) into the accumulators, list after list in
// query-token order, so each document sums its contributions in that order.
void accumulate(std::span<const std::span<const Posting>> lists, uint32_t lo, uint32_t hi, Scratch& scratch,
                std::vector<uint32_t>& touched) {
  const uint32_t generation = scratch.generation;
  float* score = scratch.score.data();
  uint32_t* stamp = scratch.stamp.data();
  for (std::span<const Posting> list : lists) {
    auto it = lo == 0 ? list.begin()
                      : std::partition_point(list.begin(), list.end(), [&](const Posting& x) { return x.doc < lo; });
    for (; it != list.end() && it->doc < hi; ++it) {
      uint32_t doc = it->doc;
      if (stamp[doc] != generation) {
        stamp[doc] = generation;
        score[doc] = 0.0f;
        touched.push_back(doc);
      }
      score[doc] += it->weight;
    }
  }
}

// Best first; equal scores in document order. A strict total order on hits (which are
// never NaN), so a partial selection yields exactly the prefix of the full sort.
bool ranks_before(const Hit& a, const Hit& b) { return a.second > b.second || (a.second == b.second && a.first < b.first); }

}  // namespace

std::vector<Hit> score_query(const Corpus& corpus, std::string_view query, std::optional<uint64_t> top_k,
                             float threshold) {
  std::vector<Hit> hits;
  if (corpus.num_docs == 0) return hits;
  std::vector<std::span<const Posting>> lists;
  size_t total_postings = 0;
  for (const std::string& token : tokenize(query)) {
    std::optional<uint32_t> term = corpus.terms.find(token);
    if (!term) continue;  // contributes to no document
    lists.push_back(corpus.postings_of(*term));
    total_postings += lists.back().size();
  }

  ScratchLease lease{corpus.scratch, corpus.scratch.take(corpus.num_docs)};
  Scratch& scratch = *lease.scratch;
  scratch.next_generation();
  size_t workers = pool::worker_count();
  size_t ranges = total_postings >= kParallelPostings && workers > 1 ? workers * 4 : 1;
  scratch.touched.resize(ranges);
  const auto num_docs = static_cast<uint32_t>(corpus.num_docs);
  pool::parallel_for(ranges, 1, [&](size_t begin, size_t end) {
    for (size_t r = begin; r < end; ++r) {
      scratch.touched[r].clear();
      accumulate(lists, static_cast<uint32_t>(uint64_t{num_docs} * r / ranges),
                 static_cast<uint32_t>(uint64_t{num_docs} * (r + 1) / ranges), scratch, scratch.touched[r]);
    }
  });

  // Documents no posting reached score exactly 0.0; only a negative threshold lets them in.
  if (0.0f > threshold) {
    hits.reserve(num_docs);
    for (uint32_t doc = 0; doc < num_docs; ++doc) {
      float s = scratch.stamp[doc] == scratch.generation ? scratch.score[doc] : 0.0f;
      if (s > threshold) hits.emplace_back(doc, s);
    }
  } else {
    for (const std::vector<uint32_t>& touched : scratch.touched) {
      for (uint32_t doc : touched) {
        float s = scratch.score[doc];
        if (s > threshold) hits.emplace_back(doc, s);
      }
    }
  }

  if (top_k && *top_k < hits.size()) {
    auto cut = hits.begin() + static_cast<std::ptrdiff_t>(*top_k);
    std::nth_element(hits.begin(), cut, hits.end(), ranks_before);
    hits.erase(cut, hits.end());
  }
  std::sort(hits.begin(), hits.end(), ranks_before);
  return hits;
}

}  // namespace mn::bm25

// ---------------------------------------------------------------------------------------
// The Python class

namespace mn {
namespace {

struct EngineObject {
  PyObject_HEAD
  float k1, b, delta;
  std::unique_ptr<bm25::Corpus> corpus;  // null until the first `index`
  BorrowCounter borrow;
};

bm25::Params params_of(const EngineObject& engine) { return {engine.k1, engine.b, engine.delta}; }

constexpr Signature<3> kNewSig{"BM25Engine.__new__()", {"k1", "b", "delta"}, 0};
constexpr Signature<1> kIndexSig{"BM25Engine.index()", {"documents"}, 1};
constexpr Signature<3> kScoreSig{"BM25Engine.score()", {"query", "top_k", "score_threshold"}, 1};

PyObject* engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return call_new<kind::WithDefault<kind::Single, 1.5>, kind::WithDefault<kind::Single, 0.75>,
                  kind::WithDefault<kind::Single, 1.0>>(
      kNewSig, args, kwargs, [&](float k1, float b, float delta) -> Result<PyResult> {
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = (alloc ? alloc : PyType_GenericAlloc)(type, 0);
        if (!self) return python_raised();
        auto* engine = reinterpret_cast<EngineObject*>(self);
        engine->k1 = k1;
        engine->b = b;
        engine->delta = delta;
        new (&engine->corpus) std::unique_ptr<bm25::Corpus>();
        new (&engine->borrow) BorrowCounter();
        return PyResult{Ref::steal(self)};
      });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* engine = reinterpret_cast<EngineObject*>(self);
  engine->corpus.~unique_ptr();
  engine->borrow.~BorrowCounter();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

Result<EngineObject*> engine_of(PyObject* self) {
  auto* type = reinterpret_cast<PyTypeObject*>(entries::bm25_engine_type());
  if (!type) return python_raised();
  if (!PyObject_TypeCheck(self, type)) return type_mismatch(self, "BM25Engine");
  return reinterpret_cast<EngineObject*>(self);
}

Result<BorrowGuard> borrow_shared(PyObject* self) {
  EngineObject* engine = MN_TRY(engine_of(self));
  return engine->borrow.borrow_shared();
}

Result<BorrowGuard> borrow_exclusive(PyObject* self) {
  EngineObject* engine = MN_TRY(engine_of(self));
  return engine->borrow.borrow_exclusive();
}

PyObject* engine_index(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<kind::Sequence<kind::String>>(
      kIndexSig, args, nargs, kwnames, [&] { return borrow_exclusive(self); },
      [&](BorrowGuard&, const std::vector<std::string_view>& documents) -> Result<None> {
        auto* engine = reinterpret_cast<EngineObject*>(self);
        // The interpreter lock stays held: nothing else may run while the corpus is replaced.
        // Building aside first keeps the previous corpus whole if building fails.
        engine->corpus = MN_TRY(bm25::build_corpus(documents, params_of(*engine)));
        return None{};
      });
}

PyObject* engine_score(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<kind::String, kind::Optional<kind::UInt>, kind::WithDefault<kind::Single, 0.0>>(
      kScoreSig, args, nargs, kwnames, [&] { return borrow_shared(self); },
      [&](BorrowGuard&, std::string_view query, std::optional<uint64_t> top_k, float threshold) {
        const bm25::Corpus* corpus = reinterpret_cast<EngineObject*>(self)->corpus.get();
        if (!corpus) return std::vector<bm25::Hit>();
        // The shared borrow keeps `index` from replacing the corpus while the lock is released.
        return without_gil([&] { return bm25::score_query(*corpus, query, top_k, threshold); });
      });
}

PyObject* engine_get_stats(PyObject* self, PyObject*) {
  return fault_barrier([&]() -> PyObject* {
    auto guard = borrow_shared(self);
    if (!guard.ok()) {
      raise(guard.error());
      return nullptr;
    }
    const auto* engine = reinterpret_cast<EngineObject*>(self);
    const bm25::Corpus* corpus = engine->corpus.get();
    StrMap<float> stats{{
        {"num_docs", corpus ? static_cast<float>(corpus->num_docs) : 0.0f},
        {"avg_doc_length", corpus ? corpus->avg_doc_length : 0.0f},
        {"vocab_size", corpus ? static_cast<float>(corpus->terms.size()) : 0.0f},
        {"k1", engine->k1},
        {"b", engine->b},
        {"delta", engine->delta},
    }};
    return to_python(stats).release();
  });
}

PyMethodDef kMethods[] = {
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_index)),
     METH_FASTCALL | METH_KEYWORDS,
     "index($self, documents)\n--\n\nIndex a corpus of documents\n\nArgs:\n    documents: List of document strings "
     "to index"},
    {"score", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_score)),
     METH_FASTCALL | METH_KEYWORDS,
     "score($self, query, top_k=None, score_threshold=0.0)\n--\n\nScore indexed documents against a query using "
     "BM25+\n\nArgs:\n    query: Query string\n    top_k: Number of top results to return (default: None for all)\n "
     "   score_threshold: Minimum score threshold for results (default: 0.0)\n\nReturns:\n    List of (doc_index, "
     "score) tuples, sorted by score descending"},
    {"get_stats", engine_get_stats, METH_NOARGS,
     "get_stats($self)\n--\n\nGet statistics about the indexed corpus\n\nReturns:\n    Dictionary with corpus "
     "statistics"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("BM25Engine(k1=1.5, b=0.75, delta=1.0)\n--\n\nHigh-performance BM25 scoring engine "
                                  "with WAND-inspired optimization")},
    {Py_tp_new, reinterpret_cast<void*>(engine_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec = {"builtins.BM25Engine", sizeof(EngineObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, kSlots};

}  // namespace

PyObject* entries::bm25_engine_type() {
  static PyObject* type = nullptr;  // created under the interpreter lock, kept for the process
  if (!type) type = PyType_FromSpec(&kSpec);
  return type;
}

}  // namespace mn
