// The boundary between Python and native code: one table-driven binder for every entry
// point, the argument conversion kinds, the result conversions and the fault barrier.
//
// An entry wrapper declares its parameters once, as a `Signature` plus a list of kinds,
// and hands a body that works on native values only:
//
//   static constexpr Signature<1> kSig{"extract_code_tokens()", {"text"}, 1};
//   PyObject* py_extract_code_tokens(PyObject*, PyObject* const* args, Py_ssize_t n, PyObject* kw) {
//     return call_fast<kind::String>(kSig, args, n, kw, [](std::string_view text) {
//       return extract_code_tokens(text);
//     });
//   }
//
// Binding, conversion (in parameter order, first failure wins) and result building all
// happen here, so every entry point reports the same messages. Bodies return a native
// value or a Result<value>; see `to_python` for the value kinds.
#pragma once

#include <Python.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "error.h"
#include "hash_map.h"
#include "py_ref.h"

namespace mn {

// ---------------------------------------------------------------------------------------
// Signatures and binding

template <size_t P>
struct Signature {
  const char* name;  // as shown in messages, e.g. "pagerank()"
  std::array<const char*, P> params;
  size_t required;
};

struct SignatureView {
  const char* name;
  const char* const* params;
  size_t count;
  size_t required;
};

template <size_t P>
SignatureView view(const Signature<P>& sig) {
  return {sig.name, sig.params.data(), P, sig.required};
}

// Binds fast-call arguments to parameter slots (borrowed references; NULL when absent).
// Returns false with a TypeError set on a binding error.
bool bind_fastcall(const SignatureView& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                   PyObject** slots);
// Binds constructor arguments (tuple and optional dict) to slots.
bool bind_tuple_dict(const SignatureView& sig, PyObject* args, PyObject* kwargs, PyObject** slots);

// ---------------------------------------------------------------------------------------
// Conversion kinds

// Keeps Python objects alive for the duration of one call, so that borrowed views into
// them (string bytes, array buffers) stay valid while the interpreter lock is released.
class CallScope {
 public:
  void keep(PyObject* obj) { kept_.push_back(Ref::borrow(obj)); }

 private:
  std::vector<Ref> kept_;
};

// Builds the type-mismatch message "'T' object cannot be cast as 'U'".
std::string type_mismatch_message(PyObject* value, const char* target);
Error type_mismatch(PyObject* value, const char* target);
// The __qualname__ of a type, or "<failed to extract type name>".
std::string type_qualname(PyTypeObject* type);

// A string argument whose object is also kept, so that results can hand the caller's own
// str back instead of building an equal one. Native code reads only `text`.
struct StrArg {
  std::string_view text;
  PyObject* object;  // borrowed; kept alive by the call's CallScope
};

namespace kind {
struct String { using native = std::string_view; };
struct StringObject { using native = StrArg; };
struct UInt { using native = uint64_t; };
struct Float { using native = double; };
struct Single { using native = float; };
struct Bool { using native = bool; };
template <class K> struct Optional { using native = std::optional<typename K::native>; };
template <class K> struct Sequence { using native = std::vector<typename K::native>; };
template <class A, class B> struct Pair {
  using native = std::pair<typename A::native, typename B::native>;
};
// A parameter that may be left out, taking `Default` then; `None` is converted as K.
template <class K, auto Default> struct WithDefault { using native = typename K::native; };
}  // namespace kind

// Converter<K>::convert(scope, obj) -> Result<K::native>. Families may add kinds by
// specialising Converter.
template <class K> struct Converter;

Result<std::string_view> convert_string(CallScope& scope, PyObject* obj);
Result<uint64_t> convert_uint(PyObject* obj);
Result<double> convert_float(PyObject* obj);
Result<bool> convert_bool(PyObject* obj);
// Checks the sequence protocol; returns the size hint (0 if the length fails).
Result<size_t> sequence_size_hint(PyObject* obj);
// Calls visit(item) for each element in iteration order; stops at the first error.
template <class Visit>
Status for_each_item(PyObject* obj, Visit&& visit);
Status check_pair(PyObject* obj);

template <> struct Converter<kind::String> {
  static Result<std::string_view> convert(CallScope& scope, PyObject* obj) { return convert_string(scope, obj); }
};
template <> struct Converter<kind::StringObject> {
  static Result<StrArg> convert(CallScope& scope, PyObject* obj) {
    std::string_view text = MN_TRY(convert_string(scope, obj));
    return StrArg{text, obj};
  }
};
template <> struct Converter<kind::UInt> {
  static Result<uint64_t> convert(CallScope&, PyObject* obj) { return convert_uint(obj); }
};
template <> struct Converter<kind::Float> {
  static Result<double> convert(CallScope&, PyObject* obj) { return convert_float(obj); }
};
template <> struct Converter<kind::Single> {
  static Result<float> convert(CallScope&, PyObject* obj) {
    double v = MN_TRY(convert_float(obj));
    return static_cast<float>(v);
  }
};
template <> struct Converter<kind::Bool> {
  static Result<bool> convert(CallScope&, PyObject* obj) { return convert_bool(obj); }
};
template <class K> struct Converter<kind::Optional<K>> {
  static Result<std::optional<typename K::native>> convert(CallScope& scope, PyObject* obj) {
    if (obj == nullptr || obj == Py_None) return std::optional<typename K::native>();
    auto value = MN_TRY(Converter<K>::convert(scope, obj));
    return std::optional<typename K::native>(std::move(value));
  }
};
template <class K> struct Converter<kind::Sequence<K>> {
  static Result<std::vector<typename K::native>> convert(CallScope& scope, PyObject* obj) {
    size_t hint = MN_TRY(sequence_size_hint(obj));
    std::vector<typename K::native> out;
    out.reserve(hint);
    Status st = for_each_item(obj, [&](PyObject* item) -> Status {
      out.push_back(MN_TRY(Converter<K>::convert(scope, item)));
      return ok_status();
    });
    if (!st.ok()) return st.take_error();
    return out;
  }
};
template <class A, class B> struct Converter<kind::Pair<A, B>> {
  static Result<std::pair<typename A::native, typename B::native>> convert(CallScope& scope, PyObject* obj) {
    MN_TRY(check_pair(obj));
    auto first = MN_TRY(Converter<A>::convert(scope, PyTuple_GetItem(obj, 0)));
    auto second = MN_TRY(Converter<B>::convert(scope, PyTuple_GetItem(obj, 1)));
    return std::pair<typename A::native, typename B::native>(std::move(first), std::move(second));
  }
};
template <class K, auto Default> struct Converter<kind::WithDefault<K, Default>> {
  static Result<typename K::native> convert(CallScope& scope, PyObject* obj) {
    if (obj == nullptr) return static_cast<typename K::native>(Default);
    return Converter<K>::convert(scope, obj);
  }
};

template <class Visit>
Status for_each_item(PyObject* obj, Visit&& visit) {
  if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
    bool is_list = PyList_CheckExact(obj);
    // Re-read the size each time: element conversion may run Python code.
    for (Py_ssize_t i = 0;; ++i) {
      Py_ssize_t size = is_list ? PyList_Size(obj) : PyTuple_Size(obj);
      if (i >= size) break;
      Ref item = Ref::borrow(is_list ? PyList_GetItem(obj, i) : PyTuple_GetItem(obj, i));
      MN_TRY(visit(item.get()));
    }
    return ok_status();
  }
  Ref iter = Ref::steal(PyObject_GetIter(obj));
  if (!iter) return python_raised();
  while (Ref item = Ref::steal(PyIter_Next(iter.get()))) {
    MN_TRY(visit(item.get()));
  }
  if (PyErr_Occurred()) return python_raised();
  return ok_status();
}

// ---------------------------------------------------------------------------------------
// Results

// A Python object built by a body itself (for example a NumPy array).
struct PyResult {
  Ref object;
};
struct None {};

// A string-keyed map returned as a dict in the order of `items`.
template <class T>
struct StrMap {
  std::vector<std::pair<std::string, T>> items;
};

Ref to_python(None);
Ref to_python(bool v);
Ref to_python(unsigned long v);
Ref to_python(unsigned long long v);
Ref to_python(long v);
Ref to_python(long long v);
Ref to_python(int v);
Ref to_python(double v);
Ref to_python(float v);
Ref to_python(std::string_view v);
inline Ref to_python(const std::string& v) { return to_python(std::string_view(v)); }
inline Ref to_python(const char* v) { return to_python(std::string_view(v)); }
inline Ref to_python(const StrArg& v) { return Ref::borrow(v.object); }
inline Ref to_python(PyResult&& v) { return std::move(v.object); }
inline Ref to_python(PyResult& v) { return std::move(v.object); }

template <class T> Ref to_python(const std::vector<T>& v);
template <class T> Ref to_python(const std::optional<T>& v);
template <class... T> Ref to_python(const std::tuple<T...>& v);
template <class A, class B> Ref to_python(const std::pair<A, B>& v);
template <class T> Ref to_python(const StrMap<T>& v);
template <class T> Ref to_python(const HashMap<std::string, T>& v);

template <class T>
Ref to_python(const std::vector<T>& v) {
  Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(v.size())));
  if (!list) return list;
  for (size_t i = 0; i < v.size(); ++i) {
    Ref item = to_python(v[i]);
    if (!item) return Ref();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());
  }
  return list;
}

template <class T>
Ref to_python(const std::optional<T>& v) {
  if (!v) return to_python(None{});
  return to_python(*v);
}

template <class... T>
Ref to_python(const std::tuple<T...>& v) {
  Ref tuple = Ref::steal(PyTuple_New(sizeof...(T)));
  if (!tuple) return tuple;
  bool ok = true;
  Py_ssize_t index = 0;
  std::apply([&](const auto&... field) {
    ((ok = ok && [&] {
       Ref item = to_python(field);
       if (!item) return false;
       PyTuple_SetItem(tuple.get(), index++, item.release());
       return true;
     }()), ...);
  }, v);
  return ok ? std::move(tuple) : Ref();
}

template <class A, class B>
Ref to_python(const std::pair<A, B>& v) {
  return to_python(std::tuple<const A&, const B&>(v.first, v.second));
}

namespace internal {
template <class Range>
Ref dict_from_range(const Range& range) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return dict;
  for (const auto& [key, value] : range) {
    Ref k = to_python(key);
    Ref v = to_python(value);
    if (!k || !v || PyDict_SetItem(dict.get(), k.get(), v.get()) < 0) return Ref();
  }
  return dict;
}
}  // namespace internal

template <class T>
Ref to_python(const StrMap<T>& v) { return internal::dict_from_range(v.items); }
template <class T>
Ref to_python(const HashMap<std::string, T>& v) { return internal::dict_from_range(v); }

// ---------------------------------------------------------------------------------------
// Errors at the boundary

// Sets the Python exception for an error value.
void raise(const Error& error);
// Applies the "argument 'NAME': " prefix to a failed conversion (TypeErrors only) and
// sets the resulting exception.
void raise_conversion_error(const Error& error, const char* param);

// Runs `body` (returning a PyObject* new reference or NULL) and turns any C++ exception
// into the internal-fault exception (or MemoryError), so none unwinds into the interpreter.
template <class Body>
PyObject* fault_barrier(Body&& body) noexcept;
PyObject* raise_internal_fault(const char* message);

template <class Body>
PyObject* fault_barrier(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_internal_fault(e.what());
  } catch (...) {
    return raise_internal_fault(nullptr);
  }
}

// ---------------------------------------------------------------------------------------
// Entry wrappers

namespace internal {

template <class T> struct is_result : std::false_type {};
template <class T> struct is_result<Result<T>> : std::true_type {};

template <class R>
PyObject* finish(R&& r) {
  if constexpr (is_result<std::decay_t<R>>::value) {
    if (!r.ok()) {
      raise(r.error());
      return nullptr;
    }
    return to_python(std::move(r).value()).release();
  } else {
    return to_python(std::forward<R>(r)).release();
  }
}

// Converts slot I with kind K; on failure raises with the parameter's prefix.
template <class... Kinds, size_t... I>
std::optional<std::tuple<typename Kinds::native...>> convert_all(CallScope& scope, const SignatureView& sig,
                                                                 PyObject** slots, std::index_sequence<I...>) {
  std::tuple<std::optional<typename Kinds::native>...> values;
  bool ok = true;
  ((ok = ok && [&] {
     auto r = Converter<Kinds>::convert(scope, slots[I]);
     if (!r.ok()) {
       raise_conversion_error(r.error(), sig.params[I]);
       return false;
     }
     std::get<I>(values).emplace(std::move(r).value());
     return true;
   }()), ...);
  if (!ok) return std::nullopt;
  return std::tuple<typename Kinds::native...>(std::move(*std::get<I>(values))...);
}

template <class... Kinds, class Body, class... Extra>
PyObject* convert_and_run(const SignatureView& sig, PyObject** slots, Body& body, Extra&&... extra) {
  CallScope scope;
  auto values = convert_all<Kinds...>(scope, sig, slots, std::index_sequence_for<Kinds...>{});
  if (!values) return nullptr;
  return finish(std::apply([&](auto&... v) { return body(std::forward<Extra>(extra)..., v...); }, *values));
}

}  // namespace internal

// Module-level function through the fast-call protocol.
template <class... Kinds, size_t P, class Body>
PyObject* call_fast(const Signature<P>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    Body&& body) {
  static_assert(sizeof...(Kinds) == P, "one kind per parameter");
  return fault_barrier([&]() -> PyObject* {
    PyObject* slots[P > 0 ? P : 1] = {};
    if (!bind_fastcall(view(sig), args, nargs, kwnames, slots)) return nullptr;
    return internal::convert_and_run<Kinds...>(view(sig), slots, body);
  });
}

// Method through the fast-call protocol. After binding, `prelude()` runs (receiver check,
// borrow) and returns Result<Guard>; the guard lives until the call ends and the body
// receives it as its first argument.
template <class... Kinds, size_t P, class Prelude, class Body>
PyObject* call_method(const Signature<P>& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Prelude&& prelude, Body&& body) {
  static_assert(sizeof...(Kinds) == P, "one kind per parameter");
  return fault_barrier([&]() -> PyObject* {
    PyObject* slots[P > 0 ? P : 1] = {};
    if (!bind_fastcall(view(sig), args, nargs, kwnames, slots)) return nullptr;
    auto guard = prelude();
    if (!guard.ok()) {
      raise(guard.error());
      return nullptr;
    }
    return internal::convert_and_run<Kinds...>(view(sig), slots, body, guard.value());
  });
}

// Constructor (`tp_new`) with a positional tuple and a keyword dict.
template <class... Kinds, size_t P, class Body>
PyObject* call_new(const Signature<P>& sig, PyObject* args, PyObject* kwargs, Body&& body) {
  static_assert(sizeof...(Kinds) == P, "one kind per parameter");
  return fault_barrier([&]() -> PyObject* {
    PyObject* slots[P > 0 ? P : 1] = {};
    if (!bind_tuple_dict(view(sig), args, kwargs, slots)) return nullptr;
    return internal::convert_and_run<Kinds...>(view(sig), slots, body);
  });
}

// Runs `work` with the interpreter lock released; `work` must not touch Python objects.
template <class Work>
auto without_gil(Work&& work) {
  struct Reacquire {
    PyThreadState* state;
    ~Reacquire() { PyEval_RestoreThread(state); }
  } reacquire{PyEval_SaveThread()};
  return work();
}

// ---------------------------------------------------------------------------------------
// Borrow counter of an object that native code reads without the interpreter lock.
// 0 free, n > 0 shared borrows, -1 one exclusive borrow.

class BorrowCounter;

class BorrowGuard {
 public:
  BorrowGuard() = default;
  BorrowGuard(BorrowGuard&& other) noexcept : counter_(std::exchange(other.counter_, nullptr)), exclusive_(other.exclusive_) {}
  BorrowGuard& operator=(BorrowGuard&&) = delete;
  ~BorrowGuard();

 private:
  friend class BorrowCounter;
  BorrowGuard(BorrowCounter* counter, bool exclusive) : counter_(counter), exclusive_(exclusive) {}
  BorrowCounter* counter_ = nullptr;
  bool exclusive_ = false;
};

class BorrowCounter {
 public:
  Result<BorrowGuard> borrow_shared() {
    int64_t current = state_.load(std::memory_order_relaxed);
    do {
      if (current == -1) return make_error(ErrorKind::RuntimeError, "Already mutably borrowed");
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire));
    return BorrowGuard(this, false);
  }
  Result<BorrowGuard> borrow_exclusive() {
    int64_t expected = 0;
    if (!state_.compare_exchange_strong(expected, -1, std::memory_order_acquire))
      return make_error(ErrorKind::RuntimeError, "Already borrowed");
    return BorrowGuard(this, true);
  }
  int64_t load() const { return state_.load(); }

 private:
  friend class BorrowGuard;
  std::atomic<int64_t> state_{0};
};

inline BorrowGuard::~BorrowGuard() {
  if (!counter_) return;
  if (exclusive_) {
    counter_->state_.store(0, std::memory_order_release);
  } else {
    counter_->state_.fetch_sub(1, std::memory_order_release);
  }
}

}  // namespace mn
