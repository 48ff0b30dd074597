// Retrieval utilities: a truncated SHA-256 content hash, word-level Jaccard similarity,
// maximal-marginal-relevance selection of diverse results, and extraction of a line range
// from a file confined to a repository directory.

#include <fcntl.h>
#include <linux/openat2.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binder.h"
#include "entries.h"
#include "hash_map.h"
#include "unicode.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace mn::utils {
namespace {

// ---------------------------------------------------------------------------------------
// Content hash

const EVP_MD* sha256() {
  static const EVP_MD* md = [] {
    // Our private copy of libcrypto must not read the system's OpenSSL configuration:
    // the hash depends on the content alone, never on OPENSSL_CONF or openssl.cnf.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    return EVP_MD_fetch(nullptr, "SHA256", nullptr);
  }();
  if (!md) throw InternalFault("SHA-256 is not available from libcrypto");
  return md;
}

}  // namespace

std::string compute_file_hash(std::string_view content) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(content.data(), content.size(), digest, &length, sha256(), nullptr) != 1 || length < 8) {
    throw InternalFault("SHA-256 digest failed");
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out(16, '0');
  for (size_t i = 0; i < 8; ++i) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 0xF];
  }
  return out;
}

namespace {

// ---------------------------------------------------------------------------------------
// Word sets

// ASCII white space (space, and tab to carriage return) and bytes >= 0x80 among 64
// bytes, one bit per byte.
struct SpaceMasks {
  uint64_t space, non_ascii;
};

inline SpaceMasks classify64(const char* p) {
  SpaceMasks m{0, 0};
#if defined(__SSE2__)
  for (int part = 0; part < 4; ++part) {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * part));
    // Signed comparisons: bytes >= 0x80 are negative, so never in the control range.
    __m128i control =
        _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('\t' - 1)), _mm_cmplt_epi8(v, _mm_set1_epi8('\r' + 1)));
    __m128i space = _mm_or_si128(control, _mm_cmpeq_epi8(v, _mm_set1_epi8(' ')));
    m.space |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(space))} << (16 * part);
    m.non_ascii |= uint64_t{static_cast<uint32_t>(_mm_movemask_epi8(v))} << (16 * part);
  }
#else
  for (int i = 0; i < 64; ++i) {
    auto byte = static_cast<unsigned char>(p[i]);
    m.space |= uint64_t{byte == ' ' || (byte >= '\t' && byte <= '\r')} << i;
    m.non_ascii |= uint64_t{byte >= 0x80} << i;
  }
#endif
  return m;
}

// Calls fn(word) for every maximal run of non-White_Space characters, in text order.
// Blocks of 64 ASCII bytes are cut with bit masks (a word starts where a non-space byte
// follows a space, ends where a space follows a non-space); blocks holding other bytes,
// and the tail, go character by character.
template <class Fn>
void for_each_word(std::string_view text, Fn&& fn) {
  const char* s = text.data();
  const size_t n = text.size();
  size_t pos = 0, word_start = 0;
  bool in_word = false;
  // Character by character up to `limit` (or just past it, for a character that
  // straddles it).
  auto scalar_until = [&](size_t limit) {
    while (pos < limit) {
      size_t at = pos;
      auto byte = static_cast<unsigned char>(s[pos]);
      bool space;
      if (byte < 0x80) {
        ++pos;
        space = byte == ' ' || (byte >= '\t' && byte <= '\r');
      } else {
        space = unicode::is_white_space(unicode::decode_utf8(text, pos));
      }
      if (space) {
        if (in_word) fn(text.substr(word_start, at - word_start));
        in_word = false;
      } else if (!in_word) {
        word_start = at;
        in_word = true;
      }
    }
  };
  while (pos + 64 <= n) {
    SpaceMasks m = classify64(s + pos);
    if (m.non_ascii) {
      scalar_until(pos + 64);
      continue;
    }
    uint64_t word = ~m.space;
    uint64_t before = (word << 1) | uint64_t{in_word};  // bit i: byte i - 1 is in a word
    uint64_t events = (word & ~before) | (~word & before);
    for (; events; events &= events - 1) {
      size_t at = pos + static_cast<size_t>(std::countr_zero(events));
      if (in_word) {
        fn(text.substr(word_start, at - word_start));
      } else {
        word_start = at;
      }
      in_word = !in_word;
    }
    pos += 64;
  }
  scalar_until(n);
  if (in_word) fn(text.substr(word_start));
}

// Interns words as dense ids 0, 1, 2, ... in first-seen order. Open addressing with
// linear probing; a slot keeps the high half of the hash, so most mismatches are settled
// without touching the words. No allocation per word, which is what makes word sets
// cheap enough to build for every text of a batch.
class WordIds {
 public:
  static constexpr uint32_t kMaxWords = std::numeric_limits<uint32_t>::max() - 1;

  WordIds() : slots_(16), mask_(15) {}

  size_t size() const { return words_.size(); }

  uint32_t intern(std::string_view word) {
    uint64_t hash = hash_bytes(word);
    auto tag = static_cast<uint32_t>(hash >> 32);
    size_t slot = hash & mask_;
    for (;; slot = (slot + 1) & mask_) {
      const Slot& entry = slots_[slot];
      if (entry.id_plus_one == 0) break;
      if (entry.tag == tag && same_bytes(words_[entry.id_plus_one - 1], word)) return entry.id_plus_one - 1;
    }
    if (words_.size() >= kMaxWords) throw std::bad_alloc();
    auto id = static_cast<uint32_t>(words_.size());
    words_.push_back(word);
    hashes_.push_back(hash);
    if (words_.size() * 2 > slots_.size()) {
      rehash(slots_.size() * 2);
    } else {
      slots_[slot] = {id + 1, tag};
    }
    return id;
  }

 private:
  struct Slot {
    uint32_t id_plus_one = 0;  // 0 when free
    uint32_t tag = 0;
  };

  void rehash(size_t capacity) {
    slots_.assign(capacity, Slot{});
    mask_ = capacity - 1;
    for (uint32_t id = 0; id < words_.size(); ++id) {
      size_t slot = hashes_[id] & mask_;
      while (slots_[slot].id_plus_one != 0) slot = (slot + 1) & mask_;
      slots_[slot] = {id + 1, static_cast<uint32_t>(hashes_[id] >> 32)};
    }
  }

  std::vector<Slot> slots_;
  size_t mask_;
  std::vector<std::string_view> words_;
  std::vector<uint64_t> hashes_;
};

// A set of ids that empties in constant time: an id is a member when its mark equals
// the current generation.
class IdMarks {
 public:
  void clear() {
    if (++generation_ == 0) {
      std::fill(marks_.begin(), marks_.end(), 0);
      generation_ = 1;
    }
  }
  // Adds id; false if it was already a member.
  bool insert(uint32_t id) {
    if (id >= marks_.size()) marks_.resize(size_t{id} + 1, 0);
    if (marks_[id] == generation_) return false;
    marks_[id] = generation_;
    return true;
  }
  bool contains(uint32_t id) const { return id < marks_.size() && marks_[id] == generation_; }

 private:
  std::vector<uint32_t> marks_;
  uint32_t generation_ = 1;
};

// A set of words keyed by their hash_bytes, emptied in constant time: a slot is occupied
// when it carries the current generation. Kept small and reused, it stays in cache.
class WordSet {
 public:
  WordSet() : slots_(64) {}

  size_t size() const { return count_; }

  void clear() {
    count_ = 0;
    if (++generation_ == 0) {
      std::fill(slots_.begin(), slots_.end(), Slot{});
      generation_ = 1;
    }
  }

  // Adds the word; false if it was already there.
  bool insert(std::string_view word, uint64_t hash) {
    size_t mask = slots_.size() - 1;
    size_t slot = hash & mask;
    for (; slots_[slot].generation == generation_; slot = (slot + 1) & mask) {
      if (slots_[slot].hash == hash && same_bytes(slots_[slot].word(), word)) return false;
    }
    slots_[slot] = {hash, word.data(), word.size(), generation_};
    if (++count_ * 2 > slots_.size()) grow();
    return true;
  }

  bool contains(std::string_view word, uint64_t hash) const {
    size_t mask = slots_.size() - 1;
    for (size_t slot = hash & mask; slots_[slot].generation == generation_; slot = (slot + 1) & mask) {
      if (slots_[slot].hash == hash && same_bytes(slots_[slot].word(), word)) return true;
    }
    return false;
  }

 private:
  struct Slot {
    uint64_t hash = 0;
    const char* data = nullptr;
    size_t size = 0;
    uint32_t generation = 0;
    std::string_view word() const { return {data, size}; }
  };

  void grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& entry : old) {
      if (entry.generation != generation_) continue;
      size_t slot = entry.hash & mask;
      while (slots_[slot].generation == generation_) slot = (slot + 1) & mask;
      slots_[slot] = entry;
    }
  }

  std::vector<Slot> slots_;
  size_t count_ = 0;
  uint32_t generation_ = 1;
};

// The word set of one reference text, compared with many others.
class JaccardReference {
 public:
  explicit JaccardReference(std::string_view reference) {
    for_each_word(reference, [&](std::string_view word) { reference_.insert(word, hash_bytes(word)); });
  }

  double similarity(std::string_view text) {
    words_.clear();
    uint64_t common = 0;
    for_each_word(text, [&](std::string_view word) {
      uint64_t hash = hash_bytes(word);
      if (words_.insert(word, hash) && reference_.contains(word, hash)) ++common;
    });
    uint64_t reference_size = reference_.size(), distinct = words_.size();
    if (reference_size == 0 && distinct == 0) return 1.0;
    return static_cast<double>(common) / static_cast<double>(reference_size + distinct - common);
  }

 private:
  WordSet reference_;
  WordSet words_;
};

}  // namespace

double jaccard_similarity(std::string_view text1, std::string_view text2) {
  return JaccardReference(text1).similarity(text2);
}

std::vector<double> jaccard_similarity_batch(std::string_view query, const std::vector<std::string_view>& texts) {
  JaccardReference reference(query);
  std::vector<double> out;
  out.reserve(texts.size());
  for (std::string_view text : texts) out.push_back(reference.similarity(text));
  return out;
}

namespace {

// ---------------------------------------------------------------------------------------
// Maximal marginal relevance

// The distinct word ids of every item, back to back: item i owns ids[offsets[i], offsets[i + 1]).
struct ItemWords {
  std::vector<uint32_t> ids;
  std::vector<size_t> offsets;

  size_t size_of(size_t item) const { return offsets[item + 1] - offsets[item]; }
  const uint32_t* begin_of(size_t item) const { return ids.data() + offsets[item]; }
  const uint32_t* end_of(size_t item) const { return ids.data() + offsets[item + 1]; }
};

ItemWords build_item_words(const std::vector<std::string_view>& contents) {
  ItemWords words;
  words.offsets.reserve(contents.size() + 1);
  words.offsets.push_back(0);
  WordIds ids;
  IdMarks seen;
  for (std::string_view content : contents) {
    seen.clear();
    for_each_word(content, [&](std::string_view word) {
      uint32_t id = ids.intern(word);
      if (seen.insert(id)) words.ids.push_back(id);
    });
    words.offsets.push_back(words.ids.size());
  }
  return words;
}

// Single precision throughout, in this order: near-ties between candidates depend on it.
float word_set_similarity(uint64_t common, uint64_t size_sum) {
  float intersection = static_cast<float>(common);
  float denominator = static_cast<float>(size_sum) - intersection;
  return denominator > 0.0f ? intersection / denominator : 0.0f;
}

// The greedy selection. Each candidate keeps its largest similarity to the selection so
// far, raised once per newly selected item: the maximum over the same set as a rescan of
// every selected item gives, at n similarities per step instead of n times the selection.
std::vector<uint64_t> select_diverse(const std::vector<float>& scores, const std::vector<std::string_view>& contents,
                                     uint64_t target_count, float lambda) {
  const size_t n = scores.size();
  const size_t k = static_cast<size_t>(std::min<uint64_t>(target_count, n));
  if (lambda < 0.0f) {
    lambda = 0.0f;
  } else if (lambda > 1.0f) {
    lambda = 1.0f;
  }
  const ItemWords words = build_item_words(contents);
  std::vector<char> selected(n, 0);
  std::vector<float> max_similarity(n, 0.0f);
  IdMarks marks;

  auto raise_similarities = [&](size_t chosen) {
    size_t chosen_size = words.size_of(chosen);
    if (chosen_size == 0) return;  // an empty set is similar to nothing
    marks.clear();
    for (const uint32_t* id = words.begin_of(chosen); id != words.end_of(chosen); ++id) marks.insert(*id);
    for (size_t i = 0; i < n; ++i) {
      if (selected[i] || max_similarity[i] >= 1.0f) continue;
      uint64_t common = 0;
      for (const uint32_t* id = words.begin_of(i); id != words.end_of(i); ++id) common += marks.contains(*id);
      float similarity = word_set_similarity(common, uint64_t{words.size_of(i)} + chosen_size);
      if (similarity > max_similarity[i]) max_similarity[i] = similarity;
    }
  };

  std::vector<uint64_t> order;
  order.reserve(k);
  auto take = [&](size_t position) {
    order.push_back(position);
    selected[position] = 1;
    if (order.size() < k) raise_similarities(position);
  };

  take(0);
  const float relevance_weight = lambda;
  const float diversity_weight = 1.0f - lambda;
  while (order.size() < k) {
    float best_value = -std::numeric_limits<float>::infinity();
    size_t best = n;
    for (size_t i = 0; i < n; ++i) {
      if (selected[i]) continue;
      float value = (1.0f - max_similarity[i]) * diversity_weight + scores[i] * relevance_weight;
      if (value > best_value) {
        best_value = value;
        best = i;
      }
    }
    if (best == n) break;  // only NaN or negative-infinity values remain
    take(best);
  }
  return order;
}

}  // namespace

Result<std::vector<uint64_t>> mmr_select_indices(const std::vector<float>& scores,
                                                 const std::vector<std::string_view>& contents, uint64_t target_count,
                                                 float lambda) {
  if (scores.size() != contents.size()) {
    return make_error(ErrorKind::ValueError, "scores and contents must have the same length");
  }
  if (scores.empty() || target_count == 0) return std::vector<uint64_t>();
  return without_gil([&] { return select_diverse(scores, contents, target_count, lambda); });
}

// ---------------------------------------------------------------------------------------
// Line-range extraction

struct LineRange {
  std::string code;
  uint64_t line_start;
  uint64_t line_end;  // the last line taken, line_start - 1 when none
  uint64_t file_line_count;
  bool truncated;
};

// Found by argument-dependent lookup when the binder builds the result: a dict with
// mixed value types, keys in this order.
Ref to_python(const LineRange& range) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  const std::pair<const char*, Ref> items[] = {
      {"code", mn::to_python(range.code)},
      {"extracted_line_start", mn::to_python(range.line_start)},
      {"extracted_line_end", mn::to_python(range.line_end)},
      {"file_line_count", mn::to_python(range.file_line_count)},
      {"truncated", mn::to_python(range.truncated)},
  };
  for (const auto& [key, value] : items) {
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return Ref();
  }
  return dict;
}

namespace {

constexpr size_t kReadBufferSize = 8 * 1024;
constexpr std::string_view kNulInPath = "file name contained an unexpected NUL byte";
constexpr std::string_view kInvalidUtf8 = "stream did not contain valid UTF-8";

std::string os_error_text(int code) {
  char buffer[256];
  const char* description = strerror_r(code, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(code) + ")";
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  Fd(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

// Resolves every symbolic link and "." / ".." step; the error text on failure.
Result<std::string> canonicalize(const std::string& path) {
  if (path.find('\0') != std::string::npos) return Error{ErrorKind::ValueError, std::string(kNulInPath)};
  std::unique_ptr<char, decltype(&std::free)> resolved(realpath(path.c_str(), nullptr), &std::free);
  if (!resolved) return Error{ErrorKind::ValueError, os_error_text(errno)};
  return std::string(resolved.get());
}

bool has_parent_step(std::string_view filename) {
  for (size_t start = 0; start <= filename.size();) {
    size_t end = std::min(filename.find('/', start), filename.size());
    if (filename.substr(start, end - start) == "..") return true;
    start = end + 1;
  }
  return false;
}

// The part of `path` below `root`, compared component by component; nullopt if outside.
std::optional<std::string_view> path_below(std::string_view path, std::string_view root) {
  if (root == "/") return path.substr(1);
  if (path == root) return std::string_view();
  if (path.size() > root.size() && path.substr(0, root.size()) == root && path[root.size()] == '/') {
    return path.substr(root.size() + 1);
  }
  return std::nullopt;
}

// Non-blocking, so that a FIFO cannot stall the open; the caller refuses anything that
// is not a regular file before reading.
constexpr int kFileFlags = O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK;

std::atomic<bool> g_openat2_missing{false};

// openat2 with beneath-only resolution; -1 with errno, or -2 when the kernel (or a
// sandbox) does not offer it.
int open_with_kernel_confinement(int root, const char* relative) {
  if (g_openat2_missing.load(std::memory_order_relaxed)) return -2;
  open_how how{};
  how.flags = kFileFlags;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
  for (int attempt = 0;; ++attempt) {
    long fd = syscall(SYS_openat2, root, relative, &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    // The kernel asks for a retry when a concurrent rename may have moved a step.
    if (errno == EAGAIN && attempt < 3) continue;
    if (errno == EINTR) continue;
    if (errno == ENOSYS || errno == EPERM || errno == E2BIG || errno == EINVAL) {
      if (errno == ENOSYS) g_openat2_missing.store(true, std::memory_order_relaxed);
      return -2;
    }
    return -1;
  }
}

// Opens `relative` one component at a time without following any symbolic link. The
// path was canonical when checked, so a link found now was put there since: refusing
// it keeps the walk beneath the root whatever it points at.
int open_by_walking(int root, std::string_view relative) {
  Fd dir;
  int current = root;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    if (slash == std::string_view::npos) break;
    std::string component(relative.substr(start, slash - start));
    Fd next(openat(current, component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
    if (!next) return -1;
    struct stat info;
    if (fstat(next.get(), &info) != 0) return -1;
    if (!S_ISDIR(info.st_mode)) {
      errno = S_ISLNK(info.st_mode) ? ELOOP : ENOTDIR;
      return -1;
    }
    dir = std::move(next);
    current = dir.get();
    start = slash + 1;
  }
  std::string last(relative.substr(start));
  return openat(current, last.empty() ? "." : last.c_str(), kFileFlags | O_NOFOLLOW);
}

int open_beneath(int root, std::string_view relative) {
  std::string path(relative.empty() ? "." : relative);
  int fd = open_with_kernel_confinement(root, path.c_str());
  if (fd != -2) return fd;
  return open_by_walking(root, relative);
}

// Incremental UTF-8 validation across buffer boundaries. Line feeds never occur inside a
// valid multi-byte sequence, so a valid stream is exactly a stream of valid lines.
class Utf8Validator {
 public:
  bool feed(const unsigned char* data, size_t size) {
    for (size_t i = 0; i < size;) {
      if (pending_ == 0) {
        while (i + 8 <= size) {
          uint64_t chunk;
          std::memcpy(&chunk, data + i, 8);
          if (chunk & 0x8080808080808080ull) break;
          i += 8;
        }
        if (i == size) break;
        unsigned char b = data[i++];
        if (b < 0x80) continue;
        if (!start_sequence(b)) return false;
      } else {
        unsigned char b = data[i++];
        if (b < low_ || b > high_) return false;
        low_ = 0x80;
        high_ = 0xBF;
        --pending_;
      }
    }
    return true;
  }
  bool complete() const { return pending_ == 0; }

 private:
  bool start_sequence(unsigned char b) {
    low_ = 0x80;
    high_ = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      pending_ = 1;
    } else if (b >= 0xE0 && b <= 0xEF) {
      pending_ = 2;
      if (b == 0xE0) low_ = 0xA0;   // no overlong forms
      if (b == 0xED) high_ = 0x9F;  // no surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      pending_ = 3;
      if (b == 0xF0) low_ = 0x90;
      if (b == 0xF4) high_ = 0x8F;  // nothing above U+10FFFF
    } else {
      return false;
    }
    return true;
  }

  int pending_ = 0;
  unsigned char low_ = 0x80, high_ = 0xBF;
};

// The first `count` characters of valid UTF-8 `text`, or all of it.
std::string_view first_chars(std::string_view text, uint64_t count) {
  size_t pos = 0;
  for (uint64_t taken = 0; pos < text.size() && taken < count; ++taken) {
    ++pos;
    while (pos < text.size() && (static_cast<unsigned char>(text[pos]) & 0xC0) == 0x80) ++pos;
  }
  return text.substr(0, pos);
}

// Collects the requested lines as the file streams past; see `offer` for the budget.
class LineCollector {
 public:
  LineCollector(uint64_t line_start, uint64_t line_end, std::optional<uint64_t> budget)
      : line_start_(line_start), line_end_(line_end), budget_(budget), last_taken_(line_start - 1) {
    // A line that overflows the budget contributes at most `budget` characters, which lie
    // within its first 4 * budget bytes: nothing beyond that needs keeping.
    if (budget_ && *budget_ <= std::numeric_limits<size_t>::max() / 4) keep_limit_ = *budget_ * 4;
  }

  // A piece of the current line; `ends_line` when it includes the line feed.
  void feed(std::string_view piece, bool ends_line) {
    if (!line_open_) {
      line_open_ = true;
      ++line_count_;
      line_length_ = 0;
      line_.clear();
    }
    if (collecting_ && line_count_ >= line_start_ && line_count_ <= line_end_) {
      line_length_ += piece.size();
      if (line_.size() < keep_limit_) line_.append(piece.substr(0, keep_limit_ - line_.size()));
    }
    if (ends_line) finish_line();
  }

  LineRange finish() && {
    if (line_open_) finish_line();
    bool short_file = std::max<uint64_t>(line_count_, 1) < line_end_;
    return LineRange{std::move(code_), line_start_, last_taken_, line_count_, short_file || budget_hit_};
  }

  uint64_t line_count() const { return line_count_; }

 private:
  void finish_line() {
    line_open_ = false;
    if (!collecting_ || line_count_ < line_start_ || line_count_ > line_end_) return;
    if (!budget_ || code_.size() + line_length_ <= *budget_) {
      code_ += line_;
      last_taken_ = line_count_;
      return;
    }
    collecting_ = false;
    budget_hit_ = true;
    if (code_.empty()) {
      code_ = first_chars(line_, *budget_);
      last_taken_ = line_count_;
    }
  }

  const uint64_t line_start_, line_end_;
  const std::optional<uint64_t> budget_;
  size_t keep_limit_ = std::numeric_limits<size_t>::max();
  uint64_t last_taken_;
  uint64_t line_count_ = 0;
  bool line_open_ = false;
  bool collecting_ = true;
  bool budget_hit_ = false;
  uint64_t line_length_ = 0;  // bytes of the current line, kept or not
  std::string line_;          // its kept prefix
  std::string code_;
};

Error read_failed(std::string text) { return make_error(ErrorKind::IOError, "read failed: " + text); }

Result<LineRange> read_line_range(int fd, uint64_t line_start, uint64_t line_end, std::optional<uint64_t> budget) {
  LineCollector collector(line_start, line_end, budget);
  Utf8Validator validator;
  unsigned char buffer[kReadBufferSize];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return read_failed(os_error_text(errno));
    }
    if (got == 0) break;
    if (!validator.feed(buffer, static_cast<size_t>(got))) return read_failed(std::string(kInvalidUtf8));
    std::string_view chunk(reinterpret_cast<const char*>(buffer), static_cast<size_t>(got));
    while (!chunk.empty()) {
      size_t newline = chunk.find('\n');
      size_t end = newline == std::string_view::npos ? chunk.size() : newline + 1;
      collector.feed(chunk.substr(0, end), newline != std::string_view::npos);
      chunk.remove_prefix(end);
    }
  }
  if (!validator.complete()) return read_failed(std::string(kInvalidUtf8));
  return std::move(collector).finish();
}

}  // namespace

Result<LineRange> extract_code_by_line_range(std::string_view repo_path, std::string_view filename,
                                             uint64_t line_start, uint64_t line_end,
                                             std::optional<uint64_t> max_code_chars) {
  if (line_start == 0) return make_error(ErrorKind::ValueError, "line_start must be >= 1");
  if (line_end < line_start) return make_error(ErrorKind::ValueError, "line_end must be >= line_start");
  if (!filename.empty() && filename[0] == '/') return make_error(ErrorKind::ValueError, "absolute paths are not allowed");
  if (has_parent_step(filename)) return make_error(ErrorKind::ValueError, "path traversal is not allowed");

  auto cannot_read = [&](const std::string& text) {
    return make_error(ErrorKind::FileNotFoundError, "cannot read file: " + std::string(filename) + " (" + text + ")");
  };

  auto root = canonicalize(std::string(repo_path));
  if (!root) return make_error(ErrorKind::ValueError, "invalid repo_path: " + root.error().message);
  // Held from here on: the file is opened beneath this very directory, so a component
  // replaced by a symbolic link after the checks below cannot lead out of it.
  Fd root_fd(open(root->c_str(), O_PATH | O_CLOEXEC));
  if (!root_fd) return make_error(ErrorKind::ValueError, "invalid repo_path: " + os_error_text(errno));

  auto file = canonicalize(*root + "/" + std::string(filename));
  if (!file) return cannot_read(file.error().message);
  std::optional<std::string_view> relative = path_below(*file, *root);
  if (!relative) return make_error(ErrorKind::ValueError, "file escapes repo root");

  Fd fd(open_beneath(root_fd.get(), *relative));
  if (!fd) return cannot_read(os_error_text(errno));
  struct stat info;
  if (fstat(fd.get(), &info) != 0) return read_failed(os_error_text(errno));
  // A FIFO, socket or device could block or never end; only regular files are read.
  if (S_ISDIR(info.st_mode)) return read_failed(os_error_text(EISDIR));
  if (!S_ISREG(info.st_mode)) return read_failed(os_error_text(EINVAL));

  LineRange range = MN_TRY(read_line_range(fd.get(), line_start, line_end, max_code_chars));
  if (std::max<uint64_t>(range.file_line_count, 1) < line_start) {
    return make_error(ErrorKind::ValueError,
                      "line_start beyond end of file (" + std::to_string(range.file_line_count) + " lines)");
  }
  return range;
}

}  // namespace mn::utils

namespace mn::entries {
namespace {
constexpr Signature<1> kHashSig{"compute_file_hash()", {"content"}, 1};
constexpr Signature<2> kJaccardSig{"jaccard_similarity()", {"text1", "text2"}, 2};
constexpr Signature<2> kJaccardBatchSig{"jaccard_similarity_batch()", {"query", "texts"}, 2};
constexpr Signature<4> kMmrSig{"mmr_select_indices()", {"scores", "contents", "target_count", "lambda_param"}, 3};
constexpr Signature<5> kExtractSig{
    "extract_code_by_line_range()", {"repo_path", "filename", "line_start", "line_end", "max_code_chars"}, 4};
using Texts = kind::Sequence<kind::String>;
}  // namespace

PyObject* compute_file_hash(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String>(kHashSig, args, nargs, kwnames, utils::compute_file_hash);
}

PyObject* jaccard_similarity(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String>(kJaccardSig, args, nargs, kwnames, utils::jaccard_similarity);
}

PyObject* jaccard_similarity_batch(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, Texts>(kJaccardBatchSig, args, nargs, kwnames, utils::jaccard_similarity_batch);
}

PyObject* mmr_select_indices(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::Sequence<kind::Single>, Texts, kind::UInt, kind::WithDefault<kind::Single, 0.7>>(
      kMmrSig, args, nargs, kwnames, utils::mmr_select_indices);
}

PyObject* extract_code_by_line_range(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_fast<kind::String, kind::String, kind::UInt, kind::UInt, kind::Optional<kind::UInt>>(
      kExtractSig, args, nargs, kwnames, utils::extract_code_by_line_range);
}

}  // namespace mn::entries
