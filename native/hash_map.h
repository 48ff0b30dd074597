// Hash maps and sets for native code: abseil's randomly seeded hash for general keys, a
// seeded short-key hash for strings.
//
// Debian's abseil archives hold the Swiss-table support code compiled for executables
// (thread-local storage in the local-exec model), which cannot be linked into a shared
// module, and the shared abseil libraries would be an extra run-time dependency. The
// standard containers with abseil's hash take their place; string maps accept
// std::string_view lookups without building a key.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "absl/hash/hash.h"

namespace mn {

namespace internal {

// Chosen once per process, so that which keys collide cannot be planned from outside.
inline const uint64_t kStringHashSeed = [] {
  std::random_device device;
  return (uint64_t{device()} << 32 | device()) | 1;
}();

inline uint64_t load64(const char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline uint64_t load32(const char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
// The two halves of a 64 x 64 -> 128-bit product, folded together.
inline uint64_t fold_multiply(uint64_t a, uint64_t b) {
  unsigned __int128 product = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(product) ^ static_cast<uint64_t>(product >> 64);
}

}  // namespace internal

// Keys of up to 16 bytes are read as two words, with overlapping loads: the pair and the
// length identify the bytes. Callers that already hold the words (the tokenizer builds
// them while lowercasing) hash and compare through them without touching memory.
struct ShortKey {
  uint64_t a, b;
  bool operator==(const ShortKey&) const = default;
};

inline ShortKey short_key(const char* p, size_t n) {
  using internal::load32, internal::load64;
  if (n >= 8) return {load64(p), load64(p + n - 8)};
  if (n >= 4) return {load32(p), load32(p + n - 4)};
  if (n > 0) {
    return {uint64_t{static_cast<unsigned char>(p[0])} << 16 | uint64_t{static_cast<unsigned char>(p[n >> 1])} << 8 |
                static_cast<unsigned char>(p[n - 1]),
            0};
  }
  return {0, 0};
}

namespace internal {
inline constexpr uint64_t kHashK0 = 0xa0761d6478bd642full, kHashK1 = 0xe7037ed1a0b428dbull,
                          kHashK2 = 0x8ebc6af09c88c6e3ull;
inline uint64_t finish_hash(ShortKey key, size_t n, uint64_t seed) {
  return fold_multiply(kHashK0 ^ n, fold_multiply(key.a ^ kHashK1 ^ seed, key.b ^ kHashK2 ^ seed));
}
}  // namespace internal

// Hash of a key of at most 16 bytes, from its two words.
inline uint64_t hash_short(ShortKey key, size_t n) {
  return internal::finish_hash(key, n, internal::kStringHashSeed ^ (n * internal::kHashK2));
}

// Hash of a byte string. The keys on the hot paths (tokens, document IDs, module paths)
// are short, and the library hash spends more on its general dispatch than on their
// bytes: this one reads a key of up to 16 bytes with two overlapping loads.
inline uint64_t hash_bytes(std::string_view s) {
  using namespace internal;
  const char* p = s.data();
  size_t n = s.size();
  if (n <= 16) return hash_short(short_key(p, n), n);
  uint64_t seed = kStringHashSeed ^ (n * kHashK2);
  size_t i = n;
  while (i > 16) {
    seed = fold_multiply(load64(p) ^ kHashK1 ^ seed, load64(p + 8) ^ kHashK0 ^ seed);
    p += 16;
    i -= 16;
  }
  return finish_hash(short_key(p + i - 16, 16), n, seed);
}

// Equality of two byte strings, with short keys compared without a library call.
inline bool same_bytes(std::string_view x, std::string_view y) {
  size_t n = x.size();
  if (n != y.size()) return false;
  if (n <= 16) return short_key(x.data(), n) == short_key(y.data(), n);
  return std::memcmp(x.data(), y.data(), n) == 0;
}

struct StringHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const { return hash_bytes(s); }
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
      if (static_cast<uint32_t>(slot >> 32) == tag && same_bytes(keys_[number], key)) return number;
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
