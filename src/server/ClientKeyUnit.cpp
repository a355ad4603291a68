#include "server/ClientKeyUnit.h"

#include <cstdio>

TClientKey TClientKey::FromIpv6(const std::array<uint8_t, 16>& bytes) {
    // ::ffff:a.b.c.d
    bool mapped = bytes[10] == 0xFF && bytes[11] == 0xFF;
    for (size_t i = 0; i < 10 && mapped; ++i)
        mapped = bytes[i] == 0;
    if (mapped)
        return TClientKey((TIpv4(bytes[12]) << 24) | (TIpv4(bytes[13]) << 16) | (TIpv4(bytes[14]) << 8) |
                          TIpv4(bytes[15]));
    TClientKey key;
    key.Ipv6 = true;
    for (size_t i = 0; i < 8; ++i)
        key.Value = (key.Value << 8) | bytes[i];
    return key;
}

std::string TClientKey::Text() const {
    if (!Ipv6)
        return Ipv4Text(static_cast<TIpv4>(Value));
    char text[48];
    std::snprintf(text, sizeof text, "%x:%x:%x:%x::/64", unsigned(Value >> 48) & 0xFFFF,
                  unsigned(Value >> 32) & 0xFFFF, unsigned(Value >> 16) & 0xFFFF, unsigned(Value) & 0xFFFF);
    return text;
}
