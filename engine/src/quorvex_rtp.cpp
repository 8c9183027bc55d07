#include "quorvex_rtp.h"

#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavutil/error.h>
}

#include "quorvex_rx.h"
#include "socket.h"
#include "syslog.h"

namespace {

constexpr int kInfoWaitMs = 1000;

uint16_t le16(const unsigned char *b) {
    return (uint16_t)(b[0] | (b[1] << 8));
}

uint32_t le32(const unsigned char *b) {
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

// The first video codec of the mask, with the lines that describe it.
const char *video_lines(uint16_t codec_id) {
    if (codec_id & 0x1)
        return "a=tool:libavformat 54.62.100\na=rtpmap:96 H264/90000\n"
               "a=fmtp:96 packetization-mode=1\n";
    if (codec_id & 0x2)
        return "a=rtpmap:96 MP4V-ES/90000\n";
    if (codec_id & 0x4)
        return "a=rtpmap:96 JPEG/90000\n";
    if (codec_id & 0x8)
        return "a=rtpmap:96 H265/90000\na=fmtp:96 packetization-mode=1\n";
    return "";
}

// The first audio codec of the mask, as its rtpmap line (and fmtp for OPUS).
std::string audio_lines(const rtp_info_t &info) {
    const std::string r = std::to_string(info.a_sample_rate);
    const std::string rc = r + "/" + std::to_string(info.a_channles);
    struct {
        uint16_t bit;
        std::string line;
    } const table[] = {
        {0x10, "a=rtpmap:97 PCMA/" + r + "\n"},
        {0x20, "a=rtpmap:97 G726-32/" + r + "\n"},
        {0x40, "a=rtpmap:97 OPUS/" + rc + "\na=fmtp:97 packetization-mode=1\n"},
        {0x80, "a=rtpmap:97 MP2/" + r + "\n"},
        {0x100, "a=rtpmap:97 MP3/" + r + "\n"},
        {0x200, "a=rtpmap:97 PCMU/" + rc + "\n"},
        {0x400, "a=rtpmap:97 MPEG4-GENERIC/" + rc + "\n"},
        {0x800, "a=rtpmap:97 G722/" + rc + "\n"},
    };
    for (const auto &t : table)
        if (info.codec_id & t.bit)
            return t.line;
    return "";
}

} // namespace

rtp_info_t rtp_info_from_bytes(const unsigned char *data, int size) {
    unsigned char raw[sizeof(rtp_info_t)] = {};
    memcpy(raw, data, (size_t)(size < (int)sizeof(raw) ? (size > 0 ? size : 0) : sizeof(raw)));
    rtp_info_t info;
    info.codec_type = raw[0];
    info.codec_id = le16(raw + 1);
    info.a_bitrate = le32(raw + 3);
    info.a_sample_rate = le32(raw + 7);
    info.a_channles = raw[11];
    info.port = le16(raw + 12);
    return info;
}

bool rtp_info_valid(const unsigned char *data, int size) {
    if (size != (int)sizeof(rtp_info_t))
        return false;
    uint8_t type = data[0];
    return type != 0 && (type & ~RTP_INFO_TYPES) == 0;
}

std::string generateSDP(const rtp_info_t &info) {
    std::string sdp = "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=No Name\nc=IN IP4 127.0.0.1\nt=0 0\n";
    QV_DEBUG("codec_id = %d", info.codec_id);
    if (info.codec_type & 0x1)
        sdp +=
            "m=video " + std::to_string(info.port) + " RTP/AVP 96\n" + video_lines(info.codec_id);
    if (info.codec_type & 0x2)
        sdp += "m=audio " + std::to_string(info.port + 2) + " RTP/AVP 97\n" + audio_lines(info);
    if (info.codec_type & 0x4) {
        sdp += "m=application RTP/AVP 98\n";
        if (info.codec_id & 0x1000)
            sdp += "a=rtpmap:98 X-DATA/90000\n";
    }
    return sdp;
}

std::string sdp_template(bool h265, int port, int payload) {
    const char *fmt = h265 ? "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=No Name\nc=IN IP4  %s\nt=0 0\n"
                             "a=tool:libavformat 54.62.100\nm=video %d RTP/AVP %d\n"
                             "a=rtpmap:%d H265/90000\na=fmtp:%d packetization-mode=1\n"
                           : "v=0\no=- 0 0 IN IP4 127.0.0.1\ns=No Name\nc=IN IP4  %s\nt=0 0\n"
                             "a=tool:libavformat 54.62.100\nm=video %d RTP/AVP %d\n"
                             "a=rtpmap:%d H264/90000\na=fmtp:%d packetization-mode=1\n";
    char text[512];
    snprintf(text, sizeof(text), fmt, "127.0.0.1", port, payload, payload, payload);
    return text;
}

std::string get_rtp_info(playhandle_t *p) {
    unsigned int sock = Socket_UDPServer(RTP_INFO_PORT);
    if (sock == 0) {
        QV_DEBUG("open socket failed ");
        return "";
    }
    std::string sdp;
    while (OS_AtomicGet(&p->active_task_video_rx)) {
        if (Socket_IsRxPacketMS((int)sock, kInfoWaitMs) <= 0) {
            QV_DEBUG("wait get rtp info... ");
            continue;
        }
        // One byte more than a description: a longer datagram is seen as too long, not cut.
        unsigned char raw[sizeof(rtp_info_t) + 1];
        unsigned int from = 0;
        unsigned short from_port = 0;
        int n = Socket_ReceiveFrom(sock, raw, (int)sizeof(raw), &from, &from_port);
        if (rtp_info_valid(raw, n)) {
            sdp = generateSDP(rtp_info_from_bytes(raw, n));
            break;
        }
        QV_DEBUG("not a stream description (%d bytes)", n);
    }
    Socket_Close(sock);
    return sdp;
}

int read_sdp(void *pParam, uint8_t *p_buffer, int i_buffer) {
    playhandle_t *p = static_cast<playhandle_t *>(pParam);
    if (!p->read_sdp_flag || i_buffer <= 1)
        return AVERROR_EOF;
    std::string text;
    if (OS_AtomicGet(&p->rtp_payload_type) == RTP_P_TYPE_STAN82)
        text = p->sdp_string ? p->sdp_string : "";
    else
        text = sdp_template(p->h265_rtp_flag != 0, OS_AtomicGet(&p->rx_port), p->rtp_pt);
    if ((int)text.size() >= i_buffer)
        text.resize((size_t)i_buffer - 1);
    memcpy(p_buffer, text.c_str(), text.size() + 1);
    p->read_sdp_flag = 0;
    return text.empty() ? AVERROR_EOF : (int)text.size();
}

void *rtp_task(void *pParam) {
    playhandle_t *p = static_cast<playhandle_t *>(pParam);
    int kind = OS_AtomicGet(&p->rtp_payload_type);
    if (kind == RTP_P_TYPE_STAN82) {
        std::string sdp = get_rtp_info(p);
        free(p->sdp_string);
        p->sdp_string = strdup(sdp.c_str());
    } else {
        // Any kind but the described one gets a template; unknown kinds take the H.264 one.
        p->h265_rtp_flag = kind == RTP_P_TYPE_H265 ? 1 : 0;
        p->rtp_pt = 96;
    }
    return task_gen_rx(p);
}
