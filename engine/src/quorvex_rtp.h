// RTP input: the SDP text that describes the RTP streams to FFmpeg's "sdp" demuxer, written
// from a template or from the sender's stream-description datagram, and the RTP task that
// serves it and then runs the receive loop.
#pragma once

#include <stdint.h>

#include <string>

#include "quorvex.h"

#pragma pack(push, 1)
// The sender's stream description on UDP port 5004; multi-byte fields little-endian.
typedef struct {
    uint8_t codec_type;     // 0x1 video, 0x2 audio, 0x4 data
    uint16_t codec_id;      // bit n set for codec n of e_rtp_codec_id
    uint32_t a_bitrate;     // not used in the text
    uint32_t a_sample_rate; // RTP clock rate of the audio
    uint8_t a_channles;
    uint16_t port; // video RTP port; audio uses port + 2
} rtp_info_t;
#pragma pack(pop)
static_assert(sizeof(rtp_info_t) == 14, "the stream description is 14 bytes");

enum e_rtp_codec_id {
    e_VIDEO_CODEC_H264 = 0,
    e_VIDEO_CODEC_MP4 = 1,
    e_VIDEO_CODEC_JPEG = 2,
    e_VIDEO_CODEC_H265 = 3,
    e_AUDIO_CODEC_G711A = 4,
    e_AUDIO_CODEC_G726 = 5,
    e_AUDIO_CODEC_OPUS = 6,
    e_AUDIO_CODEC_MP2 = 7,
    e_AUDIO_CODEC_MP3 = 8,
    e_AUDIO_CODEC_G711U = 9,
    e_AUDIO_CODEC_AAC = 10,
    e_AUDIO_CODEC_G722 = 11,
    e_DATA_CODEC_KLV = 12,
};

#define RTP_INFO_PORT 5004
// The stream kinds a description may name (codec_type bits).
#define RTP_INFO_TYPES 0x7u

// Task entry for Protocol_RTPUDP; pParam is the play handle.
void *rtp_task(void *pParam);
// Waits on UDP port 5004 for the stream description while the receive task runs; the SDP text,
// or an empty text when stopped first or when the port cannot be opened.
std::string get_rtp_info(playhandle_t *p);
// The SDP text for a stream description.
std::string generateSDP(const rtp_info_t &info);
// True for a datagram that is a stream description: exactly its length, naming at least one
// stream kind and no unknown one. Anything else on the port is ignored.
bool rtp_info_valid(const unsigned char *data, int size);
// Decodes a received datagram (shorter ones leave the rest zero).
rtp_info_t rtp_info_from_bytes(const unsigned char *data, int size);
// The template text for H.264 or H.265 video on a local port.
std::string sdp_template(bool h265, int port, int payload);
// FFmpeg read function of the SDP input: serves the text once per open (read_sdp_flag).
int read_sdp(void *pParam, uint8_t *p_buffer, int i_buffer);
