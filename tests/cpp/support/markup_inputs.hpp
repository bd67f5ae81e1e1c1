// The markup inputs of tests/data/markup_inputs.txt (its top says how it is
// written), read as tests/python/markup_inputs.py reads them: pieces to join at
// random, hand-picked cases and input families of any size n.
#pragma once

#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/chars.hpp"

#ifndef QUILLET_TEST_DATA_DIR
#error "QUILLET_TEST_DATA_DIR names the folder of markup_inputs.txt (set in tests/cpp)"
#endif

namespace quillet::test {

namespace detail {

// The lines of each "[section]" of the file, comments and empty lines skipped.
inline const std::map<std::string, std::vector<Chars>>& sections() {
  static const auto parsed = [] {
    const std::string path = std::string(QUILLET_TEST_DATA_DIR) + "/markup_inputs.txt";
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read " + path);
    std::map<std::string, std::vector<Chars>> out;
    std::vector<Chars>* current = nullptr;
    std::string line;
    while (std::getline(file, line)) {
      if (line.empty() || line[0] == '#') continue;
      if (line.front() == '[' && line.back() == ']') {
        current = &out[line.substr(1, line.size() - 2)];
        continue;
      }
      if (!current) throw std::runtime_error("a text before the first section in " + path);
      current->push_back(decode_utf8(line));
    }
    return out;
  }();
  return parsed;
}

inline std::size_t hex_digits(char32_t kind) { return kind == U'x' ? 2 : kind == U'u' ? 4 : 8; }

// How often the part at `i` repeats: a prefix "COUNT*" (skipped), or 1.
inline std::size_t count(const Chars& line, std::size_t& i, std::optional<std::size_t> n) {
  std::size_t j = i;
  std::int64_t value = 0;
  if (j < line.size() && line[j] == U'n') {
    if (!n) throw std::runtime_error("a size n outside [families]: " + chars_to_string(line));
    value = static_cast<std::int64_t>(*n);
    ++j;
    if (j + 1 < line.size() && (line[j] == U'-' || line[j] == U'+') && line[j + 1] >= U'0' &&
        line[j + 1] <= U'9') {
      value += (line[j] == U'-' ? -1 : 1) * static_cast<std::int64_t>(line[j + 1] - U'0');
      j += 2;
    }
  } else {
    while (j < line.size() && line[j] >= U'0' && line[j] <= U'9') {
      value = value * 10 + (line[j++] - U'0');
    }
    if (j == i) return 1;
  }
  if (j >= line.size() || line[j] != U'*') return 1;
  i = j + 1;
  return static_cast<std::size_t>(value);
}

// One line of the file as the text it stands for, with n the size of a family.
inline Chars build(const Chars& line, std::optional<std::size_t> n = std::nullopt) {
  Chars out, part;
  std::size_t i = 0;
  std::size_t times = count(line, i, n);
  const auto flush = [&] {
    for (std::size_t k = 0; k < times; ++k) out.append(part);
    part.clear();
  };
  while (i < line.size()) {
    const char32_t c = line[i];
    if (c == U'|') {
      flush();
      ++i;
      times = count(line, i, n);
    } else if (c != U'\\') {
      part.push_back(c);
      ++i;
    } else if (const char32_t kind = line.at(i + 1); kind == U'x' || kind == U'u' || kind == U'U') {
      const std::size_t digits = hex_digits(kind);
      const std::string hex = chars_to_string(line.substr(i + 2, digits));
      part.push_back(static_cast<char32_t>(std::stoul(hex, nullptr, 16)));
      i += 2 + digits;
    } else {
      part.push_back(kind == U'n' ? U'\n' : kind == U'r' ? U'\r' : kind == U't' ? U'\t' : kind);
      i += 2;
    }
  }
  flush();
  return out;
}

inline std::vector<Chars> built(const char* section, std::optional<std::size_t> n = std::nullopt) {
  std::vector<Chars> out;
  for (const Chars& line : sections().at(section)) out.push_back(build(line, n));
  return out;
}

}  // namespace detail

// Short pieces that, joined at random, hit every rule of the element scan.
inline const std::vector<Chars>& pieces() {
  static const std::vector<Chars> all = detail::built("pieces");
  return all;
}

// Whole documents picked by hand, one rule or trap each.
inline const std::vector<Chars>& cases() {
  static const std::vector<Chars> all = detail::built("cases");
  return all;
}

// The input shapes that make a step-by-step scan slow, at size n >= 1.
inline std::vector<Chars> families(std::size_t n) { return detail::built("families", n); }

// `count` pieces drawn with `rng` and joined.
inline Chars random_text(std::mt19937& rng, std::size_t count) {
  std::uniform_int_distribution<std::size_t> pick(0, pieces().size() - 1);
  Chars out;
  for (std::size_t i = 0; i < count; ++i) out.append(pieces()[pick(rng)]);
  return out;
}

}  // namespace quillet::test
