// Hash maps and sets for native code, keyed with abseil's randomly seeded hash.
//
// Debian's abseil archives hold the Swiss-table support code compiled for executables
// (thread-local storage in the local-exec model), which cannot be linked into a shared
// module, and the shared abseil libraries would be an extra run-time dependency. The
// standard containers with abseil's hash take their place; string maps accept
// std::string_view lookups without building a key.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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

}  // namespace mn
