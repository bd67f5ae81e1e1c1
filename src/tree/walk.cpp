// The pieces of the walking rules that need no template.
#include "tree/walk.hpp"

#include "python/py_state.hpp"

namespace quillet::tree {

int children_of(PyObject* element, PyRef& children) {
  const int found = lookup(element, element_keys().children, children);
  if (found <= 0) return found;
  if (PyList_Check(children.get())) return 1;
  PyErr_Format(PyExc_TypeError, "an element's children are a list, not %s",
               Py_TYPE(children.get())->tp_name);
  children = PyRef();
  return -1;
}

}  // namespace quillet::tree
