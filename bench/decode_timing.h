// Decode time of one picture of a recorded stream with libavcodec, configured as the engine
// configures its decoder (software H.264, one thread), and the time to convert the picture to
// RGBA as the headless display does. Run after a live run, while nothing else of ours runs.
#pragma once

#include <string>

#include "bench_support.h"

namespace bench {

struct DecodeTiming {
    bool ok = false;
    Summary decode_ms;  // avcodec_send_packet + avcodec_receive_frame, per picture
    Summary convert_ms; // sws_scale to RGBA at the picture's size (bicubic, as the engine)
};

DecodeTiming time_decoding(const std::string &ts_path, int max_pictures);

} // namespace bench
