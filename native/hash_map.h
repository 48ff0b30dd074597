// Hash maps and sets for native code, keyed with abseil's randomly seeded hash.
//
// Debian's abseil archives hold the Swiss-table support code compiled for executables
// (thread-local storage in the local-exec model), which cannot be linked into a shared
// module, and the shared abseil libraries would be an extra run-time dependency. The
// standard containers with abseil's hash take their place; string maps accept
// std::string_view lookups without building a key.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "absl/hash/hash.h"

namespace mn {

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return absl::Hash<std::string_view>{}(s); }
};

template <class K>
struct HashFor {
  using type = absl::Hash<K>;
};
template <>
struct HashFor<std::string> {
  using type = StringHash;
};
template <>
struct HashFor<std::string_view> {
  using type = StringHash;
};

template <class K, class V>
using HashMap = std::unordered_map<K, V, typename HashFor<K>::type, std::equal_to<>>;
template <class K>
using HashSet = std::unordered_set<K, typename HashFor<K>::type, std::equal_to<>>;

// Numbers distinct strings 0, 1, 2, ... in order of first insertion: a flat open-addressing
// table of (hash tag, number) over views the caller keeps alive. Much cheaper than a node
// map where a call interns many short keys.
class StringIndex {
 public:
  explicit StringIndex(size_t expected = 0) { rehash(capacity_for(expected)); }

  // The number of `key`, adding it if new.
  size_t find_or_add(std::string_view key) {
    if ((keys_.size() + 1) * 2 > slots_.size()) rehash(slots_.size() * 2);
    size_t hash = StringHash{}(key);
    uint32_t tag = static_cast<uint32_t>(hash >> 32);
    for (size_t i = hash & mask_;; i = (i + 1) & mask_) {
      uint64_t slot = slots_[i];
      if (slot == 0) {
        keys_.push_back(key);
        slots_[i] = (uint64_t{tag} << 32) | keys_.size();
        return keys_.size() - 1;
      }
      size_t number = (slot & 0xFFFFFFFFu) - 1;
      if (static_cast<uint32_t>(slot >> 32) == tag && keys_[number] == key) return number;
    }
  }
  size_t size() const { return keys_.size(); }
  std::string_view key(size_t number) const { return keys_[number]; }

 private:
  static size_t capacity_for(size_t expected) {
    size_t capacity = 16;
    while (capacity < expected * 2) capacity <<= 1;
    return capacity;
  }
  void rehash(size_t capacity) {
    slots_.assign(capacity, 0);
    mask_ = capacity - 1;
    for (size_t number = 0; number < keys_.size(); ++number) {
      size_t hash = StringHash{}(keys_[number]);
      size_t i = hash & mask_;
      while (slots_[i] != 0) i = (i + 1) & mask_;
      slots_[i] = (uint64_t{static_cast<uint32_t>(hash >> 32)} << 32) | (number + 1);
    }
  }

  std::vector<uint64_t> slots_;  // 0 = empty, else tag << 32 | (number + 1)
  std::vector<std::string_view> keys_;
  size_t mask_ = 0;
};

}  // namespace mn
