// Open addressing over an array its owner keeps: the table's slots hold
// indices into that array, or `empty`. The table's size is a power of two,
// it is never more than half full, probing is linear and nothing is ever
// removed. The owner keeps the table as a plain std::vector, so that it is
// reused, cleared and measured like the owner's other arrays.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quillet::open_table {

// The slot of `table` (not empty) for an entry hashed to `hash`: the first
// slot on its probe sequence that is empty or holds an index `is_key`
// accepts.
template <class Index, class IsKey>
inline std::size_t probe(const std::vector<Index>& table, Index empty, std::uint64_t hash, IsKey&& is_key) {
  const std::size_t mask = table.size() - 1;
  std::size_t i = static_cast<std::size_t>(hash) & mask;
  while (table[i] != empty && !is_key(table[i])) i = (i + 1) & mask;
  return i;
}

// Puts `index` in the first empty slot on the probe sequence of `hash`; its
// entry must not be in the table yet.
template <class Index>
inline void insert(std::vector<Index>& table, Index empty, std::uint64_t hash, Index index) {
  table[probe(table, empty, hash, [](Index) { return false; })] = index;
}

// Makes room in `table`, which indexes the entries 0 to count - 1, for one
// more: an empty table gets `first_size` slots, one that would pass half
// full doubles and is filled again, `hash_of(i)` giving the hash of entry i.
template <class Index, class HashOf>
inline void make_room(std::vector<Index>& table, Index empty, std::size_t count, std::size_t first_size,
                      HashOf&& hash_of) {
  if ((count + 1) * 2 <= table.size()) return;
  table.assign(table.empty() ? first_size : table.size() * 2, empty);
  for (std::size_t e = 0; e < count; ++e) insert(table, empty, hash_of(e), static_cast<Index>(e));
}

}  // namespace quillet::open_table
