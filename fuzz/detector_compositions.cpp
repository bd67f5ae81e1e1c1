// libFuzzer target: a detector list decoded from the input (every detector
// kind, nested, with every optional field absent, false or true) scanned over
// a text decoded from the rest of the input. Checks:
//  - every detector of the tree, at every position of the text, keeps the
//    detection contract: a match removes a prefix of the buffer and nothing
//    else (its end stays, its front moves forward by at most the size), and
//    `consume` reports exactly the removed characters as its text; no match
//    leaves the buffer as it was; detecting twice gives equal results;
//  - consume_any returns (run with -timeout: a scan that does not end is a
//    crash), empties its buffer, and its results keep the scanning loop's
//    invariants (scan_invariants.hpp).
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <string>
#include <vector>

#include "scan_invariants.hpp"

namespace quillet::fuzzing {
namespace {

// Nested scopes multiply the cost of a detection by the text length per
// level, so depth, tree size and text stay small: the point is shapes, not bulk.
constexpr int kMaxDepth = 4;
constexpr int kMaxNodes = 16;
constexpr std::size_t kMaxText = 64;

// Characters the built-in detectors react to, so that mapped texts and
// drawn alphabets hit them often.
constexpr std::u32string_view kSyntax = U"<>/=\" \n\tab1.-();x_é";

class Decoder {
 public:
  explicit Decoder(FuzzedDataProvider& in) : in_(in) {}

  std::vector<Detector> list(int depth, std::size_t max) {
    std::vector<Detector> out(in_.ConsumeIntegralInRange<std::size_t>(depth == 0 ? 1 : 0, max));
    for (Detector& d : out) d = detector(depth);
    return out;
  }

  Chars text() {
    const bool mapped = in_.ConsumeBool();
    const std::string bytes = in_.ConsumeRemainingBytesAsString();
    Chars out;
    if (mapped) {
      for (const unsigned char b : bytes) out.push_back(kSyntax[b % kSyntax.size()]);
    } else {
      out = decode_utf8(bytes);
    }
    if (out.size() > kMaxText) out.resize(kMaxText);
    return out;
  }

 private:
  std::optional<bool> flag() {
    switch (in_.ConsumeIntegralInRange<int>(0, 2)) {
      case 0: return std::nullopt;
      case 1: return false;
      default: return true;
    }
  }

  std::string word() {
    static const char* const kWords[] = {"", "a", "<", ">", "\"", "ab", "</", "=", " ", "é"};
    if (in_.ConsumeBool()) return kWords[in_.ConsumeIntegralInRange<std::size_t>(0, std::size(kWords) - 1)];
    return in_.ConsumeRandomLengthString(4);  // arbitrary bytes, malformed UTF-8 included
  }

  std::optional<std::string> maybe_word() {
    if (in_.ConsumeBool()) return std::nullopt;
    return word();
  }

  Chars alphabet() {
    Chars out(in_.ConsumeIntegralInRange<std::size_t>(0, 5), U' ');
    for (char32_t& c : out) c = kSyntax[in_.ConsumeIntegralInRange<std::size_t>(0, kSyntax.size() - 1)];
    return out;
  }

  Detector detector(int depth) {
    ++nodes_;
    const bool leaf_only = depth >= kMaxDepth || nodes_ >= kMaxNodes;
    // 0-5 hold no detectors, 6-7 do.
    const int kind = in_.ConsumeIntegralInRange<int>(0, leaf_only ? 5 : 7);
    switch (kind) {
      case 0:
        return NumberDetector{.floating = flag(), .unsigned_only = in_.ConsumeBool()};
      case 1: {
        WordDetector w;
        const int mode = in_.ConsumeIntegralInRange<int>(0, 3);  // word, class, both, neither
        if (mode == 0 || mode == 2) w.word = word();
        if (mode == 1 || mode == 2) w.alphabet = alphabet();
        w.invert = flag();
        return w;
      }
      case 2:
        return PropertyDetector{.json = flag(), .html = flag()};
      case 3: {
        TagDetector t;
        t.tag = maybe_word();
        t.attributes = flag();
        t.closing = flag();
        t.self_closing = flag();
        t.opening = flag();
        return t;
      }
      case 4: {
        TagScopeDetector t;
        t.tag = maybe_word();
        t.id = maybe_word();
        if (in_.ConsumeBool()) t.classes = std::vector<std::string>{word(), word()};
        return t;
      }
      case 5:
        return PlainText{};
      case 6: {
        Detector start = detector(depth + 1);
        return ScopeDetector(std::move(start), detector(depth + 1));
      }
      default:
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
          case 0: return BooleanDetector{BooleanDetector::AnyOf{list(depth + 1, 3)}};
          case 1: return BooleanDetector{BooleanDetector::AllOf{list(depth + 1, 3)}};
          case 2: return BooleanDetector{BooleanDetector::NoneOf{list(depth + 1, 3)}};
          default: return BooleanDetector{BooleanDetector::Not{detector(depth + 1)}};
        }
    }
  }

  FuzzedDataProvider& in_;
  int nodes_ = 0;
};

// Every detector in the trees of `roots`, nested ones included.
std::vector<const Detector*> all_detectors(const std::vector<Detector>& roots) {
  std::vector<const Detector*> out, pending;
  for (const Detector& d : roots) pending.push_back(&d);
  while (!pending.empty()) {
    const Detector* d = pending.back();
    pending.pop_back();
    out.push_back(d);
    if (const auto* s = d->get_if<ScopeDetector>()) {
      pending.push_back(&*s->start);
      pending.push_back(&*s->end);
    } else if (const auto* b = d->get_if<BooleanDetector>()) {
      std::visit(
          [&](const auto& form) {
            using F = std::decay_t<decltype(form)>;
            if constexpr (std::is_same_v<F, BooleanDetector::Not>) {
              pending.push_back(&*form.detector);
            } else {
              for (const Detector& x : form.detectors) pending.push_back(&x);
            }
          },
          b->form);
    }
  }
  return out;
}

void check_contract(const Detector& d, const Chars& text) {
  for (std::size_t at = 0; at <= text.size(); ++at) {
    const Buffer before(std::u32string_view(text).substr(at));

    Buffer scratch = before;
    const std::optional<Result> direct = detect(d, scratch);
    if (scratch.end() != before.end() || scratch.begin() < before.begin() || scratch.begin() > before.end())
      fail("a detection changed its buffer other than by consuming from the front", text);

    Buffer buffer = before;
    const Consumed c = consume(buffer, d);
    if (c.matched != direct.has_value()) fail("consume and detect disagree on a match", text);
    if (!c.matched) {
      if (c.text || c.result || buffer.begin() != before.begin()) fail("a failed consume changed something", text);
      continue;
    }
    if (buffer.end() != before.end() || buffer.begin() != scratch.begin())
      fail("consume moved the buffer by other than the detection's extent", text);
    const std::size_t n = before.size() - buffer.size();
    if (!c.text || *c.text != chars_to_string(before.view().substr(0, n)))
      fail("consume's text is not the removed prefix", text);
    if (!c.result || !(*c.result == *direct)) fail("detecting twice gave different results", text);
  }
}

}  // namespace
}  // namespace quillet::fuzzing

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillet;
  FuzzedDataProvider in(data, size);
  fuzzing::Decoder decoder(in);
  const std::vector<Detector> detectors = decoder.list(0, 4);
  const Chars text = decoder.text();

  for (const Detector* d : fuzzing::all_detectors(detectors)) fuzzing::check_contract(*d, text);

  Buffer buffer(text);
  const auto results = consume_any(buffer, detectors);
  if (!buffer.empty()) fuzzing::fail("consume_any left characters in its buffer", text);
  fuzzing::check_scan(text, results, detectors, /*thorough=*/true);
  return 0;
}
