// Dependency-graph algorithms over edge lists of file names: breadth-first expansion
// with hop distances, breadth-first traversal edges, strongly connected components
// (Kosaraju) and single-precision PageRank. Every call builds its own graph and frees it.
//
// No routine recurses: graphs come from user data and chains of a million files are
// ordinary, so every search keeps its own explicit queue or stack.

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <optional>
#include <span>
#include <string_view>
#include <tuple>
#include <vector>

#include "binder.h"
#include "entries.h"
#include "graph.h"

namespace mn::graph {
namespace {

Error too_many_nodes() {
  return make_error(ErrorKind::ValueError, "graph too large: more than 4294967295 distinct node names");
}

std::span<const NodeId> list_or_empty(const Grouped<size_t>& lists, NodeId v) {
  if (lists.offsets.empty() || v + size_t{1} >= lists.offsets.size()) return {};
  return lists.of(v);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Breadth-first searches

struct BfsOptions {
  uint64_t max_hops;
  uint64_t max_results;
  bool bidirectional;
};

struct Reached {
  NodeId node;
  uint64_t hop;
};

// Every node reached from the seeds, with its distance, in the order of discovery.
// Seeds that are no node of the graph are interned too: they are reached all the same.
Result<std::vector<Reached>> bfs_expansion(InternedEdges& graph, std::span<const std::string_view> start_nodes,
                                           const BfsOptions& options) {
  std::vector<Reached> reached;
  if (graph.edges.empty() || start_nodes.empty() || options.max_results == 0) return reached;
  size_t node_count = graph.nodes.size();
  auto forward = group_edges<size_t>(node_count, graph.edges, true, ListOrder::EdgeOrder);
  Grouped<size_t> reverse;
  if (options.bidirectional) reverse = group_edges<size_t>(node_count, graph.edges, false, ListOrder::EdgeOrder);

  std::vector<uint8_t> visited(node_count, 0);
  auto full = [&] { return reached.size() >= options.max_results; };
  for (std::string_view name : start_nodes) {
    if (full()) break;
    NodeId id = graph.nodes.intern(name);
    if (id == NodeInterner::kFull) return too_many_nodes();
    if (id >= visited.size()) visited.resize(id + size_t{1}, 0);
    if (visited[id]) continue;
    visited[id] = 1;
    reached.push_back({id, 0});
  }
  // The result doubles as the queue: nodes enter both at once, in the same order.
  auto step = [&](std::span<const NodeId> neighbours, uint64_t hop) {
    for (NodeId w : neighbours) {
      if (full()) return;
      if (visited[w]) continue;
      visited[w] = 1;
      reached.push_back({w, hop});
    }
  };
  for (size_t head = 0; head < reached.size() && !full(); ++head) {
    auto [v, hop] = reached[head];
    if (hop >= options.max_hops) continue;
    step(list_or_empty(forward, v), hop + 1);
    if (options.bidirectional) step(list_or_empty(reverse, v), hop + 1);
  }
  return reached;
}

enum class Relation : uint8_t { Seed, Imports, ImportedBy };

// Per node, its position among all node names in byte-wise order. The sort compares the
// first 32 bytes of two names as big-endian words (file paths share long prefixes) and
// reads the names only when those are equal.
std::vector<NodeId> rank_by_name(const NodeInterner& nodes) {
  constexpr size_t kWords = 4;
  struct Keyed {
    std::array<uint64_t, kWords> words;  // bytes 0-31, zero-padded
    NodeId id;
  };
  std::vector<Keyed> keyed(nodes.size());
  for (NodeId id = 0; id < keyed.size(); ++id) {
    std::string_view name = nodes.name(id);
    Keyed& k = keyed[id];
    k.id = id;
    for (size_t w = 0; w < kWords; ++w) {
      uint64_t v = 0;
      for (size_t i = 0; i < 8; ++i) {
        size_t at = w * 8 + i;
        v = (v << 8) | (at < name.size() ? static_cast<unsigned char>(name[at]) : 0u);
      }
      k.words[w] = v;
    }
  }
  std::sort(keyed.begin(), keyed.end(), [&](const Keyed& a, const Keyed& b) {
    if (a.words != b.words) return a.words < b.words;
    return nodes.name(a.id) < nodes.name(b.id);  // zero padding leaves prefixes to this
  });
  std::vector<NodeId> rank(keyed.size());
  for (NodeId position = 0; position < keyed.size(); ++position) rank[keyed[position].id] = position;
  return rank;
}

struct TraversalStep {
  NodeId node;
  NodeId parent;
  uint64_t hop;
  Relation relation;
};

// The edge by which each node was first reached, in breadth-first order; neighbours are
// taken sorted by name, forward before reverse.
std::vector<TraversalStep> bfs_traversal_edges(const InternedEdges& graph,
                                               std::span<const std::string_view> start_nodes,
                                               const BfsOptions& options) {
  std::vector<TraversalStep> records;
  if (graph.edges.empty() || start_nodes.empty() || options.max_hops == 0 || options.max_results == 0) {
    return records;
  }
  size_t node_count = graph.nodes.size();
  auto forward = group_edges<size_t>(node_count, graph.edges, true, ListOrder::EdgeOrder);
  Grouped<size_t> reverse;
  if (options.bidirectional) reverse = group_edges<size_t>(node_count, graph.edges, false, ListOrder::EdgeOrder);
  // Each list is read once at most (a node is expanded once), and a capped search reads
  // only the start of it, so a list is put in name order a chunk at a time as the search
  // gets there: the next smallest entries are selected, then sorted. Once that has cost
  // about twice as many comparisons of names as there are nodes, all names are ranked
  // once, and from then on entries compare by rank, which reads no bytes.
  std::vector<NodeId> name_rank;
  size_t name_comparisons = 0;
  auto order_chunk = [&](std::span<NodeId> rest, size_t chunk) {
    if (name_rank.empty()) {
      name_comparisons += rest.size() + chunk * static_cast<size_t>(std::bit_width(chunk));
      if (name_comparisons > 2 * node_count) name_rank = rank_by_name(graph.nodes);
    }
    auto arrange = [&](auto less) {
      if (rest.size() > chunk) std::nth_element(rest.begin(), rest.begin() + chunk, rest.end(), less);
      std::sort(rest.begin(), rest.begin() + std::min(chunk, rest.size()), less);
    };
    if (!name_rank.empty()) {
      arrange([&](NodeId a, NodeId b) { return name_rank[a] < name_rank[b]; });
    } else {
      arrange([&](NodeId a, NodeId b) { return graph.nodes.name(a) < graph.nodes.name(b); });
    }
  };

  // A seed that is no node of the graph can reach nothing and is never reached, so it
  // is left out; it would count among the seeds and the visited nodes alike.
  std::vector<uint8_t> visited(node_count, 0);
  std::vector<TraversalStep> queue;
  for (std::string_view name : start_nodes) {
    NodeId id = graph.nodes.find(name);
    if (id == NodeInterner::kFull || visited[id]) continue;
    visited[id] = 1;
    queue.push_back({id, id, 0, Relation::Seed});
  }
  uint64_t found = 0;  // non-seed nodes queued
  auto step = [&](std::span<NodeId> neighbours, NodeId v, uint64_t hop, Relation relation) {
    size_t chunk = 32;
    for (size_t begin = 0; begin < neighbours.size(); begin += chunk, chunk *= 4) {
      if (found >= options.max_results) return;
      std::span<NodeId> rest = neighbours.subspan(begin);
      order_chunk(rest, chunk);
      for (NodeId w : rest.first(std::min(chunk, rest.size()))) {
        if (found >= options.max_results) return;
        if (visited[w]) continue;
        visited[w] = 1;
        ++found;
        queue.push_back({w, v, hop, relation});
      }
    }
  };
  for (size_t head = 0; head < queue.size(); ++head) {
    if (records.size() >= options.max_results) break;
    TraversalStep current = queue[head];
    if (current.relation != Relation::Seed) {
      records.push_back(current);
      if (records.size() >= options.max_results) break;
    }
    if (current.hop >= options.max_hops) continue;
    step(forward.of(current.node), current.node, current.hop + 1, Relation::Imports);
    if (options.bidirectional) step(reverse.of(current.node), current.node, current.hop + 1, Relation::ImportedBy);
  }
  return records;
}

// ---------------------------------------------------------------------------------------
// Strongly connected components

class BitSet {
 public:
  explicit BitSet(size_t bits) : words_((bits + 63) / 64, 0) {}
  bool test(size_t i) const { return (words_[i / 64] >> (i % 64)) & 1; }
  void set(size_t i) { words_[i / 64] |= uint64_t{1} << (i % 64); }
  void clear() { std::fill(words_.begin(), words_.end(), 0); }

 private:
  std::vector<uint64_t> words_;
};

// Components as consecutive runs of `members`; run c ends at ends[c].
struct Components {
  std::vector<NodeId> members;
  std::vector<size_t> ends;
};

// Kosaraju: post-order over the reversed graph, then pre-order over the graph in reverse
// finish order. Edge lists are walked newest edge first, which fixes the order of the
// components and of the names inside each.
Result<Components> strongly_connected_components(const InternedEdges& graph) {
  Components out;
  if (graph.edges.empty()) return out;
  if (!fits_32bit_index(graph.edges.size())) {
    return make_error(ErrorKind::ValueError, "graph too large: more than 4294967295 edges");
  }
  size_t node_count = graph.nodes.size();
  auto outgoing = group_edges<uint32_t>(node_count, graph.edges, true, ListOrder::NewestFirst);
  auto incoming = group_edges<uint32_t>(node_count, graph.edges, false, ListOrder::NewestFirst);

  BitSet discovered(node_count), finished(node_count);
  std::vector<NodeId> stack;
  std::vector<NodeId> finish_order;
  finish_order.reserve(node_count);
  for (NodeId root = 0; root < node_count; ++root) {
    if (discovered.test(root)) continue;
    stack.assign(1, root);
    while (!stack.empty()) {
      NodeId v = stack.back();
      if (!discovered.test(v)) {
        discovered.set(v);
        for (NodeId source : incoming.of(v)) {
          if (!discovered.test(source)) stack.push_back(source);
        }
        continue;
      }
      stack.pop_back();
      if (!finished.test(v)) {
        finished.set(v);
        finish_order.push_back(v);
      }
    }
  }

  discovered.clear();
  stack.clear();
  out.members.reserve(node_count);
  for (size_t i = finish_order.size(); i-- > 0;) {
    NodeId root = finish_order[i];
    if (discovered.test(root)) continue;
    stack.assign(1, root);
    while (!stack.empty()) {
      NodeId x = stack.back();
      stack.pop_back();
      if (discovered.test(x)) continue;
      discovered.set(x);
      for (NodeId target : outgoing.of(x)) {
        if (!discovered.test(target)) stack.push_back(target);
      }
      out.members.push_back(x);
    }
    out.ends.push_back(out.members.size());
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// PageRank

// Adds the dangling nodes' shares to one accumulator in turn, x = x + delta[j] for j in
// [from, to), each addition rounded on its own.
//
// Done one by one this costs (nodes x dangling nodes) additions per iteration. But when
// the accumulator and the share are not negative and the sum stays in the accumulator's
// binade, the rounded sum is the accumulator plus a whole number of units in its last
// place that depends only on the share and the binade, except when the share's remainder
// is exactly half a unit (ties go to even). Long runs are therefore taken at once from
// per-binade prefix sums of those unit counts, stopping at every halfway case and at
// every step that leaves the binade, which are then added the ordinary way.
class DanglingSpread {
 public:
  explicit DanglingSpread(std::span<const float> deltas) : deltas_(deltas) {
    shortcut_ = std::all_of(deltas.begin(), deltas.end(), [](float d) { return std::isfinite(d) && !(d < 0); });
  }

  // A hint that a run ending at `end` comes soon, for the binade used last.
  void prefetch(size_t end) const {
    if (last_guarded_) __builtin_prefetch(last_guarded_ + end);
  }

  // x + deltas[j] + ... + deltas[end - 1], added one at a time.
  float apply(float x, size_t j, size_t end) {
    if (end - j < kShortRun || !shortcut_) {
      for (; j < end; ++j) x = x + deltas_[j];
      return x;
    }
    // The usual case in one step: a whole run that stays in x's binade, no halfway case.
    uint32_t bits = std::bit_cast<uint32_t>(x);
    uint32_t biased = bits >> 23;  // the sign bit makes this >= 256 for negative x
    if (biased < 255) {
      uint32_t level = std::max<uint32_t>(biased, 1);
      int64_t units = biased == 0 ? bits : ((bits & 0x7FFFFF) | 0x800000);
      const Level& table = level_table(level);
      last_guarded_ = table.guarded.data();
      int64_t gained = table.guarded[end] - table.guarded[j];
      if (gained < kBinadeUnits - units) {
        return std::bit_cast<float>(static_cast<uint32_t>(((level - 1) << 23) + units + gained));
      }
    }
    return apply_in_steps(x, j, end);
  }

 private:
  float apply_in_steps(float x, size_t j, size_t end) {
    while (j < end) {
      uint32_t bits = std::bit_cast<uint32_t>(x);
      if (!shortcut_ || end - j < kShortRun) {
        for (; j < end; ++j) x = x + deltas_[j];
        return x;
      }
      if (bits >> 31) {  // negative: no shortcut
        x = x + deltas_[j++];
        continue;
      }
      uint32_t biased = bits >> 23;
      if (biased == 255) return x;  // infinity or NaN, kept by finite non-negative shares
      uint32_t level = std::max<uint32_t>(biased, 1);
      int64_t units = biased == 0 ? bits : ((bits & 0x7FFFFF) | 0x800000);
      const Level& table = level_table(level);
      size_t stop = end;
      auto tie = std::lower_bound(table.ties.begin(), table.ties.end(), j);
      if (tie != table.ties.end() && *tie < stop) stop = *tie;
      const int64_t* prefix = table.prefix.data();
      int64_t room = kBinadeUnits - units;
      size_t last = stop;
      if (prefix[stop] - prefix[j] >= room) {
        last = static_cast<size_t>(std::lower_bound(prefix + j, prefix + stop + 1, prefix[j] + room) - prefix) - 1;
      }
      units += prefix[last] - prefix[j];
      x = std::bit_cast<float>(static_cast<uint32_t>(((level - 1) << 23) + units));
      j = last;
      if (j < end) x = x + deltas_[j++];  // a halfway case or the step out of the binade
    }
    return x;
  }

  static constexpr size_t kShortRun = 8;
  static constexpr int64_t kBinadeUnits = int64_t{1} << 24;

  struct Level {
    bool built = false;
    std::vector<int64_t> prefix;   // prefix[j]: units added by shares 0 .. j-1
    // The same with a whole binade more for every halfway case, so that one difference
    // under the room left tells both that a run stays in the binade and that it holds
    // no halfway case.
    std::vector<int64_t> guarded;
    std::vector<size_t> ties;      // positions of halfway cases
  };

  // Units of 2^(level - 150) that `delta` adds to an accumulator of that binade; capped,
  // since anything from a whole binade on leaves it anyway.
  static int64_t units_of(float delta, uint32_t level, bool& tie) {
    uint32_t bits = std::bit_cast<uint32_t>(delta) & 0x7FFFFFFF;
    uint32_t biased = bits >> 23;
    uint64_t mantissa = biased == 0 ? bits : ((bits & 0x7FFFFF) | 0x800000);
    int shift = static_cast<int>(std::max<uint32_t>(biased, 1)) - static_cast<int>(level);
    tie = false;
    if (mantissa == 0) return 0;
    if (shift >= 0) return shift > 24 ? kBinadeUnits : std::min<int64_t>(mantissa << shift, kBinadeUnits);
    int drop = -shift;
    if (drop > 25) return 0;  // below half a unit
    uint64_t rest = mantissa & ((uint64_t{1} << drop) - 1);
    uint64_t half = uint64_t{1} << (drop - 1);
    tie = rest == half;
    return static_cast<int64_t>((mantissa >> drop) + (rest > half ? 1 : 0));
  }

  const Level& level_table(uint32_t level) {
    Level& table = levels_[level];
    if (!table.built) build_level(table, level);
    return table;
  }

  [[gnu::noinline]] void build_level(Level& table, uint32_t level) {
    table.prefix.assign(deltas_.size() + 1, 0);
    table.guarded.assign(deltas_.size() + 1, 0);
    table.ties.clear();
    for (size_t j = 0; j < deltas_.size(); ++j) {
      bool tie;
      int64_t units = units_of(deltas_[j], level, tie);
      table.prefix[j + 1] = table.prefix[j] + units;
      table.guarded[j + 1] = table.guarded[j] + units + (tie ? kBinadeUnits : 0);
      if (tie) table.ties.push_back(j);
    }
    table.built = true;
  }

  std::span<const float> deltas_;
  bool shortcut_ = false;
  const int64_t* last_guarded_ = nullptr;
  std::array<Level, 256> levels_;
};

struct RankOptions {
  float damping;
  uint64_t max_iterations;
  float tolerance;
};

// Power iteration in single precision. Each node's new rank is gathered from its
// incoming edges in source order, with the dangling shares of the nodes in between,
// which is exactly the order in which pushing every node's share in index order adds
// them. `interrupted()` is asked now and then; when it says yes, the run ends with no
// result.
template <class Interrupted>
std::optional<std::vector<float>> pagerank(const InternedEdges& graph, const RankOptions& options,
                                           Interrupted&& interrupted) {
  size_t n = graph.nodes.size();
  std::vector<float> rank;
  if (graph.edges.empty()) return rank;
  auto outgoing = group_edges<size_t>(n, graph.edges, true, ListOrder::EdgeOrder);
  // Incoming lists in source order, repeats kept: a counting sort over the outgoing lists.
  Grouped<size_t> incoming;
  incoming.offsets.assign(n + 1, 0);
  for (const Edge& e : graph.edges) ++incoming.offsets[e.target + 1];
  for (size_t v = 0; v < n; ++v) incoming.offsets[v + 1] += incoming.offsets[v];
  incoming.items.resize(graph.edges.size());
  {
    std::vector<size_t> fill(incoming.offsets.begin(), incoming.offsets.end() - 1);
    for (NodeId i = 0; i < n; ++i) {
      for (NodeId t : outgoing.of(i)) incoming.items[fill[t]++] = i;
    }
  }
  std::vector<uint32_t> dangling_before(n);
  std::vector<NodeId> dangling;
  for (NodeId i = 0; i < n; ++i) {
    dangling_before[i] = static_cast<uint32_t>(dangling.size());
    if (outgoing.offsets[i + 1] == outgoing.offsets[i]) dangling.push_back(i);
  }

  // Per incoming edge, in gather order, its source and the source's dangling position:
  // read in sequence at every iteration instead of looked up.
  struct Incoming {
    NodeId source;
    uint32_t dangling_before;
  };
  std::vector<Incoming> incoming_sources(incoming.items.size());
  constexpr size_t kLookahead = 12;
  const size_t last_edge = incoming.items.empty() ? 0 : incoming.items.size() - 1;
  for (size_t e = 0; e < incoming.items.size(); ++e) {
    incoming_sources[e] = {incoming.items[e], dangling_before[incoming.items[e]]};
  }

  const float d = options.damping;
  const float nf = static_cast<float>(n);
  rank.assign(n, 1.0f / nf);
  const float base = (1.0f - d) / nf;
  std::vector<float> next(n), share(n), deltas(dangling.size());
  for (uint64_t iteration = 0; iteration < options.max_iterations; ++iteration) {
    for (NodeId i = 0; i < n; ++i) {
      float c = rank[i] * d;
      size_t degree = outgoing.offsets[i + 1] - outgoing.offsets[i];
      if (degree == 0) {
        deltas[dangling_before[i]] = c / nf;
      } else {
        share[i] = c / static_cast<float>(degree);
      }
    }
    DanglingSpread spread(deltas);
    for (NodeId k = 0; k < n; ++k) {
      float x = base;
      size_t done = 0;
      for (size_t e = incoming.offsets[k]; e < incoming.offsets[k + 1]; ++e) {
        // The reads of an edge a few steps on miss the cache: ask for them now.
        const Incoming& ahead = incoming_sources[std::min(e + kLookahead, last_edge)];
        __builtin_prefetch(&share[ahead.source]);
        spread.prefetch(ahead.dangling_before);
        const Incoming& in = incoming_sources[e];
        if (in.dangling_before != done) {
          x = spread.apply(x, done, in.dangling_before);
          done = in.dangling_before;
        }
        x = x + share[in.source];
      }
      next[k] = spread.apply(x, done, dangling.size());
      if ((k & 4095) == 4095 && interrupted()) return std::nullopt;
    }
    float diff = 0.0f;
    for (size_t i = 0; i < n; ++i) diff = diff + std::fabs(next[i] - rank[i]);
    rank.swap(next);
    if (options.tolerance > diff) break;
    if (interrupted()) return std::nullopt;
  }
  return rank;
}

}  // namespace mn::graph

// ---------------------------------------------------------------------------------------
// Python boundary

namespace mn {

// `edges`: a sequence of (source, target) tuples of str, interned while it is read. The
// first occurrence of each name is kept alive for the call, and the other views are used
// only while their tuple is held. Per node, the caller's str object is remembered when it
// is an exact str, so that results hand it back instead of building an equal one.
struct EdgesArg {
  graph::InternedEdges graph;
  std::vector<PyObject*> objects;  // borrowed, kept by the call; null: build a new str

  PyObject* object_of(graph::NodeId id) const { return id < objects.size() ? objects[id] : nullptr; }
};

struct EdgesKind {
  using native = EdgesArg;
};

template <>
struct Converter<EdgesKind> {
  static Result<EdgesArg> convert(CallScope& scope, PyObject* obj) {
    EdgesArg out;
    if (MN_TRY(convert_plain(scope, obj, out))) return out;
    return convert_general(scope, obj);
  }

 private:
  // The node of a name read from `object`. A new name keeps its object alive for the
  // call and, when it is an exact str, remembers it for the results.
  [[gnu::always_inline]] static Result<graph::NodeId> add_node(CallScope& scope, EdgesArg& out, PyObject* object,
                                                               std::string_view name, uint64_t hash) {
    size_t before = out.graph.nodes.size();
    graph::NodeId id = out.graph.nodes.intern(name, hash);
    if (id == graph::NodeInterner::kFull) return graph::too_many_nodes();
    if (id == before) {
      scope.keep(object);
      out.objects.push_back(PyUnicode_CheckExact(object) ? object : nullptr);
    }
    return id;
  }

  // The UTF-8 bytes of an exact str; false, with nothing reported, for anything else or
  // a string that cannot be encoded (the general conversion then reports it).
  [[gnu::always_inline]] static bool exact_str_text(PyObject* object, std::string_view& text) {
    if (!PyUnicode_CheckExact(object)) return false;
    Py_ssize_t length = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(object, &length);
    if (!bytes) {
      PyErr_Clear();
      return false;
    }
    text = std::string_view(bytes, static_cast<size_t>(length));
    return true;
  }

  // Any sequence of tuples (subclasses included) of str; reports every conversion error.
  static Result<EdgesArg> convert_general(CallScope& scope, PyObject* obj) {
    using graph::NodeId;
    size_t hint = MN_TRY(sequence_size_hint(obj));
    EdgesArg out;
    out.graph.edges.reserve(hint);
    auto intern = [&](PyObject* name_obj) -> Result<NodeId> {
      if (!PyUnicode_Check(name_obj)) return type_mismatch(name_obj, "str");
      Py_ssize_t length = 0;
      const char* text = PyUnicode_AsUTF8AndSize(name_obj, &length);
      if (!text) return python_raised();
      std::string_view name(text, static_cast<size_t>(length));
      return add_node(scope, out, name_obj, name, graph::NodeInterner::hash_name(name));
    };
    Status st = for_each_item(obj, [&](PyObject* item) -> Status {
      MN_TRY(check_pair(item));
      NodeId source_id = MN_TRY(intern(PyTuple_GetItem(item, 0)));
      NodeId target_id = MN_TRY(intern(PyTuple_GetItem(item, 1)));
      out.graph.edges.push_back({source_id, target_id});
      return ok_status();
    });
    if (!st.ok()) return st.take_error();
    return out;
  }

  // Below this many edges everything stays in cache, and the pipeline's bookkeeping
  // costs more than the waiting it saves.
  static constexpr size_t kSmallGraphEdges = 1 << 15;

  // The common shape read in one plain loop; see convert_plain.
  template <class ItemAt>
  static Result<bool> convert_plain_small(CallScope& scope, size_t n, ItemAt& item_at, EdgesArg& out) {
    using graph::NodeId;
    out.graph.edges.resize(n);
    for (size_t i = 0; i < n; ++i) {
      PyObject* pair = item_at(i);
      if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2) return false;
      NodeId ids[2];
      for (int side = 0; side < 2; ++side) {
        PyObject* name = PyTuple_GetItem(pair, side);
        std::string_view text;
        if (!exact_str_text(name, text)) return false;
        ids[side] = MN_TRY(add_node(scope, out, name, text, graph::NodeInterner::hash_name(text)));
      }
      out.graph.edges[i] = {ids[0], ids[1]};
    }
    return true;
  }

  // The common shape, an exact list or tuple of exact 2-tuples of exact str, in a
  // pipeline that prefetches each stage's memory a batch ahead: the tuples, then their
  // strings, then the strings' table slots. A list of a million edges is mostly waiting
  // for memory otherwise. No Python code can run here, so the container and its items
  // stay as they are throughout. Returns false, with nothing reported, at the first item
  // of another shape or that fails to convert; the general conversion then starts over.
  static Result<bool> convert_plain(CallScope& scope, PyObject* obj, EdgesArg& out) {
    using graph::NodeId;
    const bool is_list = PyList_CheckExact(obj);
    if (!is_list && !PyTuple_CheckExact(obj)) return false;
    const size_t n = static_cast<size_t>(is_list ? PyList_Size(obj) : PyTuple_Size(obj));
    auto item_at = [&](size_t i) {
      auto at = static_cast<Py_ssize_t>(i);
      return is_list ? PyList_GetItem(obj, at) : PyTuple_GetItem(obj, at);
    };
    if (n <= kSmallGraphEdges) return convert_plain_small(scope, n, item_at, out);
    constexpr size_t kBatch = 16, kStages = 4;
    struct Name {
      PyObject* object;
      std::string_view text;
      uint64_t hash;
    };
    Name staged[kStages][kBatch][2];
    out.graph.edges.reserve(n);
    graph::NodeInterner& nodes = out.graph.nodes;
    const size_t batches = (n + kBatch - 1) / kBatch;
    auto range = [&](size_t batch) { return std::pair(batch * kBatch, std::min(n, (batch + 1) * kBatch)); };
    for (size_t b = 0; b < batches + kStages - 1; ++b) {
      if (b < batches) {  // stage 1: the tuples of batch b
        auto [begin, end] = range(b);
        for (size_t i = begin; i < end; ++i) __builtin_prefetch(item_at(i));
      }
      if (b >= 1 && b - 1 < batches) {  // stage 2: the names of batch b - 1
        auto [begin, end] = range(b - 1);
        Name(*batch)[2] = staged[(b - 1) % kStages];
        for (size_t i = begin; i < end; ++i) {
          PyObject* pair = item_at(i);
          if (!PyTuple_CheckExact(pair) || PyTuple_Size(pair) != 2) return false;
          for (int side = 0; side < 2; ++side) {
            PyObject* name = PyTuple_GetItem(pair, side);
            batch[i - begin][side].object = name;
            __builtin_prefetch(name);
            __builtin_prefetch(reinterpret_cast<const char*>(name) + 64);
          }
        }
      }
      if (b >= 2 && b - 2 < batches) {  // stage 3: the bytes and hashes of batch b - 2
        auto [begin, end] = range(b - 2);
        Name(*batch)[2] = staged[(b - 2) % kStages];
        for (size_t i = begin; i < end; ++i) {
          for (Name& name : batch[i - begin]) {
            if (!exact_str_text(name.object, name.text)) return false;
            name.hash = graph::NodeInterner::hash_name(name.text);
            nodes.prefetch(name.hash);
          }
        }
      }
      if (b >= 3 && b - 3 < batches) {  // stage 4: interning batch b - 3
        auto [begin, end] = range(b - 3);
        Name(*batch)[2] = staged[(b - 3) % kStages];
        for (size_t i = begin; i < end; ++i) {
          NodeId ids[2];
          for (int side = 0; side < 2; ++side) {
            const Name& name = batch[i - begin][side];
            ids[side] = MN_TRY(add_node(scope, out, name.object, name.text, name.hash));
          }
          out.graph.edges.push_back({ids[0], ids[1]});
        }
      }
    }
    return true;
  }
};

// The str of node `id`: the caller's own object where there is one.
inline Ref name_object(const EdgesArg& edges, graph::NodeId id) {
  if (PyObject* object = edges.object_of(id)) return Ref::borrow(object);
  return to_python(edges.graph.nodes.name(id));
}

}  // namespace mn

namespace mn::entries {
namespace {

using graph::InternedEdges;
using graph::NodeId;
using Names = kind::Sequence<kind::String>;
using MaxHops = kind::WithDefault<kind::UInt, uint64_t{3}>;
using MaxResults = kind::WithDefault<kind::UInt, uint64_t{30}>;
using Bidirectional = kind::WithDefault<kind::Bool, true>;

constexpr Signature<4> kPagerankSig{"pagerank()", {"edges", "damping", "max_iterations", "tolerance"}, 1};
constexpr Signature<5> kExpansionSig{
    "bfs_expansion()", {"edges", "start_nodes", "max_hops", "max_results", "bidirectional"}, 2};
constexpr Signature<5> kTraversalSig{
    "bfs_traversal_edges()", {"edges", "start_nodes", "max_hops", "max_results", "bidirectional"}, 2};
constexpr Signature<1> kComponentsSig{"strongly_connected_components()", {"edges"}, 1};

// A dict from node names, in the order of `entries`.
template <class Entries, class Value>
Result<PyResult> names_dict(const EdgesArg& edges, const Entries& entries, Value value) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return python_raised();
  for (const auto& entry : entries) {
    Ref key = name_object(edges, entry.first);
    Ref item = to_python(value(entry));
    if (!key || !item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return python_raised();
  }
  return PyResult{std::move(dict)};
}

}  // namespace

PyObject* pagerank(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  using Damping = kind::WithDefault<kind::Single, 0.85>;
  using Iterations = kind::WithDefault<kind::UInt, uint64_t{100}>;
  using Tolerance = kind::WithDefault<kind::Single, 1e-6>;
  return call_fast<EdgesKind, Damping, Iterations, Tolerance>(
      kPagerankSig, args, nargs, kwnames,
      [](EdgesArg& edges, float damping, uint64_t iterations, float tolerance) -> Result<PyResult> {
        auto ranks =
            graph::pagerank(edges.graph, {damping, iterations, tolerance}, [] { return PyErr_CheckSignals() < 0; });
        if (!ranks) return python_raised();
        std::vector<std::pair<NodeId, float>> entries;
        entries.reserve(ranks->size());
        for (NodeId i = 0; i < ranks->size(); ++i) entries.emplace_back(i, (*ranks)[i]);
        return names_dict(edges, entries, [](const auto& entry) { return entry.second; });
      });
}

PyObject* bfs_expansion(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<EdgesKind, Names, MaxHops, MaxResults, Bidirectional>(
      kExpansionSig, args, nargs, kwnames,
      [](EdgesArg& edges, std::vector<std::string_view>& start_nodes, uint64_t max_hops, uint64_t max_results,
         bool bidirectional) -> Result<PyResult> {
        auto reached = MN_TRY(graph::bfs_expansion(edges.graph, start_nodes, {max_hops, max_results, bidirectional}));
        std::vector<std::pair<NodeId, uint64_t>> entries;
        entries.reserve(reached.size());
        for (const auto& r : reached) entries.emplace_back(r.node, r.hop);
        return names_dict(edges, entries, [](const auto& entry) { return entry.second; });
      });
}

PyObject* bfs_traversal_edges(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<EdgesKind, Names, MaxHops, MaxResults, Bidirectional>(
      kTraversalSig, args, nargs, kwnames,
      [](EdgesArg& edges, std::vector<std::string_view>& start_nodes, uint64_t max_hops, uint64_t max_results,
         bool bidirectional) -> Result<PyResult> {
        auto steps = graph::bfs_traversal_edges(edges.graph, start_nodes, {max_hops, max_results, bidirectional});
        Ref imports = to_python(std::string_view("imports"));
        Ref imported_by = to_python(std::string_view("imported_by"));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(steps.size())));
        if (!list || !imports || !imported_by) return python_raised();
        for (size_t i = 0; i < steps.size(); ++i) {
          const auto& step = steps[i];
          Ref parent = name_object(edges, step.parent);
          Ref node = name_object(edges, step.node);
          Ref hop = to_python(step.hop);
          if (!parent || !node || !hop) return python_raised();
          PyObject* relation = (step.relation == graph::Relation::Imports ? imports : imported_by).get();
          PyObject* record = PyTuple_Pack(4, parent.get(), node.get(), relation, hop.get());
          if (!record) return python_raised();
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), record);
        }
        return PyResult{std::move(list)};
      });
}

PyObject* strongly_connected_components(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<EdgesKind>(
      kComponentsSig, args, nargs, kwnames, [](EdgesArg& edges) -> Result<PyResult> {
        auto components = MN_TRY(graph::strongly_connected_components(edges.graph));
        Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(components.ends.size())));
        if (!list) return python_raised();
        size_t begin = 0;
        for (size_t c = 0; c < components.ends.size(); ++c) {
          Ref names = Ref::steal(PyList_New(static_cast<Py_ssize_t>(components.ends[c] - begin)));
          if (!names) return python_raised();
          for (Py_ssize_t j = 0; begin < components.ends[c]; ++begin, ++j) {
            Ref name = name_object(edges, components.members[begin]);
            if (!name) return python_raised();
            PyList_SetItem(names.get(), j, name.release());
          }
          PyList_SetItem(list.get(), static_cast<Py_ssize_t>(c), names.release());
        }
        return PyResult{std::move(list)};
      });
}

}  // namespace mn::entries
