#include "crc16lib.h"

#include <array>

namespace {

// T[i]: i shifted right eight times, XOR 0xA001 whenever the bit shifted out was 1.
constexpr std::array<unsigned short, 256> make_table() {
    std::array<unsigned short, 256> t{};
    for (unsigned i = 0; i < 256; i++) {
        unsigned v = i;
        for (int k = 0; k < 8; k++)
            v = (v & 1) ? (v >> 1) ^ 0xA001u : v >> 1;
        t[i] = (unsigned short)v;
    }
    return t;
}

constexpr std::array<unsigned short, 256> kTable = make_table();
static_assert(kTable[1] == 0xC0C1 && kTable[2] == 0xC181 && kTable[3] == 0x0140);

} // namespace

unsigned short crc16_byte(unsigned short crc, unsigned char c) {
    return (unsigned short)((crc << 8) ^ kTable[((crc >> 8) ^ c) & 0xFF]);
}

unsigned short crc16(unsigned short crc, const void *buf, int len) {
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    for (int i = 0; i < len; i++)
        crc = crc16_byte(crc, p[i]);
    return crc;
}
