// Dict: an open table over an entry array, SipHash-1-3 under a per-map key.
#include <sys/random.h>

#include <algorithm>
#include <random>

#include "base/open_table.hpp"
#include "types/siphash.hpp"
#include "types/value.hpp"

namespace quillet {
namespace {

// The thread's key pair, drawn from the operating system's random source the
// first time the thread creates a map. Every new map takes the current pair and
// then bumps the first half, so no two maps of a thread share a key.
struct ThreadKeys {
  bool ready = false;
  std::uint64_t k0 = 0, k1 = 0;
};
thread_local ThreadKeys t_keys;

std::pair<std::uint64_t, std::uint64_t> next_key() {
  if (!t_keys.ready) {
    std::uint64_t buf[2] = {0, 0};
    if (getrandom(buf, sizeof buf, 0) != static_cast<ssize_t>(sizeof buf)) {
      std::random_device rd;
      buf[0] = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
      buf[1] = (static_cast<std::uint64_t>(rd()) << 32) ^ rd();
    }
    t_keys = {true, buf[0], buf[1]};
  }
  auto key = std::make_pair(t_keys.k0, t_keys.k1);
  t_keys.k0 += 1;  // wraps
  return key;
}

constexpr std::int32_t kEmpty = -1;

}  // namespace

Dict::Dict() {
  auto [a, b] = next_key();
  k0_ = a;
  k1_ = b;
}

Dict Dict::new_() { return Dict(); }

Dict::Dict(Dict&& other) noexcept
    : k0_(other.k0_), k1_(other.k1_), entries_(std::move(other.entries_)),
      table_(std::move(other.table_)) {
  other.entries_.clear();
  other.table_.clear();
}

Dict& Dict::operator=(Dict&& other) noexcept {
  if (this != &other) {
    k0_ = other.k0_;
    k1_ = other.k1_;
    entries_ = std::move(other.entries_);
    table_ = std::move(other.table_);
    other.entries_.clear();
    other.table_.clear();
  }
  return *this;
}

Dict& Dict::operator=(const Dict& other) {
  if (this != &other) *this = Dict(other);
  return *this;
}

Dict::~Dict() = default;

std::uint64_t Dict::hash(std::string_view name) const { return siphash13(k0_, k1_, name); }

std::optional<std::size_t> Dict::lookup(std::string_view name, std::uint64_t h) const {
  if (table_.empty()) return std::nullopt;
  const std::int32_t e = table_[open_table::probe(table_, kEmpty, h, [&](std::int32_t i) {
    const Entry& entry = entries_[static_cast<std::size_t>(i)];
    return entry.hash == h && entry.name == name;
  })];
  if (e == kEmpty) return std::nullopt;
  return static_cast<std::size_t>(e);
}

void Dict::set(std::string_view name, Value value) {
  const std::uint64_t h = hash(name);
  if (auto found = lookup(name, h)) {
    entries_[*found].value = std::move(value);
    return;
  }
  open_table::make_room(table_, kEmpty, entries_.size(), 8, [this](std::size_t e) { return entries_[e].hash; });
  entries_.push_back(Entry{std::string(name), std::move(value), h});
  open_table::insert(table_, kEmpty, h, static_cast<std::int32_t>(entries_.size() - 1));
}

const Value* Dict::find(std::string_view name) const {
  auto found = lookup(name, hash(name));
  return found ? &entries_[*found].value : nullptr;
}

bool Dict::contains(std::string_view name) const { return find(name) != nullptr; }

Value Dict::get(std::string_view name) const {
  const Value* v = find(name);
  return v ? *v : Value();
}

std::vector<const Dict::Entry*> Dict::in_insertion_order() const {
  std::vector<const Entry*> out;
  out.reserve(entries_.size());
  for (const Entry& e : entries_) out.push_back(&e);
  return out;
}

Dict Dict::from(std::initializer_list<std::pair<std::string_view, TypedRef>> pairs) {
  Dict d;
  for (const auto& [name, ref] : pairs) d.set(name, Value::new_(ref));
  return d;
}

Dict Dict::from_values(std::vector<std::pair<std::string, Value>> pairs) {
  Dict d;
  for (auto& [name, value] : pairs) d.set(name, std::move(value));
  return d;
}

}  // namespace quillet
