// A scan_markup builder that makes Result trees.
#include "crosscheck/result_builder.hpp"

#include "fast_parse/scanner.hpp"

namespace quillet::fast {
namespace {

class ResultBuilder {
 public:
  using Handle = std::optional<std::vector<Result>>*;

  explicit ResultBuilder(const MarkupIndex<char32_t>& index) : index_(index) {}

  Handle root() { return &out_; }

  void level(Handle parent, const std::vector<Node>& nodes, std::vector<Handle>& child_parents) {
    std::vector<Result>& list = parent->emplace();
    list.reserve(nodes.size());
    const char32_t* text = index_.text();
    for (const Node& node : nodes) {
      if (!node.element()) {
        list.push_back(Result::text_run(Chars(text + node.span.begin, text + node.span.end)));
        continue;
      }
      const Tag& tag = index_.tags()[node.tag];
      Dict attributes;
      for (const Attribute& a : index_.attributes(node.tag))
        attributes.set(chars_to_string(std::u32string_view(text + a.key.begin, a.key.size())),
                       Value(chars_to_string(std::u32string_view(text + a.value.begin, a.value.size()))));
      const Span name = index_.name_span(tag.name);
      Dict element = element_record(chars_to_string(std::u32string_view(text + name.begin, name.size())),
                                    std::move(attributes), tag.self_closing);
      std::optional<Chars> content;
      if (!tag.self_closing) content.emplace(text + node.span.begin, text + node.span.end);
      list.push_back(Result(TagScopeDetector{}, std::move(content), std::move(element)));
    }
    for (std::size_t i = 0; i < nodes.size(); ++i)
      if (nodes[i].element() && nodes[i].span.size() > 0) child_parents.push_back(&list[i].children);
  }

 private:
  const MarkupIndex<char32_t>& index_;
  std::optional<std::vector<Result>> out_;
};

}  // namespace

std::optional<std::vector<Result>> parse_results(std::u32string_view text) {
  const MarkupIndex<char32_t> index(text.data(), static_cast<Pos>(text.size()));
  ResultBuilder builder(index);
  scan_markup(index, builder);
  return std::move(*builder.root());
}

}  // namespace quillet::fast
