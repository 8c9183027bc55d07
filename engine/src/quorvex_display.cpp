#include "quorvex_display.h"

#include <SDL2/SDL.h>
#include <stdlib.h>
#include <string.h>

#include <opencv2/core.hpp>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

#include "platform_x11.h"
#include "quorvex_video.h"
#include "stabilizer1.h"
#include "stabilizer2.h"

namespace {

constexpr int kGrabWaitMs = 30;

bool display_active(playhandle_t *p) {
    return OS_AtomicGet(&p->active_task_display) != 0;
}

// Converts one picture to the handle's grab format at its own size and hands it to the overlay
// callback. False when no scaler can be made for it.
bool grab_picture(playhandle_t *p, const AVFrame *f, SwsContext **sws) {
    if (!f->data[0] || f->width <= 0 || f->height <= 0)
        return true; // an empty picture (a filter holding back): nothing to show
    AVPixelFormat out_fmt = static_cast<AVPixelFormat>(p->pict_fmt);
    *sws =
        sws_getCachedContext(*sws, f->width, f->height, static_cast<AVPixelFormat>(f->format),
                             f->width, f->height, out_fmt, p->sws_flags, nullptr, nullptr, nullptr);
    if (!*sws)
        return false;
    uint8_t *data[4];
    int linesize[4];
    if (av_image_alloc(data, linesize, f->width, f->height, out_fmt, 1) < 0)
        return true;
    sws_scale(*sws, f->data, f->linesize, 0, f->height, data, linesize);
    quorvex_user_overlay_callback_t cb = OS_AtomicGet(&p->overlay_callback);
    if (cb)
        cb(OS_AtomicGet(&p->overlay_callback_param), 0, (unsigned)out_fmt, f->width, f->height,
           f->width * 4, data[0], nullptr);
    av_freep(&data[0]);
    OS_AtomicAdd(&p->display_count, 1);
    quorvex_info_add(&p->cur_info.get_strm_info.inp_disp_frames, 1);
    return true;
}

} // namespace

void *task_fack_disp(void *p_sys) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    SwsContext *sws = nullptr;
    OS_AtomicSet(&p->display_count, 0);
    while (display_active(p)) {
        if (!p->m_display_q) {
            OS_MSleep(10);
            continue;
        }
        block_t *b = block_FifoGetTimeout(p->m_display_q, kGrabWaitMs);
        if (!b)
            continue;
        bool ok = grab_picture(p, reinterpret_cast<const AVFrame *>(b->p_buffer), &sws);
        display_picture_release(p, b);
        if (!ok)
            break;
    }
    sws_freeContext(sws);
    return nullptr;
}

namespace {

constexpr int kWindowWaitMs = 100;
constexpr size_t kStabScratchSize = 16 * 1024 * 1024; // 1080p and below without a regrowth
constexpr Uint32 kRendererFlags = SDL_RENDERER_ACCELERATED | SDL_RENDERER_PRESENTVSYNC;
constexpr int kBlinkFrameCount = 4;

// A running blink sequence; its settings are taken from the request when it starts.
struct blink_t {
    bool active;
    bool on;          // phase: frame drawn
    unsigned start;   // sequence start, ms
    unsigned phase;   // phase start, ms
    unsigned int rgb; // red in bits 0-7
    int period_ms, cycle_ms;
};

// What the window display task owns; everything here is touched by that task only.
struct window_display_t {
    x11_conn_t *x11;
    SDL_Window *window;
    SDL_Renderer *renderer;
    SDL_Texture *texture;
    int out_w, out_h;
    int src_fmt; // picture format when the renderer was made; -1 before
    SwsContext *sws, *sws_stab_in, *sws_stab_out;
    uint8_t *scratch; // the picture in ABGR for the stabiliser
    size_t scratch_size;
    VideoStab *stab;
    cv::Mat prev_luma, last_stab;
    bool stab_begun;
    blink_t blink;
};

VideoStab *create_stabilizer(int mode) {
    if (mode == 0)
        return nullptr;
    return mode == 2 ? static_cast<VideoStab *>(VideoStab2::Create())
                     : static_cast<VideoStab *>(VideoStab1::Create());
}

void destroy_renderer(window_display_t *d) {
    if (d->texture)
        SDL_DestroyTexture(d->texture);
    if (d->renderer)
        SDL_DestroyRenderer(d->renderer);
    d->texture = nullptr;
    d->renderer = nullptr;
}

// The renderer prefers a driver by name when the build has it, then the default driver, and
// as a last resort the software renderer (no acceleration on the machine).
SDL_Renderer *create_renderer(SDL_Window *w) {
    for (int i = 0; i < SDL_GetNumRenderDrivers(); i++) {
        SDL_RendererInfo info;
        if (SDL_GetRenderDriverInfo(i, &info) == 0 && strcmp(info.name, "direct3d11") == 0) {
            if (SDL_Renderer *r = SDL_CreateRenderer(w, i, kRendererFlags))
                return r;
            break;
        }
    }
    if (SDL_Renderer *r = SDL_CreateRenderer(w, -1, kRendererFlags))
        return r;
    return SDL_CreateRenderer(w, -1, SDL_RENDERER_SOFTWARE);
}

// Output size: the client area cut to multiples of 16 in fit mode, the picture in full mode.
void output_size(playhandle_t *p, int cw, int ch, const AVFrame *f, int *w, int *h) {
    if (OS_AtomicGet(&p->win_fit_mode) == e_win_mode_full) {
        *w = f->width;
        *h = f->height;
    } else {
        *w = cw & ~15;
        *h = ch & ~15;
    }
}

// Rebuilds renderer and texture when the output size or the picture format changed.
void prepare_target(playhandle_t *p, window_display_t *d, int w, int h, int fmt) {
    if (w != d->out_w || h != d->out_h || fmt != d->src_fmt) {
        destroy_renderer(d);
        d->out_w = w;
        d->out_h = h;
    }
    if (!d->window)
        d->window = SDL_CreateWindowFrom(p->hWnd);
    if (d->window && !d->renderer) {
        d->renderer = create_renderer(d->window);
        d->src_fmt = fmt;
    }
    if (d->renderer && !d->texture && w > 0 && h > 0)
        d->texture = SDL_CreateTexture(d->renderer, SDL_PIXELFORMAT_RGBA8888,
                                       SDL_TEXTUREACCESS_STREAMING, w, h);
}

void arm_blink(playhandle_t *p, window_display_t *d) {
    if (!OS_AtomicGet(&p->blink_on) || d->blink.active)
        return;
    d->blink.rgb = OS_AtomicGet(&p->blink_rgb);
    d->blink.period_ms = OS_AtomicGet(&p->blink_period_ms);
    d->blink.cycle_ms = OS_AtomicGet(&p->blink_cycle_ms);
    d->blink.active = true;
    d->blink.on = true;
    d->blink.start = d->blink.phase = OS_GetKHClock();
    OS_AtomicSet(&p->blink_on, 0);
}

// Scales a picture straight into the locked texture. Negative on failure.
int scale_into(SwsContext **sws, int sw, int sh, AVPixelFormat sfmt, const uint8_t *const src[],
               const int src_stride[], int dw, int dh, void *pixels, int pitch) {
    *sws = sws_getCachedContext(*sws, sw, sh, sfmt, dw, dh, AV_PIX_FMT_ABGR, SWS_BICUBIC, nullptr,
                                nullptr, nullptr);
    if (!*sws)
        return -1;
    uint8_t *dst[4] = {static_cast<uint8_t *>(pixels), nullptr, nullptr, nullptr};
    int dst_stride[4] = {pitch, 0, 0, 0};
    return sws_scale(*sws, src, src_stride, 0, sh, dst, dst_stride);
}

// Runs the stabiliser on the picture and draws the stabilised picture (or the last one when
// no transform came out). Returns 0 when nothing is drawn yet, negative on a failure, else the
// rows scaled.
// Grows the scratch buffer to hold an ABGR picture of w x h. False when memory is short.
bool ensure_scratch(window_display_t *d, int w, int h) {
    size_t need = (size_t)w * (size_t)h * 4;
    if (need <= d->scratch_size)
        return true;
    uint8_t *bigger = static_cast<uint8_t *>(malloc(need));
    if (!bigger)
        return false;
    free(d->scratch);
    d->scratch = bigger;
    d->scratch_size = need;
    return true;
}

int draw_stabilized(window_display_t *d, const AVFrame *f, void *pixels, int pitch) {
    if (f->width <= 0 || f->height <= 0 || !ensure_scratch(d, f->width, f->height))
        return -1;
    cv::Mat luma(f->height, f->width, CV_8UC1, f->data[0], (size_t)f->linesize[0]);
    cv::Mat transform;
    if (!d->prev_luma.empty() && d->prev_luma.size() == luma.size()) {
        transform = d->stab->stabilize(d->prev_luma, luma);
        d->stab_begun = true;
    }
    d->prev_luma = luma.clone();
    uint8_t *abgr[4] = {d->scratch, nullptr, nullptr, nullptr};
    int abgr_stride[4] = {f->width * 4, 0, 0, 0};
    d->sws_stab_in = sws_getCachedContext(
        d->sws_stab_in, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->width,
        f->height, AV_PIX_FMT_ABGR, SWS_BICUBIC, nullptr, nullptr, nullptr);
    if (!d->sws_stab_in)
        return -1;
    sws_scale(d->sws_stab_in, f->data, f->linesize, 0, f->height, abgr, abgr_stride);
    cv::Mat image(f->height, f->width, CV_8UC4, d->scratch);
    if (d->stab_begun && !transform.empty())
        d->last_stab = d->stab->warp_frame(transform, image).clone();
    if (!d->stab_begun)
        return 0; // the first picture only starts the stabiliser
    // Until the stabiliser has measured a first motion (a picture with too few features, say)
    // the pictures are drawn as they come rather than not at all.
    bool have_stab =
        !d->last_stab.empty() && d->last_stab.cols == f->width && d->last_stab.rows == f->height;
    const cv::Mat &shown = have_stab ? d->last_stab : image;
    const uint8_t *src[4] = {shown.data, nullptr, nullptr, nullptr};
    int src_stride[4] = {(int)shown.step[0], 0, 0, 0};
    return scale_into(&d->sws_stab_out, f->width, f->height, AV_PIX_FMT_ABGR, src, src_stride,
                      d->out_w, d->out_h, pixels, pitch);
}

// Nested one-pixel rectangles along the edge of the client area.
void draw_vid_rect(int cw, int ch, SDL_Renderer *renderer, int count) {
    for (int i = 0; i < count; i++) {
        SDL_Rect r = {i, i, cw - 2 - 2 * i, ch - 2 - 2 * i};
        SDL_RenderDrawRect(renderer, &r);
    }
}

// Copies the texture over the window, draws the blink frame in its on phases, presents.
void present(window_display_t *d, int cw, int ch) {
    SDL_RenderCopy(d->renderer, d->texture, nullptr, nullptr);
    blink_t *b = &d->blink;
    if (b->active) {
        unsigned now = OS_GetKHClock();
        if (now - b->phase < (unsigned)b->cycle_ms) {
            if (b->on) {
                SDL_SetRenderDrawColor(d->renderer, b->rgb & 0xFF, (b->rgb >> 8) & 0xFF,
                                       (b->rgb >> 16) & 0xFF, 255);
                draw_vid_rect(cw, ch, d->renderer, kBlinkFrameCount);
            }
        } else {
            b->on = !b->on;
            b->phase = now;
        }
        if (now - b->start > (unsigned)b->period_ms)
            b->active = false;
    }
    SDL_RenderPresent(d->renderer);
}

// Shows one picture: sizes the target, scales (or stabilises) into the texture, presents
// unless drawing is switched off, and hands the texture's pixels to the overlay callback.
bool show_picture(playhandle_t *p, window_display_t *d, const AVFrame *f) {
    int cw = 0, ch = 0;
    if (x11_client_size(d->x11, p->hWnd, &cw, &ch) != 0)
        return false;
    int w, h;
    output_size(p, cw, ch, f, &w, &h);
    prepare_target(p, d, w, h, f->format);
    arm_blink(p, d);
    if (!d->texture || !f->data[0])
        return false;
    void *pixels = nullptr;
    int pitch = 0;
    if (SDL_LockTexture(d->texture, nullptr, &pixels, &pitch) != 0) {
        SDL_UnlockTexture(d->texture);
        return false;
    }
    int r = d->stab ? draw_stabilized(d, f, pixels, pitch) : -1;
    if (r < 0) // no stabiliser, or it cannot take this picture: the plain picture, not black
        r = scale_into(&d->sws, f->width, f->height, static_cast<AVPixelFormat>(f->format), f->data,
                       f->linesize, d->out_w, d->out_h, pixels, pitch);
    SDL_UnlockTexture(d->texture);
    if (r <= 0) // failed, or the stabiliser has nothing to show yet
        return false;
    OS_AtomicAdd(&p->display_count, 1);
    if (!(p->flags & QUORVEX_FLAG_NO_WINDOW_COPY))
        present(d, cw, ch);
    quorvex_user_overlay_callback_t cb = OS_AtomicGet(&p->overlay_callback);
    if (cb)
        cb(OS_AtomicGet(&p->overlay_callback_param), 0, AV_PIX_FMT_ABGR, d->out_w, d->out_h, pitch,
           pixels, nullptr);
    return true;
}

// Window events are not used, but SDL learns the window's new size from them, and a queue
// nobody empties would only grow.
void drain_window_events() {
    SDL_PumpEvents();
    SDL_FlushEvents(SDL_FIRSTEVENT, SDL_LASTEVENT);
}

void window_display_free(window_display_t *d) {
    sws_freeContext(d->sws);
    sws_freeContext(d->sws_stab_in);
    sws_freeContext(d->sws_stab_out);
    destroy_renderer(d);
    // The caller's window survives: SDL only lets go of a window it did not create.
    if (d->window)
        SDL_DestroyWindow(d->window);
    delete d->stab;
    free(d->scratch);
    x11_disconnect(d->x11);
}

} // namespace

void *task_display(void *p_sys) {
    playhandle_t *p = static_cast<playhandle_t *>(p_sys);
    OS_AtomicSet(&p->display_count, 0);
    window_display_t *d = new window_display_t();
    d->src_fmt = -1;
    d->x11 = x11_connect();
    d->stab = create_stabilizer(OS_AtomicGet(&p->stub_algo_mode));
    ensure_scratch(d, 1, (int)(kStabScratchSize / 4));
    while (display_active(p)) {
        block_t *b = block_FifoGetTimeout(p->m_display_q, kWindowWaitMs);
        drain_window_events();
        if (!b)
            continue;
        AVFrame *f = reinterpret_cast<AVFrame *>(b->p_buffer);
        bool shown = show_picture(p, d, f);
        display_picture_release(p, b);
        if (shown)
            quorvex_info_add(&p->cur_info.get_strm_info.inp_disp_frames, 1);
    }
    window_display_free(d);
    delete d;
    return nullptr;
}
