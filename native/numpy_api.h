// The NumPy array interface, reached at run time through the "_ARRAY_API" capsule of the
// core multiarray module, and the float32 vector and matrix argument kinds built on it.
//
// The module must import and work where NumPy is absent, so nothing here is touched at
// import: the table is loaded by the first conversion that needs it and kept for the
// life of the process. Only the few table slots and object fields used below are
// declared; their positions are part of NumPy's stable C ABI and are the same in the
// 1.x and 2.x series. Every function here runs with the interpreter lock held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "binder.h"

namespace mn::numpy {

namespace internal {

// The leading fields of NumPy's array object.
struct ArrayFields {
  PyObject ob_base;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

constexpr int kFlagCContiguous = 0x0001;
constexpr int kFlagFContiguous = 0x0002;
constexpr int kFlagAligned = 0x0100;
constexpr int kFlagWriteable = 0x0400;
constexpr int kTypeFloat32 = 11;

// Slot numbers in the API table.
constexpr size_t kSlotArrayType = 2;
constexpr size_t kSlotDescrFromType = 45;
constexpr size_t kSlotNewFromDescr = 94;
constexpr size_t kSlotEquivTypes = 182;
constexpr size_t kSlotSetBaseObject = 282;

struct Api {
  PyTypeObject* array_type;
  PyObject* (*descr_from_type)(int type_num);
  PyObject* (*new_from_descr)(PyTypeObject* subtype, PyObject* descr, int nd, const Py_ssize_t* dims,
                              const Py_ssize_t* strides, void* data, int flags, PyObject* obj);
  unsigned char (*equiv_types)(PyObject* a, PyObject* b);
  int (*set_base_object)(PyObject* array, PyObject* base);
  PyObject* float32_descr;  // kept for the life of the process
};

inline Api* g_api = nullptr;
inline const char* g_core_module = nullptr;  // "numpy._core" or "numpy.core", chosen once

// The pending Python exception as "Type: message", clearing it.
inline std::string take_exception_text() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref owned_type = Ref::steal(type), owned_value = Ref::steal(value), owned_tb = Ref::steal(traceback);
  std::string text = type ? type_qualname(reinterpret_cast<PyTypeObject*>(type)) : "unknown error";
  if (owned_value) {
    Ref str = Ref::steal(PyObject_Str(owned_value.get()));
    Py_ssize_t length = 0;
    const char* utf8 = str ? PyUnicode_AsUTF8AndSize(str.get(), &length) : nullptr;
    if (utf8 && length > 0) text += ": " + std::string(utf8, static_cast<size_t>(length));
  }
  PyErr_Clear();
  return text;
}

// NumPy 2 moved the core package; its version says where the multiarray module lives.
inline Result<const char*> core_module_name() {
  if (g_core_module) return g_core_module;
  Ref numpy = Ref::steal(PyImport_ImportModule("numpy"));
  if (!numpy) return python_raised();
  Ref version = Ref::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return python_raised();
  Ref lib = Ref::steal(PyImport_ImportModule("numpy.lib"));
  if (!lib) return python_raised();
  Ref parsed = Ref::steal(PyObject_CallMethod(lib.get(), "NumpyVersion", "O", version.get()));
  if (!parsed) return python_raised();
  Ref major = Ref::steal(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major) return python_raised();
  long value = PyLong_AsLong(major.get());
  if (value == -1 && PyErr_Occurred()) return python_raised();
  g_core_module = value >= 2 ? "numpy._core" : "numpy.core";
  return g_core_module;
}

inline Result<Api*> load_api() {
  const char* core = MN_TRY(core_module_name());
  std::string name = std::string(core) + ".multiarray";
  Ref multiarray = Ref::steal(PyImport_ImportModule(name.c_str()));
  if (!multiarray) return python_raised();
  Ref capsule = Ref::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return python_raised();
  if (!PyCapsule_CheckExact(capsule.get())) {
    PyErr_SetString(PyExc_TypeError, "_ARRAY_API is not a capsule");
    return python_raised();
  }
  auto table = static_cast<void**>(PyCapsule_GetPointer(capsule.get(), nullptr));
  if (!table) return python_raised();
  auto api = std::make_unique<Api>();
  api->array_type = static_cast<PyTypeObject*>(table[kSlotArrayType]);
  api->descr_from_type = reinterpret_cast<decltype(Api::descr_from_type)>(table[kSlotDescrFromType]);
  api->new_from_descr = reinterpret_cast<decltype(Api::new_from_descr)>(table[kSlotNewFromDescr]);
  api->equiv_types = reinterpret_cast<decltype(Api::equiv_types)>(table[kSlotEquivTypes]);
  api->set_base_object = reinterpret_cast<decltype(Api::set_base_object)>(table[kSlotSetBaseObject]);
  // A table from an incompatible build would make every later call undefined; refuse it
  // while that can still be seen.
  Ref ndarray = Ref::steal(PyObject_GetAttrString(multiarray.get(), "ndarray"));
  if (!ndarray) return python_raised();
  if (ndarray.get() != reinterpret_cast<PyObject*>(api->array_type)) {
    PyErr_SetString(PyExc_ImportError, "the array type in the API table is not numpy.ndarray");
    return python_raised();
  }
  api->float32_descr = api->descr_from_type(kTypeFloat32);
  if (!api->float32_descr) return python_raised();
  return api.release();
}

}  // namespace internal

using internal::Api;

// The API table, loaded on first use. A failure is not remembered: the next call retries.
inline Result<const Api*> api() {
  if (internal::g_api) return static_cast<const Api*>(internal::g_api);
  auto loaded = internal::load_api();
  if (!loaded.ok()) {
    std::string text = loaded.error().kind == ErrorKind::PythonRaised ? internal::take_exception_text()
                                                                       : loaded.error().message;
    return make_error(ErrorKind::InternalFault, "Failed to access NumPy array API capsule: " + text);
  }
  // Imports run Python code, so another thread may have finished first; keep the first.
  if (!internal::g_api) {
    internal::g_api = loaded.value();
  } else {
    Py_DECREF(loaded.value()->float32_descr);
    delete loaded.value();
  }
  return static_cast<const Api*>(internal::g_api);
}

// A read-only one-dimensional float32 view, valid for the call.
struct Float32Vector {
  const char* data;
  size_t size;
  ptrdiff_t stride;  // in bytes
  bool contiguous;   // the elements form one dense run starting at `data`
};

// A read-only two-dimensional float32 view with arbitrary (possibly negative) byte strides.
struct Float32Matrix {
  const char* data;
  size_t rows;
  size_t cols;
  ptrdiff_t row_stride;  // in bytes
  ptrdiff_t col_stride;  // in bytes
};

// Checks that `obj` is a float32 array of `nd` dimensions and returns its fields.
inline Result<const internal::ArrayFields*> float32_array(CallScope& scope, PyObject* obj, int nd) {
  const Api* np = MN_TRY(api());
  std::string array_name = type_qualname(np->array_type);
  if (!PyObject_TypeCheck(obj, np->array_type)) return type_mismatch(obj, array_name.c_str());
  auto fields = reinterpret_cast<const internal::ArrayFields*>(obj);
  if (fields->nd != nd || !np->equiv_types(fields->descr, np->float32_descr)) {
    return make_error(ErrorKind::TypeError,
                      "'" + array_name + "' object cannot be cast as '" + array_name + "'");
  }
  scope.keep(obj);
  return fields;
}

// A float32 buffer that becomes the storage of a result array without a copy.
class Float32Buffer {
 public:
  explicit Float32Buffer(size_t size, bool zeroed = false)
      : data_(static_cast<float*>(zeroed ? std::calloc(size ? size : 1, sizeof(float))
                                         : std::malloc((size ? size : 1) * sizeof(float)))),
        size_(size) {
    if (!data_ || size > PY_SSIZE_T_MAX / sizeof(float)) throw std::bad_alloc();
  }
  float* data() { return data_.get(); }
  size_t size() const { return size_; }
  float* release() { return data_.release(); }

 private:
  struct Free {
    void operator()(float* p) const { std::free(p); }
  };
  std::unique_ptr<float, Free> data_;
  size_t size_;
};

namespace internal {

// Owns a result array's buffer and frees it when the array lets go of it.
struct BufferOwner {
  PyObject ob_base;
  float* data;
};

inline void buffer_owner_dealloc(PyObject* self) {
  std::free(reinterpret_cast<BufferOwner*>(self)->data);
  PyTypeObject* type = Py_TYPE(self);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

inline PyTypeObject* buffer_owner_type() {
  static PyObject* type = nullptr;  // created under the interpreter lock, never released
  if (!type) {
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(buffer_owner_dealloc)},
        {Py_tp_doc, const_cast<char*>("Owns the storage of a float32 result array.")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"morvane_native.Float32BufferOwner", sizeof(BufferOwner), 0, Py_TPFLAGS_DEFAULT,
                               slots};
    type = PyType_FromSpec(&spec);
  }
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace internal

// A new one-dimensional float32 array that takes over `buffer`.
inline Result<PyResult> array_from_buffer(Float32Buffer&& buffer) {
  const Api* np = MN_TRY(api());
  PyTypeObject* owner_type = internal::buffer_owner_type();
  if (!owner_type) return python_raised();
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(owner_type, Py_tp_alloc));
  Ref owner = Ref::steal(alloc(owner_type, 0));
  if (!owner) return python_raised();
  float* data = buffer.release();
  reinterpret_cast<internal::BufferOwner*>(owner.get())->data = data;
  Py_ssize_t dims[1] = {static_cast<Py_ssize_t>(buffer.size())};
  Py_INCREF(np->float32_descr);  // the constructor steals it
  Ref array = Ref::steal(np->new_from_descr(np->array_type, np->float32_descr, 1, dims, nullptr, data,
                                            internal::kFlagCContiguous | internal::kFlagAligned |
                                                internal::kFlagWriteable,
                                            nullptr));
  if (!array) return python_raised();
  if (np->set_base_object(array.get(), owner.release()) < 0) return python_raised();
  return PyResult{std::move(array)};
}

}  // namespace mn::numpy

namespace mn {

namespace kind {
struct Float32Vector { using native = numpy::Float32Vector; };
struct Float32Matrix { using native = numpy::Float32Matrix; };
}  // namespace kind

template <> struct Converter<kind::Float32Vector> {
  static Result<numpy::Float32Vector> convert(CallScope& scope, PyObject* obj) {
    auto fields = MN_TRY(numpy::float32_array(scope, obj, 1));
    bool contiguous = fields->flags & (numpy::internal::kFlagCContiguous | numpy::internal::kFlagFContiguous);
    return numpy::Float32Vector{fields->data, static_cast<size_t>(fields->dimensions[0]), fields->strides[0],
                                contiguous};
  }
};

template <> struct Converter<kind::Float32Matrix> {
  static Result<numpy::Float32Matrix> convert(CallScope& scope, PyObject* obj) {
    auto fields = MN_TRY(numpy::float32_array(scope, obj, 2));
    return numpy::Float32Matrix{fields->data, static_cast<size_t>(fields->dimensions[0]),
                                static_cast<size_t>(fields->dimensions[1]), fields->strides[0], fields->strides[1]};
  }
};

}  // namespace mn
