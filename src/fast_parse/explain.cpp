#include "fast_parse/explain.hpp"

#include <algorithm>
#include <array>

#include "fast_parse/scanner.hpp"

namespace quillet::fast {
namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(Reason::count)> kReasonTexts = {
    "",
    "no name after '<'",
    "a ':' in a name",
    "a character no name may hold",
    "an attribute without a value",
    "a single-quoted value",
    "an unquoted value",
    "a value without its closing quote",
    "attributes on an end tag",
    "a '/' at the end of an end tag",
    "a '/' that is not the last character",
    "a character that starts no attribute",
    "a repeated attribute",
    "no '>' closes it",
    "no closing tag",
    "no '/' on a tag that never closes",
    "its closing tag lies outside the element around it",
    "an end tag with no start tag open",
    "its '>' lies outside the element around it",
    "inside another tag",
};

// Names of the elements that are never closed, and so must end with "/>".
constexpr std::array<std::string_view, 14> kVoidNames = {
    "area", "base", "br", "col", "embed", "hr", "img", "input", "link", "meta", "param", "source", "track", "wbr",
};

template <class CharT>
bool is_void_name(const CharT* text, Span name) {
  for (const std::string_view v : kVoidNames) {
    if (v.size() != name.size()) continue;
    std::size_t i = 0;
    for (; i < v.size(); ++i) {
      const auto c = static_cast<std::uint32_t>(text[name.begin + i]);
      if ((c >= 'A' && c <= 'Z' ? c + 32 : c) != static_cast<unsigned char>(v[i])) break;
    }
    if (i == v.size()) return true;
  }
  return false;
}

template <class CharT>
bool is_tag_like(const CharT* text, Pos size, Pos at) {
  Pos i = at + 1;
  if (i < size && text[i] == '/') ++i;
  if (i >= size) return false;
  const auto c = static_cast<std::uint32_t>(text[i]);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A text run and the end of the element content (or text) it lies in.
struct Run {
  Span span;
  Pos level_end;
};

// A scan_markup builder that keeps the text runs and nothing else.
struct RunCollector {
  using Handle = Pos;  // the end of the level
  Pos size;
  std::vector<Run> runs;
  Handle root() const { return size; }
  void level(Handle end, const std::vector<Node>& nodes, std::vector<Handle>& child_parents) {
    for (const Node& node : nodes) {
      if (!node.element()) runs.push_back(Run{node.span, end});
      else if (node.span.size() > 0) child_parents.push_back(node.span.end);
    }
  }
};

}  // namespace

std::string_view reason_text(Reason reason) {
  const auto i = static_cast<std::size_t>(reason);
  return i < kReasonTexts.size() ? kReasonTexts[i] : std::string_view{};
}

template <class CharT>
std::vector<Stayed> explain_text(const CharT* text, Pos size, const Checkpoint& check) {
  std::vector<Rejected> rejected;
  const MarkupIndex<CharT> index(text, size, rejected, check);
  std::sort(rejected.begin(), rejected.end(), [](const Rejected& a, const Rejected& b) { return a.start < b.start; });
  RunCollector collector{size, {}};
  scan_markup(index, collector, check);
  std::sort(collector.runs.begin(), collector.runs.end(),
            [](const Run& a, const Run& b) { return a.span.begin < b.span.begin; });

  const std::vector<Tag>& tags = index.tags();
  std::vector<Stayed> out;
  // Positions before `covered` lie inside a "<...>" that stayed text; of
  // those, positions before `covered_tag` lie inside a tag-like one.
  Pos covered = 0, covered_tag = 0;
  std::size_t r = 0, t = 0, passed = 0;
  for (const Run& run : collector.runs) {
    const Pos a = run.span.begin, b = run.span.end;
    t = index.first_tag_at_or_after(a, t);
    r = static_cast<std::size_t>(
        std::lower_bound(rejected.begin() + static_cast<std::ptrdiff_t>(std::min(r, rejected.size())), rejected.end(), a,
                         [](const Rejected& x, Pos p) { return x.start < p; }) -
        rejected.begin());
    while (true) {
      const bool has_tag = t < tags.size() && tags[t].start < b;
      const bool has_rejected = r < rejected.size() && rejected[r].start < b;
      if (!has_tag && !has_rejected) break;
      check_every_tags(check, passed++);
      Stayed s;
      if (has_rejected && (!has_tag || rejected[r].start < tags[t].start)) {
        s = Stayed{rejected[r].start, rejected[r].close, reason_of(rejected[r].fault)};
        ++r;
      } else {
        const Tag& tag = tags[t];
        Reason why;
        if (tag.closing) why = Reason::stray_end_tag;
        else if (tag.close >= run.level_end) why = Reason::ends_outside_parent;
        else if (!tag.self_closing && index.element_close(t, size, check)) why = Reason::end_tag_elsewhere;
        else if (!tag.self_closing && is_void_name(text, index.name_span(tag.name))) why = Reason::void_without_slash;
        else why = Reason::no_closing_tag;
        s = Stayed{tag.start, tag.close, why};
        ++t;
      }
      const bool tag_like = is_tag_like(text, size, s.start);
      const Pos extent_end = s.close == kNone ? s.start + 1 : s.close + 1;
      if (s.start < covered) {
        // Inside a comment or other "<...>" that is no tag: not reported,
        // unless what holds it is tag-like.
        if (tag_like && s.start < covered_tag) out.push_back(Stayed{s.start, s.close, Reason::inside_tag});
        continue;
      }
      covered = std::max(covered, extent_end);
      if (!tag_like) continue;
      covered_tag = std::max(covered_tag, extent_end);
      out.push_back(s);
    }
  }
  std::sort(out.begin(), out.end(), [](const Stayed& x, const Stayed& y) { return x.start < y.start; });
  return out;
}

#define QUILLET_EXPLAIN(CharT) \
  template std::vector<Stayed> explain_text<CharT>(const CharT*, Pos, const Checkpoint&);
QUILLET_EXPLAIN(std::uint8_t)
QUILLET_EXPLAIN(std::uint16_t)
QUILLET_EXPLAIN(std::uint32_t)
#undef QUILLET_EXPLAIN

}  // namespace quillet::fast
