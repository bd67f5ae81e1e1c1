// Value and Dict: construction, lookup, text form, deep copies, deep trees.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "types/value.hpp"

namespace quillet {
namespace {

struct ToStrCase {
  Value value;
  std::optional<std::string> text;
};

TEST(ValueTest, ToStrByKind) {
  const double inf = std::numeric_limits<double>::infinity();
  const std::vector<ToStrCase> cases = {
      {Value(), std::nullopt},
      {Value("abc"), "abc"},
      {Value(false), "false"},
      {Value(true), "true"},
      {Value(std::int64_t{-3}), "-3"},
      {Value(std::int64_t{0}), "0"},
      {Value(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value(2.0), "2"},
      {Value(2.5), "2.5"},
      {Value(-0.0), "-0"},
      {Value(0.1), "0.1"},
      {Value(1e21), "1000000000000000000000"},
      {Value(1.5e-7), "0.00000015"},
      {Value(std::nan("")), "NaN"},
      {Value(inf), "inf"},
      {Value(-inf), "-inf"},
      {Value(Result()), "Result"},
      {Value(Chars(U"ab")), "Queue"},
      {Value(Dict::from({{"a", std::string("x")}})), "Properties"},
      {Value(Value::Array{}), "Array"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.value.to_str(), c.text) << c.text.value_or("<absent>");
}

TEST(DictTest, FromKeepsLaterPairAndGetCopies) {
  Dict d = Dict::from({{"a", std::string("1")}, {"b", true}, {"a", std::string("2")}});
  EXPECT_EQ(d.size(), 2u);
  EXPECT_EQ(d.get("a"), Value("2"));
  EXPECT_EQ(d.get("b"), Value(true));
  EXPECT_EQ(d.get("missing").kind(), Value::Kind::None);
  EXPECT_TRUE(Dict::from({}).empty());
  EXPECT_TRUE(Dict::from_values({}).empty());
}

TEST(DictTest, UnknownTypeWarnsOnStdoutAndStoresNone) {
  struct Opaque {};
  testing::internal::CaptureStdout();
  Dict d = Dict::from({{"x", Opaque{}}, {"v", Value("inner")}, {"ok", std::string("y")}});
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out,
            "Warning: Value::new() called with an unknown type!\n"
            "Warning: Value::new() called with an unknown type!\n");
  EXPECT_EQ(d.get("x").kind(), Value::Kind::None);
  EXPECT_EQ(d.get("v").kind(), Value::Kind::None);  // a Value is not a recognised type
  EXPECT_EQ(d.get("ok"), Value("y"));
}

TEST(DictTest, SetReplacesAndCopiesAreIndependent) {
  Dict inner = Dict::from({{"k", std::string("v")}});
  Dict d = Dict::from({{"p", inner}});
  d.set("p", Value(std::move(inner)));
  EXPECT_EQ(d.size(), 1u);
  Value copy = d.get("p");
  std::get<Dict>(copy.data).set("k", Value("changed"));
  EXPECT_EQ(std::get<Dict>(d.get("p").data).get("k"), Value("v"));
}

TEST(DictTest, CopyKeepsKeyAndLayoutAndInsertionOrder) {
  Dict d;
  for (int i = 0; i < 40; ++i) d.set("name" + std::to_string(i), Value(i));
  Dict copy = d;
  EXPECT_EQ(copy.key(), d.key());
  std::vector<std::string> a, b;
  d.for_each([&](const Dict::Entry& e) { a.push_back(e.name); });
  copy.for_each([&](const Dict::Entry& e) { b.push_back(e.name); });
  EXPECT_EQ(a, b);
  auto order = copy.in_insertion_order();
  ASSERT_EQ(order.size(), 40u);
  for (int i = 0; i < 40; ++i) EXPECT_EQ(order[i]->name, "name" + std::to_string(i));
}

TEST(DictTest, NewMapsTakeDistinctKeysAndIterationIsNotInsertionOrder) {
  Dict a, b;
  EXPECT_NE(a.key(), b.key());
  EXPECT_EQ(b.key().first, a.key().first + 1);
  // With 16 names, some map among a few must iterate out of insertion order.
  bool shuffled = false;
  for (int m = 0; m < 4 && !shuffled; ++m) {
    Dict d;
    for (int i = 0; i < 16; ++i) d.set(std::string(1, static_cast<char>('a' + i)), Value(i));
    std::string seen;
    d.for_each([&](const Dict::Entry& e) { seen += e.name; });
    shuffled = seen != "abcdefghijklmnop";
  }
  EXPECT_TRUE(shuffled);
}

TEST(SplitTest, KeepsEmptyPieces) {
  const std::vector<std::pair<std::string, std::vector<std::string>>> cases = {
      {"a b", {"a", "b"}}, {"a  b", {"a", "", "b"}}, {"a b ", {"a", "b", ""}},
      {" a", {"", "a"}},   {"", {""}},               {"a\tb", {"a\tb"}},
  };
  for (const auto& [in, want] : cases) {
    auto got = split_to_values(in, " ");
    ASSERT_EQ(got.size(), want.size()) << in;
    for (std::size_t i = 0; i < want.size(); ++i) EXPECT_EQ(got[i], Value(want[i])) << in;
  }
}

// A chain of `depth` results, each the only child of the one before.
Result deep_chain(std::size_t depth) {
  Result root(PlainText{}, Chars(U"x"), Dict::from({{"k", std::string("v")}}));
  Result* cur = &root;
  for (std::size_t i = 1; i < depth; ++i) {
    cur->children.emplace();
    cur->children->push_back(Result(TagScopeDetector{}, Chars(U"y"), Dict::from({{"d", std::string("e")}})));
    cur = &cur->children->back();
  }
  return root;
}

TEST(TreeTest, MillionDeepResultCopiesComparesAndDies) {
  constexpr std::size_t kDepth = 1'000'000;
  Result a = deep_chain(kDepth);
  Result b = a;
  EXPECT_TRUE(a == b);
  // Change the deepest text of the copy: the source stays as it was.
  Result* cur = &b;
  while (cur->children) cur = &cur->children->back();
  cur->text = Chars(U"changed");
  EXPECT_FALSE(a == b);
  Value wrapped(Value::Array{Value(std::move(a)), Value(std::move(b))});
  Value copy = wrapped;
  EXPECT_TRUE(copy == wrapped);
}

TEST(TreeTest, MillionDeepArraysAndDictsDie) {
  Value v;
  for (int i = 0; i < 1'000'000; ++i) {
    if (i % 2) {
      Value::Array a;  // not an initializer list: that would copy the whole chain
      a.push_back(std::move(v));
      v = Value(std::move(a));
    } else {
      Dict d;
      d.set("n", std::move(v));
      v = Value(std::move(d));
    }
  }
  Value copy = v;
  EXPECT_TRUE(copy == v);
}

}  // namespace
}  // namespace quillet
