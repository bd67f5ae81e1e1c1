// consume and consume_any: running detectors over scratch copies of a buffer.
#include "base/consumable.hpp"

#include "base/errors.hpp"

namespace quillet {

Chars from_string(std::string_view utf8) { return decode_utf8(utf8); }

namespace {

// How many characters a detection consumed, checking that the detector only
// removed characters from the front of its scratch copy.
std::size_t consumed_count(const Buffer& before, const Buffer& after) {
  if (after.end() != before.end() || after.begin() < before.begin() || after.begin() > before.end())
    throw QUILLET_INTERNAL_ERROR("a detector changed its buffer other than by consuming from the front");
  return static_cast<std::size_t>(after.begin() - before.begin());
}

// One level of the scanning loop: the matches and text runs of `buffer`, in
// order, without filling any children. `consumed` gets, per result, how many
// characters it consumed (0 for text runs).
std::vector<Result> scan_level(Buffer buffer, const std::vector<Detector>& detectors,
                               std::vector<std::size_t>& consumed) {
  std::vector<Result> results;
  consumed.clear();
  const char32_t* pending = buffer.begin();  // set-aside characters run from here to the front
  auto flush = [&] {
    if (pending != buffer.begin()) {
      results.push_back(Result::text_run(Chars(pending, buffer.begin())));
      consumed.push_back(0);
    }
  };
  while (!buffer.empty()) {
    bool matched = false;
    for (const Detector& detector : detectors) {
      Buffer scratch = buffer;
      std::optional<Result> r = detect(detector, scratch);
      if (!r) continue;
      const std::size_t n = consumed_count(buffer, scratch);
      if (n == 0) continue;  // an empty match would let the pass repeat forever
      flush();
      buffer.remove_prefix(n);
      pending = buffer.begin();
      results.push_back(std::move(*r));
      consumed.push_back(n);
      matched = true;
    }
    if (!matched) buffer.take();
  }
  flush();
  return results;
}

}  // namespace

Consumed consume(Buffer& buffer, const Detector& detector) {
  Buffer scratch = buffer;
  std::optional<Result> r = detect(detector, scratch);
  if (!r) return {};
  const std::size_t n = consumed_count(buffer, scratch);
  Consumed out{true, chars_to_string(std::u32string_view(buffer.begin(), n)), std::move(r)};
  buffer.remove_prefix(n);
  return out;
}

std::optional<std::vector<Result>> consume_any(Buffer& buffer, const std::vector<Detector>& detectors) {
  if (buffer.empty()) return std::nullopt;
  // Detection has no side effects, so the children of a match can be filled
  // after its whole level is scanned: each job scans one match's text. Results
  // never move once their level is complete, so jobs can point at them.
  struct Job {
    Result* target;
  };
  std::vector<Job> jobs;
  std::vector<std::size_t> consumed;
  // A match's text is scanned again only when it is shorter than what the
  // match consumed: each nested scan then works on strictly less text than
  // the one before, and a match that merely hands back its own characters (a
  // character-class word) is not wrapped in a copy of itself.
  auto queue = [&jobs, &consumed](std::vector<Result>& level) {
    for (std::size_t i = 0; i < level.size(); ++i) {
      Result& r = level[i];
      if (!r.is_text_run() && r.text && !r.text->empty() && r.text->size() < consumed[i])
        jobs.push_back({&r});
    }
  };

  const std::size_t size = buffer.size();
  std::vector<Result> top = scan_level(buffer, detectors, consumed);
  buffer.remove_prefix(size);
  queue(top);
  while (!jobs.empty()) {
    Result* target = jobs.back().target;
    jobs.pop_back();
    target->children = scan_level(Buffer(*target->text), detectors, consumed);
    queue(*target->children);
  }
  return top;
}

}  // namespace quillet
