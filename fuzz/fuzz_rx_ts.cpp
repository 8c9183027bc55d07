// Arbitrary bytes as an MPEG-TS input on UDP, through the engine's own receive path: the
// demuxer, decryption, routing to the video, audio and data decoders (which run), and the data
// outputs (a file and loopback UDP). The first byte chooses decryption and the data outputs.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "quorvex.h"
#include "quorvex_rx.h"

namespace {

// One play handle for the whole run, closed at exit so the leak checker sees a clean end.
struct Engine {
    quorvex_handle_t h = 0;
    playhandle_t *p = nullptr;
    Engine() {
        quorvex_setup_t setup = {};
        if (quorvex_open(setup, &h) == 0)
            p = reinterpret_cast<playhandle_t *>(h);
        data_setup_t d = {};
        d.port = 9; // discard, on loopback
        d.ip = 0x7F000001;
        char null_file[] = "/dev/null";
        d.file_name = null_file;
        quorvex_set_data_param(h, d);
        if (p)
            p->rx.data_file_name = strdup("/dev/null"); // freed with the handle
    }
    ~Engine() { quorvex_close(h); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static Engine engine;
    playhandle_t *p = engine.p;
    if (!p || size < 1)
        return 0;
    const uint8_t mode = data[0];
    p->rx.is_encryption = (mode & 1) ? 1 : 0;
    p->rx.key_len = 8;
    memset(p->rx.key, mode, sizeof(p->rx.key));
    OS_AtomicSet(&p->is_save_data_by_file, (mode & 2) ? 1 : 0);
    OS_AtomicSet(&p->is_send_data_by_eth, (mode & 4) ? 1 : 0);
    rx_run_memory(p, data + 1, size - 1);
    return 0;
}
