// fast_parse_to_py when the engine's own memory runs out: every C++
// allocation of a parse made to fail in turn, each failure clean.
#include "lib/py_fast_parse.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "lib/long_substring.hpp"
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

// A slice of three and a bit pieces, with one character of each width at
// its first, a middle or its last place (or just outside it): the same str
// as PyUnicode_Substring makes, in the same storage, with a check after
// each piece is read and after each is copied.
TEST(PyFastParseTest, LongSubstringsAreWholeAndChecked) {
  const Py_ssize_t n = static_cast<Py_ssize_t>(3 * kCharsPerSignalCheck + 5);
  for (const Py_UCS4 wide : {Py_UCS4{'b'}, Py_UCS4{0xE9}, Py_UCS4{0x4E2D}, Py_UCS4{0x1F600}}) {
    for (const Py_ssize_t at : {Py_ssize_t{0}, Py_ssize_t{1}, n / 2, n - 2, n - 1}) {
      PyObject* input = PyUnicode_New(n, wide);
      ASSERT_NE(input, nullptr);
      for (Py_ssize_t i = 0; i < n; ++i) PyUnicode_WRITE(PyUnicode_KIND(input), PyUnicode_DATA(input), i, 'a');
      PyUnicode_WRITE(PyUnicode_KIND(input), PyUnicode_DATA(input), at, wide);
      const fast::Span s{1, static_cast<fast::Pos>(n - 1)};
      std::size_t checks = 0;
      auto count = [&checks] { ++checks; };
      PyObject* got = nullptr;
      switch (PyUnicode_KIND(input)) {
        case PyUnicode_1BYTE_KIND: got = long_substring(input, PyUnicode_1BYTE_DATA(input), s, count); break;
        case PyUnicode_2BYTE_KIND: got = long_substring(input, PyUnicode_2BYTE_DATA(input), s, count); break;
        default: got = long_substring(input, PyUnicode_4BYTE_DATA(input), s, count); break;
      }
      PyObject* want = PyUnicode_Substring(input, s.begin, s.end);
      ASSERT_NE(got, nullptr);
      ASSERT_NE(want, nullptr);
      EXPECT_EQ(PyUnicode_KIND(got), PyUnicode_KIND(want)) << wide << " at " << at;
      EXPECT_EQ(PyUnicode_Compare(got, want), 0) << wide << " at " << at;
      EXPECT_EQ(checks, 2 * ((s.size() + kCharsPerSignalCheck - 1) / kCharsPerSignalCheck));
      Py_DECREF(want);
      Py_DECREF(got);
      Py_DECREF(input);
    }
  }
}

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
