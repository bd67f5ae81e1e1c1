// fast_parse_to_py when the engine's own memory runs out: every C++
// allocation of a parse made to fail in turn, each failure clean.
#include "lib/py_fast_parse.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "py/py_support.hpp"

namespace {

// Allocations left before operator new fails; negative: never fails.
thread_local long t_new_countdown = -1;

}  // namespace

// The replaceable global allocation functions, counting down while armed.
void* operator new(std::size_t size) {
  if (t_new_countdown == 0) {
    t_new_countdown = -1;
    throw std::bad_alloc();
  }
  if (t_new_countdown > 0) --t_new_countdown;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace quillet {
namespace {

using test::allocated_blocks;

TEST(PyFastParseTest, EveryFailingEngineAllocationReleasesWhatWasMade) {
  // Many distinct short texts, attribute names and class names, so that the
  // shared-string cache holds strs whenever an allocation fails.
  std::string markup;
  for (int i = 0; i < 40; ++i) {
    const std::string n = std::to_string(i);
    markup += "<div id=\"d" + n + "\" class=\"a" + n + " b\" k" + n + "=\"v" + n + "\"> t" + n +
              " <b>x" + n + "</b><br/></div>\n";
  }
  PyObject* input = PyUnicode_FromStringAndSize(markup.data(), static_cast<Py_ssize_t>(markup.size()));
  ASSERT_NE(input, nullptr);
  PyObject* expected = fast_parse_to_py(input);  // also fills the thread's index storage
  ASSERT_NE(expected, nullptr);
  // A whole tree dropped fills the interpreter's free lists of lists and
  // dicts, whose blocks stay allocated: the count below then moves only for
  // objects still alive.
  Py_DECREF(fast_parse_to_py(input));
  const long baseline = allocated_blocks();
  int failures = 0;
  for (long n = 0;; ++n) {
    ASSERT_LT(n, 1000000) << "the parse never succeeded";
    PyObject* out = nullptr;
    t_new_countdown = n;
    try {
      out = fast_parse_to_py(input);
    } catch (const std::bad_alloc&) {
      ++failures;
    }
    const bool done = t_new_countdown >= 0;  // the failing allocation never came
    t_new_countdown = -1;
    if (out) {
      ASSERT_TRUE(done) << "allocation " << n << " failed unnoticed";
      EXPECT_EQ(PyObject_RichCompareBool(out, expected, Py_EQ), 1);
      Py_DECREF(out);
      break;
    }
    ASSERT_FALSE(PyErr_Occurred()) << n;
    ASSERT_EQ(allocated_blocks(), baseline) << "leak after failing allocation " << n;
  }
  EXPECT_GT(failures, 0);
  Py_DECREF(expected);
  Py_DECREF(input);
}

}  // namespace
}  // namespace quillet
