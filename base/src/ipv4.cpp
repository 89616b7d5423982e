#include "tarnwick_testlibs/base/ipv4.h"

#include <arpa/inet.h>

#include <stdexcept>

namespace tarnwick::ipv4 {

std::optional<std::uint32_t> parseAddress(const std::string& text) {
  in_addr addr{};
  if (inet_pton(AF_INET, text.c_str(), &addr) != 1) return std::nullopt;
  return ntohl(addr.s_addr);
}

std::string formatAddress(std::uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
         std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

Network Network::parse(const std::string& cidr, bool allowHostBits) {
  const auto slash = cidr.find('/');
  const auto address = parseAddress(cidr.substr(0, slash));
  Network net;
  if (slash != std::string::npos) {
    const std::string bits = cidr.substr(slash + 1);
    if (bits.empty() || bits.size() > 2 || bits.find_first_not_of("0123456789") != std::string::npos)
      throw std::invalid_argument("'" + cidr + "' is not an IPv4 network");
    net.prefix = static_cast<unsigned>(std::stoul(bits));
  }
  if (!address || net.prefix > 32) throw std::invalid_argument("'" + cidr + "' is not an IPv4 network");
  net.base = *address;
  if (!allowHostBits && (net.base & ~net.mask()) != 0) throw std::invalid_argument("'" + cidr + "' has host bits set");
  return net;
}

bool Network::contains(const std::string& text) const {
  const auto address = parseAddress(text);
  return address && (*address & mask()) == (base & mask());
}

}  // namespace tarnwick::ipv4
