// SipHash-1-3 against known outputs (zero key; CPython's bytes hash with its
// hash secret zeroed computes the same function).
#include <gtest/gtest.h>

#include "types/siphash.hpp"

namespace quillet {
namespace {

TEST(SipHashTest, KnownOutputsAndKeyDependence) {
  const std::vector<std::pair<std::string, std::uint64_t>> cases = {
      {"a", 4644417185603328019ULL},
      {"abcdefgh", 4574395652268504554ULL},  // exactly one block
      {"abcdefghi", 17913969820989044453ULL},
      {"hello world, sixteen+", 8843870803815674202ULL},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(siphash13(0, 0, text), want) << text;
  EXPECT_NE(siphash13(1, 0, "a"), siphash13(0, 0, "a"));
  EXPECT_NE(siphash13(0, 1, "a"), siphash13(0, 0, "a"));
}

}  // namespace
}  // namespace quillet
