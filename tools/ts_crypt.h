// Packet scrambling of the live stream: AES-128 in CBC mode over the whole 16-byte blocks that
// follow a clear prefix of 70 bytes, with the chain restarted for every packet. The prefix keeps
// the start codes, parameter sets and slice headers readable, so demuxers and parsers still
// work on a scrambled stream; each packet can be unscrambled on its own, so a lost packet costs
// only itself.
//
// Header-only and libavutil-only, so the sender tool and the receiver's tests share one
// transform.
#pragma once

extern "C" {
#include <libavutil/aes.h>
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace ts_crypt {

constexpr int kClearPrefix = 70; // 64 + 6 bytes stay as they are
constexpr int kBlock = 16;

// Key material derived from the key text: the MD5 digest is the key, the same digest with its
// bytes in reverse order is the initial vector of every packet.
struct StreamKey {
    uint8_t key[kBlock];
    uint8_t iv[kBlock];
};

inline StreamKey derive_key(const void *text, size_t len) {
    StreamKey k{};
    av_md5_sum(k.key, static_cast<const uint8_t *>(text), len);
    std::reverse_copy(k.key, k.key + kBlock, k.iv);
    return k;
}

inline StreamKey derive_key(const std::string &text) {
    return derive_key(text.data(), text.size());
}

// Number of whole blocks scrambled in a packet of `size` bytes; 0 up to 85 bytes.
inline int scrambled_blocks(int size) {
    return size > kClearPrefix ? (size - kClearPrefix) / kBlock : 0;
}

// One direction of the transform with its AES context. Not thread-safe: one per thread.
class PacketCipher {
  public:
    enum Direction { kEncrypt = 0, kDecrypt = 1 };

    PacketCipher(const StreamKey &key, Direction dir)
        : aes_(av_aes_alloc(), &av_free), key_(key), dir_(dir) {
        if (aes_)
            av_aes_init(aes_.get(), key_.key, 128, dir_);
    }

    bool valid() const { return aes_ != nullptr; }

    // Transforms the packet in place. Packets of 70 bytes or less, the prefix and a trailing
    // partial block are left as they are. Returns the number of blocks transformed.
    int apply(uint8_t *data, int size) {
        const int blocks = scrambled_blocks(size);
        if (blocks == 0 || !aes_)
            return 0;
        uint8_t iv[kBlock];
        std::copy(key_.iv, key_.iv + kBlock, iv); // CBC chaining writes into the IV
        uint8_t *p = data + kClearPrefix;
        av_aes_crypt(aes_.get(), p, p, blocks, iv, dir_);
        return blocks;
    }

  private:
    std::unique_ptr<struct AVAES, void (*)(void *)> aes_;
    StreamKey key_;
    Direction dir_;
};

} // namespace ts_crypt
