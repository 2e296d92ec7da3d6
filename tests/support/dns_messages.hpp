// Builds DNS messages byte by byte for the resolver's tests.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace dns_messages {

using bytes = std::vector<unsigned char>;

inline void u16(bytes& m, unsigned value)
{
    m.push_back(static_cast<unsigned char>(value >> 8));
    m.push_back(static_cast<unsigned char>(value));
}

inline void u32(bytes& m, uint32_t value)
{
    u16(m, value >> 16);
    u16(m, value & 0xFFFF);
}

inline void header(bytes& m, unsigned questions, unsigned answers, unsigned authorities, unsigned additionals)
{
    u16(m, 0x1234);
    u16(m, 0x8180);
    u16(m, questions);
    u16(m, answers);
    u16(m, authorities);
    u16(m, additionals);
}

// Length-prefixed labels of a dotted name, closed by a zero byte.
inline void name(bytes& m, const std::string& dotted)
{
    size_t start = 0;
    while (start < dotted.size()) {
        size_t dot = dotted.find('.', start);
        if (dot == std::string::npos)
            dot = dotted.size();
        m.push_back(static_cast<unsigned char>(dot - start));
        m.insert(m.end(), dotted.begin() + start, dotted.begin() + dot);
        start = dot + 1;
    }
    m.push_back(0);
}

inline void pointer(bytes& m, unsigned offset)
{
    u16(m, 0xC000 | offset);
}

inline void question(bytes& m, const std::string& dotted, unsigned type)
{
    name(m, dotted);
    u16(m, type);
    u16(m, 1);
}

// Type, class IN, TTL and data length of a record whose owner is already written.
inline void fixed(bytes& m, unsigned type, unsigned data_length, uint32_t ttl = 600)
{
    u16(m, type);
    u16(m, 1);
    u32(m, ttl);
    u16(m, data_length);
}

inline void a_record(bytes& m, unsigned owner, const unsigned char (&address)[4])
{
    pointer(m, owner);
    fixed(m, 1, 4);
    m.insert(m.end(), address, address + 4);
}

// A record of `type` whose data is a name given as labels.
inline void name_record(bytes& m, unsigned owner, unsigned type, const std::string& target)
{
    bytes data;
    name(data, target);
    pointer(m, owner);
    fixed(m, type, static_cast<unsigned>(data.size()));
    m.insert(m.end(), data.begin(), data.end());
}

}  // namespace dns_messages
