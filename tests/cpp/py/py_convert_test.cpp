// value_into_py / dict_into_py: output shape and key order, deep trees, failures without leaks.
#include "reference/py_convert.hpp"

#include <Python.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "advanced_detectors/tag_scope_detector.hpp"
#include "base/errors.hpp"
#include "python/py_failure.hpp"
#include "python/py_state.hpp"
#include "py/py_support.hpp"

namespace quillet {
namespace {

std::string repr(PyObject* obj) {
  PyObject* r = PyObject_Repr(obj);
  EXPECT_NE(r, nullptr);
  std::string out = PyUnicode_AsUTF8(r);
  Py_DECREF(r);
  return out;
}

std::string converted_repr(Value v) {
  PyObject* obj = value_into_py(std::move(v));
  std::string out = repr(obj);
  Py_DECREF(obj);
  return out;
}

Result text(const char32_t* s) { return Result::text_run(Chars(s)); }

// An element as the tag scope detector records it.
Result element(const std::string& tag, std::vector<std::pair<std::string, std::string>> attrs,
               std::optional<std::vector<Result>> children = std::nullopt) {
  Dict tag_attrs;
  for (auto& [k, v] : attrs) tag_attrs.set(k, Value(v));
  return Result(TagScopeDetector{}, std::nullopt, element_record(tag, std::move(tag_attrs), !children),
                std::move(children));
}

Value array(std::vector<Value> items) { return Value(std::move(items)); }

struct Case {
  const char* name;
  std::function<Value()> make;
  const char* repr;
};

TEST(PyConvertTest, ShapesAndKeyOrder) {
  const std::vector<Case> cases = {
      {"none", [] { return Value(); }, "None"},
      {"string", [] { return Value("h\xc3\xa9llo"); }, "'h\xc3\xa9llo'"},
      {"booleans", [] { return array({Value(true), Value(false)}); }, "[True, False]"},
      {"float", [] { return Value(2.5); }, "2.5"},
      {"integer extremes", [] { return array({Value(INT64_MIN), Value(INT64_MAX)}); },
       "[-9223372036854775808, 9223372036854775807]"},
      {"queue is a list of chars", [] { return Value(Chars(U"a\U0001F600")); },
       "['a', '\xf0\x9f\x98\x80']"},
      {"empty queue", [] { return Value(Chars()); }, "[]"},
      {"properties keep insertion order",
       [] {
         return Value(Dict::from({{"z", std::string("1")}, {"a", true}, {"m", std::string("3")}}));
       },
       "{'z': '1', 'a': True, 'm': '3'}"},
      {"nested arrays", [] { return array({array({}), array({Value(1)})}); }, "[[], [1]]"},
      {"text run", [] { return Value(text(U"x \u00e9")); }, "'x \xc3\xa9'"},
      {"text run without text", [] { return Value(Result(PlainText{})); }, "''"},
      {"text run ignores attributes and children",
       [] {
         return Value(Result(PlainText{}, Chars(U"t"), Dict::from({{"tag", std::string("p")}}),
                             std::vector<Result>{text(U"c")}));
       },
       "'t'"},
      {"result without attributes", [] { return Value(Result(WordDetector{})); },
       "{'children': []}"},
      {"leading keys come first whatever the recording order",
       [] {
         Dict d = Dict::from(
             {{"w", std::string("1")}, {"style", std::string("s")}, {"tag", std::string("t")}});
         return Value(Result(TagScopeDetector{}, Chars(U"content"), std::move(d)));
       },
       "{'tag': 't', 'style': 's', 'w': '1', 'children': []}"},
      {"attributes entry that is no dict is dropped",
       [] {
         Dict d = Dict::from({{"attributes", std::string("x")}, {"k", std::string("v")}});
         return Value(Result(WordDetector{}, std::nullopt, std::move(d)));
       },
       "{'k': 'v', 'children': []}"},
      {"one-element array holds what the result alone gives",
       [] { return array({Value(element("b", {}, std::vector<Result>{text(U"x")}))}); },
       "[{'tag': 'b', 'id': '', 'classes': [''], 'style': '', 'is_self_closing': False, "
       "'children': ['x']}]"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(converted_repr(c.make()), c.repr) << c.name;
  }
}

TEST(PyConvertTest, DictIntoPy) {
  PyObject* obj = dict_into_py(Dict::from({{"b", std::string("1")}, {"a", Chars(U"xy")}}));
  EXPECT_EQ(repr(obj), "{'b': '1', 'a': ['x', 'y']}");
  Py_DECREF(obj);
}

constexpr int kDeep = 1'000'000;

// The next container level below `node` (borrowed), or nullptr at a leaf.
PyObject* descend(PyObject* node) {
  if (PyList_Check(node)) return PyList_GET_SIZE(node) == 1 ? PyList_GET_ITEM(node, 0) : nullptr;
  if (!PyDict_Check(node)) return nullptr;
  PyObject* k = PyDict_GetItemString(node, "k");
  return k ? k : PyDict_GetItemString(node, "children");
}

// Converts `v` and returns how many container levels lead to `leaf`.
int depth_of(Value v, const char* leaf) {
  PyObject* root = value_into_py(std::move(v));
  int depth = 0;
  PyObject* node = root;
  for (PyObject* next; (next = descend(node)); node = next) ++depth;
  EXPECT_EQ(repr(node), leaf);
  Py_DECREF(root);
  return depth;
}

TEST(PyConvertTest, MillionDeepResults) {
  Result tree = text(U"leaf");
  for (int i = 0; i < kDeep; ++i) {
    std::vector<Result> children;  // not an initializer list: that would copy the subtree
    children.push_back(std::move(tree));
    tree = Result(TagScopeDetector{}, std::nullopt, std::nullopt, std::move(children));
  }
  EXPECT_EQ(depth_of(Value(std::move(tree)), "'leaf'"), 2 * kDeep);  // a dict and a list each
}

TEST(PyConvertTest, MillionDeepValues) {
  Value v(1);
  for (int i = 0; i < kDeep; ++i) {
    Dict d;
    if (i % 3 == 0) {
      Value::Array items;
      items.push_back(std::move(v));
      v = Value(std::move(items));
      continue;
    }
    d.set("k", std::move(v));
    v = i % 3 == 1 ? Value(std::move(d))
                   : Value(Result(WordDetector{}, std::nullopt, std::move(d)));
  }
  EXPECT_EQ(depth_of(std::move(v), "1"), kDeep);
}

// ---- failures: the N-th allocation of the interpreter fails ----

struct FailingAllocator {
  PyMemAllocatorEx mem{}, obj{};
  long countdown = -1;  // allocations left before the failing one; negative: never fail

  bool fail_now() { return countdown >= 0 && countdown-- == 0; }
};
FailingAllocator g_alloc;

template <PyMemAllocatorEx FailingAllocator::* Original>
PyMemAllocatorEx hooked() {
  PyMemAllocatorEx a;
  a.ctx = nullptr;
  a.malloc = [](void*, size_t n) -> void* {
    return g_alloc.fail_now() ? nullptr : (g_alloc.*Original).malloc((g_alloc.*Original).ctx, n);
  };
  a.calloc = [](void*, size_t n, size_t s) -> void* {
    return g_alloc.fail_now() ? nullptr : (g_alloc.*Original).calloc((g_alloc.*Original).ctx, n, s);
  };
  a.realloc = [](void*, void* p, size_t n) -> void* {
    return g_alloc.fail_now() ? nullptr
                              : (g_alloc.*Original).realloc((g_alloc.*Original).ctx, p, n);
  };
  a.free = [](void*, void* p) { (g_alloc.*Original).free((g_alloc.*Original).ctx, p); };
  return a;
}

using test::allocated_blocks;

TEST(PyConvertTest, EveryFailingAllocationFailsCleanly) {
  auto make = [] {
    return array({Value(text(U"head")),
                  Value(element(
                      "div", {{"class", "a b"}, {"k1", "1"}, {"k2", "2"}, {"k3", "3"}, {"k4", "4"}},
                      std::vector<Result>{text(U"\u00e9"), element("i", {})})),
                  Value(Chars(U"qu")), Value(2.5), Value(7)});
  };
  Py_DECREF(value_into_py(make()));
  PyMemAllocatorEx mem = hooked<&FailingAllocator::mem>(), obj = hooked<&FailingAllocator::obj>();
  bool saw_creation = false, saw_store = false;
  long baseline = 0;
  // Round 0 fails the first allocation too, unmeasured: it warms up what the
  // error path caches (the MemoryError free list, for one).
  for (long round = 0;; ++round) {
    const long n = round == 0 ? 0 : round - 1;
    ASSERT_LT(n, 100000) << "the conversion never succeeded";
    if (round == 1) baseline = allocated_blocks();
    Value v = make();
    PyMem_GetAllocator(PYMEM_DOMAIN_MEM, &g_alloc.mem);
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &g_alloc.obj);
    g_alloc.countdown = n;
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &obj);
    PyObject* out = nullptr;
    std::string failure;
    bool caused_by_memory_error = false;
    try {
      out = value_into_py(std::move(v));
    } catch (const PythonCallFailed& e) {
      failure = e.what();
      caused_by_memory_error = e.cause() && PyErr_GivenExceptionMatches(e.cause(), PyExc_MemoryError);
    }
    PyMem_SetAllocator(PYMEM_DOMAIN_MEM, &g_alloc.mem);
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &g_alloc.obj);
    const bool done = g_alloc.countdown >= 0;  // the failing allocation never came
    if (out) {
      Py_DECREF(out);
      ASSERT_TRUE(done) << "allocation " << n << " failed unnoticed";
      break;
    }
    ASSERT_FALSE(PyErr_Occurred()) << n;
    saw_creation |= failure == "Python API call failed";
    saw_store |= failure.rfind("called `Result::unwrap()` on an `Err` value", 0) == 0;
    ASSERT_TRUE(failure == "Python API call failed" ||
                failure.rfind("called `Result::unwrap()` on an `Err` value", 0) == 0)
        << failure;
    ASSERT_TRUE(caused_by_memory_error) << failure;  // the interpreter's own error travels along
    if (round > 0) {
      ASSERT_EQ(allocated_blocks(), baseline) << "leak after failing allocation " << n;
    }
  }
  EXPECT_TRUE(saw_creation);
  EXPECT_TRUE(saw_store);
}

// A failed store names the interpreter's error by its type and its text, as
// Python itself spells them; the keys' __hash__ raise each error here.
TEST(PyFailureTest, AFailedStoreNamesItsError) {
  PyObject* globals = PyDict_New();
  ASSERT_NE(globals, nullptr);
  PyDict_SetItemString(globals, "__builtins__", PyEval_GetBuiltins());
  PyObject* ran = PyRun_String(R"(
class Odd(Exception):
    def __str__(self):
        raise RuntimeError("no text")
class Key:
    def __init__(self, error):
        self.error = error
    def __hash__(self):
        raise self.error
def spelled(e):
    try:
        text = str(e)
    except Exception:
        text = ""
    return type(e).__name__ + (": " + text if text else "")
errors = [ValueError("x"), ValueError("boom"), ValueError(), KeyError("k"), TypeError("\xe9\U0001F600"),
          Odd("hidden"), OSError(2, "gone")]
cases = [(Key(e), "called `Result::unwrap()` on an `Err` value: " + spelled(e)) for e in errors]
)", Py_file_input, globals, globals);
  ASSERT_NE(ran, nullptr);
  Py_DECREF(ran);
  PyObject* cases = PyDict_GetItemString(globals, "cases");
  ASSERT_NE(cases, nullptr);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(cases); ++i) {
    PyObject* key = PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 0);
    const std::string want = PyUnicode_AsUTF8(PyTuple_GET_ITEM(PyList_GET_ITEM(cases, i), 1));
    PyObject* d = PyDict_New();
    std::string got;
    try {
      py_set_item(d, key, Py_None);
    } catch (const PythonCallFailed& e) {
      got = e.what();
      EXPECT_NE(e.cause(), nullptr) << want;
    }
    Py_DECREF(d);
    EXPECT_EQ(got, want);
    EXPECT_FALSE(PyErr_Occurred()) << want;
  }
  Py_DECREF(globals);
}

}  // namespace
}  // namespace quillet

// For the sanitizer build: the interpreter keeps some of its own start-up
// allocations past Py_FinalizeEx, and LeakSanitizer would report them at exit.
// Only allocations with libpython on their stack are exempt; leaked Python
// objects are counted by the allocated-blocks checks above and in pytest.
// Visible to the sanitizer runtime, which looks it up in the executable.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libpython\n";
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  Py_Initialize();
  if (!quillet::init_py_state()) return 1;
  const int rc = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return rc;
}
