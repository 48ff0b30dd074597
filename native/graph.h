// Graph forms shared by the dependency-graph algorithms: dense node indices handed out in
// order of first appearance, interned edges, and edge groupings by source or by target.
// Nothing here knows Python; names are views whose bytes the caller keeps alive.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <vector>

#include "hash_map.h"

namespace mn::graph {

using NodeId = uint32_t;

// All 32 bits set ends an edge chain, so it is never a valid index: a 32-bit indexed
// graph holds at most this many nodes and this many edges.
inline constexpr uint64_t kChainEnd = 0xFFFFFFFFu;

constexpr bool fits_32bit_index(uint64_t count) { return count <= kChainEnd; }

static_assert(fits_32bit_index(0) && fits_32bit_index(4294967295u));
static_assert(!fits_32bit_index(4294967296u) && !fits_32bit_index(UINT64_MAX));

struct Edge {
  NodeId source;
  NodeId target;
};

// Maps names to dense indices. Open addressing over (hash tag, index, name bytes) slots:
// a name that comes back as the same string object is recognised by the address of its
// bytes without reading the node table. The full hashes are kept per node so that
// growing never has to reread the names.
class NodeInterner {
 public:
  static constexpr NodeId kFull = static_cast<NodeId>(kChainEnd);

  size_t size() const { return names_.size(); }
  std::string_view name(NodeId id) const { return names_[id]; }

  static uint64_t hash_name(std::string_view name) { return hash_bytes(name); }

  // The index of `name`, a new one if the name was not seen before; kFull once every
  // 32-bit index is taken.
  NodeId intern(std::string_view name) { return intern(name, hash_name(name)); }
  [[gnu::always_inline]] NodeId intern(std::string_view name, uint64_t hash) {
    if (slots_.empty() || (names_.size() + 1) * 2 > slots_.size()) grow();
    size_t mask = slots_.size() - 1;
    for (size_t pos = hash & mask;; pos = (pos + 1) & mask) {
      Slot& slot = slots_[pos];
      if (slot.id == kFull) return insert(slot, name, hash);
      if (slot.tag == tag_of(hash) && (slot.data == name.data() ? names_[slot.id].size() == name.size()
                                                                 : same_bytes(names_[slot.id], name))) {
        return slot.id;
      }
    }
  }

  // A hint that `hash` will be interned soon.
  void prefetch(uint64_t hash) const {
    if (!slots_.empty()) __builtin_prefetch(&slots_[hash & (slots_.size() - 1)]);
  }

  // The index of `name`, or kFull when it is not a node.
  NodeId find(std::string_view name) const { return slots_.empty() ? kFull : lookup(name, hash_name(name)); }

 private:
  struct Slot {
    uint32_t tag;
    NodeId id;
    const char* data;  // the bytes of the name as first interned
  };

  static uint32_t tag_of(uint64_t hash) { return static_cast<uint32_t>(hash >> 32); }

  // A new name, into the free slot its probe ended at.
  [[gnu::noinline]] NodeId insert(Slot& slot, std::string_view name, uint64_t hash) {
    if (!fits_32bit_index(names_.size() + 1)) return kFull;
    NodeId id = static_cast<NodeId>(names_.size());
    slot = {tag_of(hash), id, name.data()};
    names_.push_back(name);
    hashes_.push_back(hash);
    return id;
  }

  NodeId lookup(std::string_view name, uint64_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t pos = hash & mask;; pos = (pos + 1) & mask) {
      const Slot& slot = slots_[pos];
      if (slot.id == kFull) return kFull;
      if (slot.tag == tag_of(hash) && same_bytes(names_[slot.id], name)) return slot.id;
    }
  }

  void grow() {
    size_t capacity = slots_.empty() ? 1024 : slots_.size() * 2;
    slots_.assign(capacity, Slot{0, kFull, nullptr});
    size_t mask = capacity - 1;
    for (NodeId id = 0; id < names_.size(); ++id) {
      size_t pos = hashes_[id] & mask;
      while (slots_[pos].id != kFull) pos = (pos + 1) & mask;
      slots_[pos] = {tag_of(hashes_[id]), id, names_[id].data()};
    }
  }

  std::vector<std::string_view> names_;
  std::vector<uint64_t> hashes_;
  std::vector<Slot> slots_;
};

// The node table and the edges of one call, interned while the edge list is read.
struct InternedEdges {
  NodeInterner nodes;
  std::vector<Edge> edges;
};

// Per-node lists in one array: the list of node v is items[offsets[v] .. offsets[v + 1]).
template <class Offset>
struct Grouped {
  std::vector<Offset> offsets;
  std::vector<NodeId> items;

  std::span<const NodeId> of(NodeId v) const { return {items.data() + offsets[v], items.data() + offsets[v + 1]}; }
  std::span<NodeId> of(NodeId v) { return {items.data() + offsets[v], items.data() + offsets[v + 1]}; }
};

enum class ListOrder { EdgeOrder, NewestFirst };

// Groups the edges by one end (`by_source`), listing the other end of each edge; a
// counting sort, so each list keeps edge order (or its reverse).
template <class Offset>
Grouped<Offset> group_edges(size_t node_count, std::span<const Edge> edges, bool by_source, ListOrder order) {
  Grouped<Offset> out;
  out.offsets.assign(node_count + 1, 0);
  for (const Edge& e : edges) ++out.offsets[(by_source ? e.source : e.target) + 1];
  for (size_t v = 0; v < node_count; ++v) out.offsets[v + 1] += out.offsets[v];
  out.items.resize(edges.size());
  std::vector<Offset> fill(out.offsets.begin(), out.offsets.end() - 1);
  auto place = [&](const Edge& e) {
    NodeId key = by_source ? e.source : e.target;
    out.items[fill[key]++] = by_source ? e.target : e.source;
  };
  if (order == ListOrder::EdgeOrder) {
    for (const Edge& e : edges) place(e);
  } else {
    for (size_t i = edges.size(); i-- > 0;) place(edges[i]);
  }
  return out;
}

}  // namespace mn::graph
