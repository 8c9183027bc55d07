#!/usr/bin/python3
"""RTSP test server: serves a live H.264 test pattern on 127.0.0.1 for the engine's tests.

Every client gets its own pipeline (videotestsrc -> x264enc -> RTP payloader, payload type 96),
so each session starts with a key frame. Clients may ask for RTP over UDP or interleaved in the
RTSP TCP connection. SIGTERM and SIGINT stop the main loop and the process exits with 0.

Run with the system interpreter (/usr/bin/python3): it needs the GObject bindings of the
GStreamer RTSP server.
"""

import argparse
import signal
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--path", default="/test", help="mount point, e.g. /live")
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--fps", type=int, default=25)
    parser.add_argument("--gop", type=int, default=0, help="key frame interval; 0 = fps")
    return parser.parse_args(argv)


def launch_line(args):
    """The per-client pipeline. Repeated SPS/PPS (config-interval=-1) let a decoder start at
    any key frame; zerolatency keeps B-frames and look-ahead out."""
    gop = args.gop if args.gop > 0 else args.fps
    return (
        "( videotestsrc is-live=true pattern=smpte "
        f"! video/x-raw,format=I420,width={args.width},height={args.height},"
        f"framerate={args.fps}/1 "
        f"! x264enc tune=zerolatency speed-preset=ultrafast key-int-max={gop} "
        "! video/x-h264,profile=constrained-baseline "
        "! rtph264pay name=pay0 pt=96 config-interval=-1 )"
    )


def main(argv):
    args = parse_args(argv)
    path = args.path if args.path.startswith("/") else "/" + args.path
    Gst.init(None)

    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(str(args.port))
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(launch_line(args))
    factory.set_shared(False)
    server.get_mount_points().add_factory(path, factory)

    loop = GLib.MainLoop()
    # attach() binds the listening socket; a port still held by someone else fails here.
    if server.attach(None) == 0:
        print(f"rtsp_server: cannot listen on 127.0.0.1:{args.port}", file=sys.stderr)
        return 1

    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)

    print(f"rtsp_server: serving rtsp://127.0.0.1:{args.port}{path}", flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
