#include "quorvex_display.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

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
    quorvex_user_overlay_callback_t cb = p->overlay_callback;
    if (cb)
        cb(p->overlay_callback_param, 0, (unsigned)out_fmt, f->width, f->height, f->width * 4,
           data[0], nullptr);
    av_freep(&data[0]);
    OS_AtomicAdd(&p->display_count, 1);
    OS_AtomicAdd(&p->cur_info.get_strm_info.inp_disp_frames, 1);
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
        block_Release(b); // frees the picture with the block
        if (!ok)
            break;
    }
    sws_freeContext(sws);
    return nullptr;
}

// The window renderer comes with the SDL display; until then a window handle gets the same
// pictures through the overlay callback.
void *task_display(void *p_sys) {
    return task_fack_disp(p_sys);
}
