// parse_source and explain: a text's tree with where each element stands in
// the text, and the tag-like texts that stayed text, with why.
#include <vector>

#include "fast_parse/explain.hpp"
#include "lib/py_fast_parse.hpp"
#include "python/py_failure.hpp"
#include "python/py_ref.hpp"
#include "python/py_str.hpp"
#include "tree/tree_ops.hpp"

namespace quillet::tree {

PyObject* parse_source(PyObject* text) {
  return guarded([&]() -> PyObject* {
    // The pair is made first: a container made just after the tree would
    // start a collection of the whole young tree (the parse made far more
    // containers than the collector's threshold). Bytes are no container.
    // Until it is filled, the collector does not see it.
    PyRef pair(QUILLET_PY_NEW(PyTuple_New(2)));
    PyObject_GC_UnTrack(pair.get());
    std::vector<ElementSpan> spans;
    PyObject* tree = fast_parse_to_py(text, &spans);
    if (!tree) return nullptr;
    PyTuple_SET_ITEM(pair.get(), 0, tree);
    static_assert(sizeof(ElementSpan) == 4 * sizeof(std::uint32_t));
    PyTuple_SET_ITEM(pair.get(), 1, QUILLET_PY_NEW(PyBytes_FromStringAndSize(
        reinterpret_cast<const char*>(spans.data()), static_cast<Py_ssize_t>(spans.size() * sizeof(ElementSpan)))));
    PyObject_GC_Track(pair.get());
    return pair.release();
  });
}

namespace {

// Runs the handlers of pending signals; one that raises ends the work.
void check_signals(void*) {
  if (PyErr_CheckSignals() < 0) throw PythonErrorSet{};
}

template <class CharT>
PyObject* explain_of(const void* data, Py_ssize_t length) {
  const auto stayed = fast::explain_text(static_cast<const CharT*>(data), static_cast<fast::Pos>(length),
                                         fast::Checkpoint(&check_signals, nullptr));
  PyRef out(QUILLET_PY_NEW(PyList_New(static_cast<Py_ssize_t>(stayed.size()))));
  for (std::size_t i = 0; i < stayed.size(); ++i) {
    const fast::Stayed& s = stayed[i];
    const long long close = s.close == fast::kNone ? -1 : static_cast<long long>(s.close);
    PyObject* row = QUILLET_PY_NEW(Py_BuildValue("(kLi)", static_cast<unsigned long>(s.start), close,
                                                 static_cast<int>(s.reason)));
    PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), row);
    if ((i & 0xFFFF) == 0xFFFF) check_signals(nullptr);
  }
  return out.release();
}

}  // namespace

PyObject* explain(PyObject* text) {
  return guarded([&]() -> PyObject* {
    const StrStorage t = str_storage(text);
    if (static_cast<std::uint64_t>(t.length) >= fast::kNone) {
      PyErr_SetString(PyExc_ValueError, "explain() takes texts of fewer than 4294967295 characters");
      return nullptr;
    }
    switch (t.kind) {
      case PyUnicode_1BYTE_KIND: return explain_of<std::uint8_t>(t.data, t.length);
      case PyUnicode_2BYTE_KIND: return explain_of<std::uint16_t>(t.data, t.length);
      default: return explain_of<std::uint32_t>(t.data, t.length);
    }
  });
}

PyObject* reason_texts() {
  return guarded([]() -> PyObject* {
    const auto n = static_cast<Py_ssize_t>(fast::Reason::count);
    PyRef out(QUILLET_PY_NEW(PyTuple_New(n)));
    for (Py_ssize_t i = 0; i < n; ++i) {
      const std::string_view text = fast::reason_text(static_cast<fast::Reason>(i));
      PyTuple_SET_ITEM(out.get(), i,
                       QUILLET_PY_NEW(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
    }
    return out.release();
  });
}

}  // namespace quillet::tree
