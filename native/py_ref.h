// Ownership of Python references as a type. An owned reference (`Ref`) releases itself;
// a borrowed pointer stays a plain `PyObject*` and is never released by this code.
// Every function here must be called with the interpreter lock held.
#pragma once

#include <Python.h>

#include <utility>

namespace mn {

class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (may be NULL).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) {
    Py_XINCREF(obj);
    return Ref(obj);
  }

  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Hands the reference to the caller (for example to return it to the interpreter).
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace mn
