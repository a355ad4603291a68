#pragma once

#include "platform/SocketUnit.h"

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

// Whom the per-client rules count a connection against: an IPv4 address, or an IPv6 address's /64, the
// smallest network a provider hands one customer (a host that owns a /64 could otherwise take a new address
// for every connection). An IPv4 address mapped into IPv6 counts as itself.
struct TClientKey {
    uint64_t Value = 0;
    bool Ipv6 = false;

    TClientKey() = default;
    // Implicit: an IPv4 address is its own key.
    TClientKey(TIpv4 address) : Value(address) {}
    // An IPv6 address, 16 bytes in network order.
    static TClientKey FromIpv6(const std::array<uint8_t, 16>& bytes);

    // "a.b.c.d", or "x:x:x:x::/64".
    std::string Text() const;
    friend auto operator<=>(const TClientKey&, const TClientKey&) = default;
};

template <> struct std::hash<TClientKey> {
    size_t operator()(const TClientKey& key) const noexcept {
        return std::hash<uint64_t>()(key.Value) ^ (key.Ipv6 ? 0x9E3779B97F4A7C15ull : 0);
    }
};
