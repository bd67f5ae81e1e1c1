// SipHash-1-3 (one compression round, three finalisation rounds), 64-bit output.
#pragma once

#include <cstdint>
#include <string_view>

namespace quillet {

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, std::string_view data);

}  // namespace quillet
