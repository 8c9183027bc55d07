// The RTP stream-description datagram, as any sender on the network may send it, turned into
// the SDP text served to the demuxer.
#include <stddef.h>
#include <stdint.h>

#include "quorvex_rtp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    rtp_info_t info = rtp_info_from_bytes(data, (int)size);
    std::string sdp = generateSDP(info);
    if (sdp.empty() || sdp.back() != '\n')
        __builtin_trap();
    return 0;
}
