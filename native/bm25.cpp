// The BM25Engine class. (Engine state and scoring are still to be built.)
#include <Python.h>

#include <new>

#include "binder.h"
#include "entries.h"

namespace mn {
namespace {

struct EngineObject {
  PyObject_HEAD
  float k1, b, delta;
  BorrowCounter borrow;
};

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
        new (&engine->borrow) BorrowCounter();
        return PyResult{Ref::steal(self)};
      });
}

void engine_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* engine = reinterpret_cast<EngineObject*>(self);
  engine->borrow.~BorrowCounter();
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

PyObject* engine_not_built(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "BM25Engine is not available in this build yet");
  return nullptr;
}

PyObject* engine_get_stats(PyObject*, PyObject*) { return engine_not_built(nullptr, nullptr, 0, nullptr); }

PyMethodDef kMethods[] = {
    {"index", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_not_built)),
     METH_FASTCALL | METH_KEYWORDS,
     "index($self, documents)\n--\n\nIndex a corpus of documents\n\nArgs:\n    documents: List of document strings "
     "to index"},
    {"score", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(engine_not_built)),
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
