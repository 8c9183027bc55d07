// Decryption of received packets of any size: the first bytes choose the key, the rest is the
// packet, decrypted in place.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

#include "quorvex_rx.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    size_t key_len = size ? data[0] % 32 : 0;
    if (key_len + 1 > size)
        return 0;
    rx_crypt_t c = {};
    if (rx_crypt_init(&c, data + 1, (int)key_len) != 0)
        return 0;
    std::vector<uint8_t> packet(data + 1 + key_len, data + size);
    std::vector<uint8_t> before = packet;
    rx_crypt_packet(&c, packet.data(), (int)packet.size());
    // The clear prefix and a trailing partial block are never touched.
    size_t clear = packet.size() <= 70 ? packet.size() : 70;
    if (clear && memcmp(packet.data(), before.data(), clear) != 0)
        __builtin_trap();
    rx_crypt_free(&c);
    return 0;
}
