// IPv4 addresses and networks in dotted and CIDR notation.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

namespace tarnwick::ipv4 {

// "a.b.c.d" as a number; nothing for anything else.
std::optional<std::uint32_t> parseAddress(const std::string& text);
std::string formatAddress(std::uint32_t address);

// A network "a.b.c.d/n" (a bare address is a /32).
struct Network {
  std::uint32_t base = 0;  // the address as written, host bits included
  unsigned prefix = 32;

  // Throws std::invalid_argument naming the text unless it is an IPv4 network; with
  // `allowHostBits` false also when the address has bits set below the prefix.
  static Network parse(const std::string& cidr, bool allowHostBits = true);

  std::uint32_t mask() const { return prefix == 0 ? 0 : ~std::uint32_t{0} << (32 - prefix); }
  bool contains(const std::string& address) const;
  // The first host address: 10.20.1.64/26 -> 10.20.1.65.
  std::string firstHost() const { return formatAddress((base & mask()) + 1); }
};

}  // namespace tarnwick::ipv4
