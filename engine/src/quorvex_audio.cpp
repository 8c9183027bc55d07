#include "quorvex_audio.h"

#include "quorvex_video.h"

#include <SDL2/SDL.h>
#include <stdlib.h>
#include <string.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace {

constexpr int kNextChannels[] = {0, 0, 1, 6, 2, 6, 4, 6};
constexpr int kNextRates[] = {0, 44100, 48000, 96000, 192000};
constexpr int kConvertSamples = 192000;
constexpr int kBlockWaitMs = 10;

task_decode_t *audio_slot(playhandle_t *p) {
    return &p->task_decode[DECODE_STREAM_AUDIO];
}

bool audio_active(playhandle_t *p) {
    return OS_AtomicGet(&audio_slot(p)->active_task_decode) != 0;
}

// The default layout's mask for a channel count, without the downmix bits.
int64_t default_layout_mask(int channels) {
    AVChannelLayout l;
    av_channel_layout_default(&l, channels);
    int64_t mask = l.order == AV_CHANNEL_ORDER_NATIVE ? (int64_t)l.u.mask : 0;
    av_channel_layout_uninit(&l);
    return mask & ~(int64_t)(AV_CH_LAYOUT_STEREO_DOWNMIX);
}

int layout_channels(int64_t mask) {
    return __builtin_popcountll((unsigned long long)mask);
}

// SDL's device open as the default opener.
struct sdl_open_ctx_t {
    playhandle_t *p;
    SDL_AudioDeviceID device;
};

int sdl_open(void *ctx, const audio_try_t *wanted, audio_try_t *obtained, int *fmt_ok) {
    sdl_open_ctx_t *c = static_cast<sdl_open_ctx_t *>(ctx);
    SDL_AudioSpec want = {}, have = {};
    want.freq = wanted->rate;
    want.format = AUDIO_S16SYS;
    want.channels = (Uint8)wanted->channels;
    want.silence = 0;
    want.samples = (Uint16)audio_buffer_samples(wanted->rate);
    want.callback = audio_callback;
    want.userdata = c->p;
    c->device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (c->device == 0)
        return -1;
    obtained->rate = have.freq;
    obtained->channels = have.channels;
    *fmt_ok = have.format == AUDIO_S16SYS;
    return 0;
}

// The device side of the resampler: the device's layout, or the default one for its channel
// count when the device gave none.
void device_layout(const playhandle_t *p, AVChannelLayout *out) {
    if (p->audio_params.channel_layout == 0 ||
        av_channel_layout_from_mask(out, (uint64_t)p->audio_params.channel_layout) < 0)
        av_channel_layout_default(out, p->audio_params.channels);
}

// True when the resampler was made for this frame's format, layout and rate and for the
// device as it is now. A track switch or a new stream on the same handle changes them.
bool resampler_fits(const playhandle_t *p, const AVFrame *frame) {
    if (!p->swr)
        return false;
    int64_t in_rate = 0, out_rate = 0;
    enum AVSampleFormat in_fmt = AV_SAMPLE_FMT_NONE;
    AVChannelLayout in_layout = {}, out_layout = {}, want_out = {};
    bool fits = av_opt_get_int(p->swr, "in_sample_rate", 0, &in_rate) >= 0 &&
                av_opt_get_int(p->swr, "out_sample_rate", 0, &out_rate) >= 0 &&
                av_opt_get_sample_fmt(p->swr, "in_sample_fmt", 0, &in_fmt) >= 0 &&
                av_opt_get_chlayout(p->swr, "in_chlayout", 0, &in_layout) >= 0 &&
                av_opt_get_chlayout(p->swr, "out_chlayout", 0, &out_layout) >= 0;
    device_layout(p, &want_out);
    fits = fits && in_rate == frame->sample_rate && in_fmt == frame->format &&
           out_rate == p->audio_params.freq &&
           av_channel_layout_compare(&in_layout, &frame->ch_layout) == 0 &&
           av_channel_layout_compare(&out_layout, &want_out) == 0;
    av_channel_layout_uninit(&in_layout);
    av_channel_layout_uninit(&out_layout);
    av_channel_layout_uninit(&want_out);
    return fits;
}

// (Re)makes the handle's resampler from the frame's format to the device's.
void rebuild_resampler(playhandle_t *p, const AVFrame *frame) {
    swr_free(&p->swr);
    AVChannelLayout out = {};
    device_layout(p, &out);
    SwrContext *swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_S16, p->audio_params.freq,
                            const_cast<AVChannelLayout *>(&frame->ch_layout),
                            (enum AVSampleFormat)frame->format, frame->sample_rate, 0,
                            nullptr) == 0 &&
        swr_init(swr) == 0)
        p->swr = swr;
    else
        swr_free(&swr);
    av_channel_layout_uninit(&out);
}

} // namespace

int convert_audio_samples(playhandle_t *p, AVFrame *frame, unsigned char **out) {
    if (!frame->data[0] || frame->nb_samples <= 0 || p->audio_params.frame_size <= 0)
        return 0;
    if (!resampler_fits(p, frame))
        rebuild_resampler(p, frame);
    if (!p->swr)
        return 0;
    // Room in aud_buff in device samples: the buffer holds 192000 stereo samples, fewer with
    // more channels.
    int room = AUD_BUFF_SIZE / p->audio_params.frame_size;
    if (room > kConvertSamples)
        room = kConvertSamples;
    uint8_t *dst[1] = {p->aud_buff};
    int n =
        swr_convert(p->swr, dst, room, (const uint8_t **)frame->extended_data, frame->nb_samples);
    if (n <= 0)
        return 0;
    *out = p->aud_buff;
    return n * p->audio_params.frame_size;
}

namespace {

// Copies what fits of n bytes; the rest becomes the leftover for the next callback.
void copy_out(playhandle_t *p, uint8_t **stream, int *len, const unsigned char *data, int n) {
    int take = n < *len ? n : *len;
    memcpy(*stream, data, (size_t)take);
    *stream += take;
    *len -= take;
    if (take < n && p->audio_input_buff_p) {
        int rest = n - take;
        if (rest > AUDIO_LEFTOVER_SIZE)
            rest = AUDIO_LEFTOVER_SIZE;
        memcpy(p->audio_input_buff_p, data + take, (size_t)rest);
        p->audio_input_buff_size = (unsigned)rest;
        p->audio_input_buff_count = 0;
    }
}

// Plays the leftover of the last callback first.
void copy_leftover(playhandle_t *p, uint8_t **stream, int *len) {
    unsigned left = p->audio_input_buff_size - p->audio_input_buff_count;
    if (left == 0)
        return;
    unsigned take = left < (unsigned)*len ? left : (unsigned)*len;
    memcpy(*stream, p->audio_input_buff_p + p->audio_input_buff_count, take);
    p->audio_input_buff_count += take;
    if (p->audio_input_buff_count >= p->audio_input_buff_size)
        p->audio_input_buff_size = p->audio_input_buff_count = 0;
    *stream += take;
    *len -= (int)take;
}

// Decodes one block and copies its samples out. False on a decoder error.
bool play_block(playhandle_t *p, block_t *b, uint8_t **stream, int *len) {
    AVCodecContext *dec = audio_slot(p)->p_context;
    if (!dec)
        return false;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    bool ok = pkt && frame;
    if (ok) {
        pkt->data = b->p_buffer;
        pkt->size = b->i_buffer;
        ok = avcodec_send_packet(dec, pkt) == 0;
    }
    quorvex_info_add(&p->cur_info.get_strm_info.a_bitrate, 1);
    while (ok && avcodec_receive_frame(dec, frame) == 0) {
        unsigned char *out = nullptr;
        int n = convert_audio_samples(p, frame, &out);
        if (n > 0)
            copy_out(p, stream, len, out, n);
        av_frame_unref(frame);
    }
    av_frame_free(&frame);
    av_packet_free(&pkt);
    return ok;
}

bool open_decoder(playhandle_t *p) {
    task_decode_t *slot = audio_slot(p);
    const AVCodec *codec = slot->p_par ? avcodec_find_decoder(slot->p_par->codec_id) : nullptr;
    AVCodecContext *ctx = codec ? avcodec_alloc_context3(codec) : nullptr;
    if (!ctx)
        return false;
    avcodec_parameters_to_context(ctx, slot->p_par);
    ctx->request_sample_fmt = AV_SAMPLE_FMT_S16;
    ctx->opaque = p;
    if (p->codec_sem)
        OS_WaitSemaphore(p->codec_sem);
    int r = avcodec_open2(ctx, codec, nullptr);
    if (p->codec_sem)
        OS_SetSemaphore(p->codec_sem);
    if (r < 0) {
        avcodec_free_context(&ctx);
        slot->p_context = nullptr;
        return false;
    }
    slot->p_context = ctx;
    slot->p_codec = codec;
    return true;
}

void report_stream(playhandle_t *p, const AVCodecContext *ctx) {
    OS_AtomicSet(&p->a_codec, (int)ctx->codec_id);
    OS_AtomicSet(&p->a_sample_rate, ctx->sample_rate);
    OS_AtomicSet(&p->a_channles, ctx->ch_layout.nb_channels);
    OS_AtomicSet(&p->a_bits_per_ch, 16);
    OS_AtomicSet(&p->a_bitrate, 0);
}

} // namespace

int audio_buffer_samples(int rate) {
    int per_30 = rate / 30;
    int log2 = 0;
    while (per_30 > 1) {
        per_30 >>= 1;
        log2++;
    }
    int samples = 2 << log2;
    return samples > 512 ? samples : 512;
}

int audio_rate_start(int wanted_rate) {
    int pos = (int)(sizeof(kNextRates) / sizeof(kNextRates[0])) - 1;
    while (pos > 0 && kNextRates[pos] >= wanted_rate)
        pos--;
    return pos;
}

bool audio_next_try(audio_try_t *cur, int wanted_channels, int *rate_pos) {
    cur->channels = kNextChannels[cur->channels < 7 ? cur->channels : 7];
    if (cur->channels == 0) {
        cur->rate = kNextRates[*rate_pos];
        if (*rate_pos > 0)
            (*rate_pos)--;
        cur->channels = wanted_channels;
    }
    return cur->rate != 0;
}

int sdl_audio_open(playhandle_t *p, int64_t layout, int channels, int rate, audio_open_fn open_fn,
                   void *ctx) {
    if (layout == 0 || layout_channels(layout) != channels) {
        layout = default_layout_mask(channels);
        channels = layout_channels(layout);
    }
    if (rate <= 0 || channels <= 0) {
        av_log(nullptr, AV_LOG_ERROR, "Invalid sample rate or channel count!\n");
        return -1;
    }
    int rate_pos = audio_rate_start(rate);
    audio_try_t want = {rate, channels}, got = {0, 0};
    int fmt_ok = 0;
    while (open_fn(ctx, &want, &got, &fmt_ok) != 0) {
        av_log(nullptr, AV_LOG_WARNING, "SDL_OpenAudio (%d channels, %d Hz): %s\n", want.channels,
               want.rate, SDL_GetError());
        if (!audio_next_try(&want, channels, &rate_pos)) {
            av_log(nullptr, AV_LOG_ERROR, "No more combinations to try, audio open failed\n");
            return -1;
        }
        layout = default_layout_mask(want.channels);
    }
    if (!fmt_ok)
        av_log(nullptr, AV_LOG_ERROR, "SDL advised audio format %d is not supported!\n", 0);
    if (got.channels != want.channels) {
        layout = default_layout_mask(got.channels);
        if (!layout) {
            av_log(nullptr, AV_LOG_ERROR, "SDL advised channel count %d is not supported!\n",
                   got.channels);
            return -1;
        }
    }
    audio_params_t *ap = &p->audio_params;
    ap->fmt = AV_SAMPLE_FMT_S16;
    ap->freq = got.rate;
    ap->channels = got.channels;
    ap->channel_layout = layout;
    ap->frame_size = av_samples_get_buffer_size(nullptr, got.channels, 1, AV_SAMPLE_FMT_S16, 1);
    ap->bytes_per_sec =
        av_samples_get_buffer_size(nullptr, got.channels, got.rate, AV_SAMPLE_FMT_S16, 1);
    if (ap->frame_size <= 0 || ap->bytes_per_sec <= 0) {
        fprintf(stderr, "av_samples_get_buffer_size failed\n");
        return -1;
    }
    return 0;
}

// How many blocks may wait behind the one just taken: about 200 ms of sound. Senders put
// several audio frames into one PES, which arrive together, so the bound is by time.
static int backlog_blocks(const block_t *b) {
    int64_t d = block_duration_us(b);
    if (d <= 0)
        return AUDIO_MAX_BACKLOG;
    int64_t n = AUDIO_MAX_QUEUED_US / d;
    return n < 1 ? 1 : (int)n;
}

void audio_callback(void *p_sys, uint8_t *stream, int len) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    if (!audio_active(p))
        return;
    copy_leftover(p, &stream, &len);
    block_fifo_t *q = audio_slot(p)->p_qdecode;
    while (len > 0 && audio_active(p)) {
        block_t *b = q ? block_FifoGetTimeout(q, kBlockWaitMs) : nullptr;
        if (!b) {
            memset(stream, 0, (size_t)len);
            return;
        }
        // Late audio is worth nothing: the oldest of a backlog goes, never the block in hand.
        if (OS_AtomicGet(&p->audio_reset_state))
            block_FifoDropOldest(q, backlog_blocks(b));
        bool ok = play_block(p, b, &stream, &len);
        block_Release(b);
        if (!ok)
            return;
    }
}

namespace {

// Without a decoder or a device nobody takes the blocks the dispatcher hands on: they are
// released here until the task is stopped.
void drain_until_stopped(playhandle_t *p) {
    block_fifo_t *q = audio_slot(p)->p_qdecode;
    while (audio_active(p)) {
        block_t *b = q ? block_FifoGetTimeout(q, 50) : nullptr;
        if (!b && !q)
            OS_MSleep(50);
        block_Release(b);
    }
}

} // namespace

void *audio_task_decode(void *p_sys) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    task_decode_t *slot = audio_slot(p);
    p->audio_input_buff_size = p->audio_input_buff_count = 0;
    p->audio_input_buff_p = static_cast<unsigned char *>(malloc(AUDIO_LEFTOVER_SIZE));
    if (!open_decoder(p)) {
        drain_until_stopped(p);
        free(p->audio_input_buff_p);
        p->audio_input_buff_p = nullptr;
        return nullptr;
    }
    AVCodecContext *dec = slot->p_context;
    sdl_open_ctx_t open_ctx = {p, 0};
    int64_t layout =
        dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE ? (int64_t)dec->ch_layout.u.mask : 0;
    if (sdl_audio_open(p, layout, dec->ch_layout.nb_channels, dec->sample_rate, sdl_open,
                       &open_ctx) != 0 &&
        open_ctx.device) { // opened, but in a form we cannot feed
        SDL_CloseAudioDevice(open_ctx.device);
        open_ctx.device = 0;
    }
    OS_AtomicSet(&p->aud_device, open_ctx.device);
    report_stream(p, dec);
    OS_AtomicSet(&p->audio_reset_state, 1u);
    if (open_ctx.device) {
        SDL_PauseAudioDevice(open_ctx.device, 0);
        while (audio_active(p))
            OS_MSleep(50);
        SDL_PauseAudioDevice(open_ctx.device, 1);
        SDL_CloseAudioDevice(open_ctx.device); // waits for a running callback
    } else {
        drain_until_stopped(p);
    }
    OS_AtomicSet(&p->aud_device, 0u);
    avcodec_free_context(&slot->p_context);
    free(p->audio_input_buff_p);
    p->audio_input_buff_p = nullptr;
    return nullptr;
}
