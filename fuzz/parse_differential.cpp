// libFuzzer target: bytes -> text -> the fast element scan and the step-by-step
// detector engine, which must give equal result trees; the reference result
// must also keep every invariant of the scanning loop (scan_invariants.hpp).
//
// The fast scan also runs over the text stored in the narrowest character
// width that holds it (1, 2 or 4 bytes, as CPython stores a str), and the
// element layout it finds must not depend on that width.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crosscheck/result_builder.hpp"
#include "fast_parse/scanner.hpp"
#include "scan_invariants.hpp"

namespace quillet::fuzzing {
namespace {

// The step-by-step engine tries every detector at every position; longer
// inputs only slow the search down.
constexpr std::size_t kMaxInput = 2048;
// Replaying every set-aside character costs as much as the scan itself.
constexpr std::size_t kThoroughCheck = 512;

// A scan_markup builder that records each level as flat node data, in the
// order levels are built.
struct Recorder {
  using Handle = int;
  std::vector<std::uint32_t> out;
  int next = 0;
  Handle root() { return next++; }
  void level(Handle parent, const std::vector<fast::Node>& nodes, std::vector<Handle>& children) {
    out.push_back(static_cast<std::uint32_t>(parent));
    out.push_back(static_cast<std::uint32_t>(nodes.size()));
    for (const fast::Node& n : nodes) {
      out.insert(out.end(), {n.span.begin, n.span.end, n.tag});
      if (n.element() && n.span.size() > 0) children.push_back(next++);
    }
  }
};

template <class CharT>
std::vector<std::uint32_t> layout(const Chars& text) {
  const std::vector<CharT> narrow(text.begin(), text.end());
  const fast::MarkupIndex<CharT> index(narrow.data(), static_cast<fast::Pos>(narrow.size()));
  Recorder r;
  fast::scan_markup(index, r);
  return r.out;
}

void check_widths(const Chars& text) {
  char32_t widest = 0;
  for (const char32_t c : text) widest = std::max(widest, c);
  const auto wide = layout<char32_t>(text);
  if (layout<std::uint32_t>(text) != wide) fail("the 4-byte scan differs from the char32_t scan", text);
  if (widest < 0x10000 && layout<std::uint16_t>(text) != wide)
    fail("the 2-byte scan differs from the 4-byte scan", text);
  if (widest < 0x100 && layout<std::uint8_t>(text) != wide)
    fail("the 1-byte scan differs from the 4-byte scan", text);
}

}  // namespace
}  // namespace quillet::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  if (size > fuzzing::kMaxInput) return -1;  // not added to the corpus
  const Chars text = decode_utf8(std::string_view(reinterpret_cast<const char*>(data), size));
  const std::vector<Detector> roots{Detector(TagScopeDetector{})};

  Buffer buffer(text);
  const auto reference = consume_any(buffer, roots);
  if (!buffer.empty()) fuzzing::fail("consume_any left characters in its buffer", text);
  fuzzing::check_scan(text, reference, roots, text.size() <= fuzzing::kThoroughCheck);

  const auto fast = fast::parse_results(text);
  if (fast.has_value() != reference.has_value() || (fast && !(*fast == *reference)))
    fuzzing::fail("the fast scan differs from the step-by-step engine", text);
  fuzzing::check_widths(text);
  return 0;
}
