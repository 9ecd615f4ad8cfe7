#!/usr/bin/env python3
"""An RTSP server for Morvek's tests: GStreamer's RTSP server (through Python's gi bindings)
on 127.0.0.1, serving a live test picture (H.264, 320x240) and tone (G.711 mu-law) at /live.

    rtsp_server.py --port-file F

Picks a free port, writes it to F once listening, and runs until it is killed (SIGTERM). Exits with 3
when GStreamer, its RTSP server or an element the stream needs is missing."""
import argparse
import os
import sys

PIPELINE = ("( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=25/1 ! "
            "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
            "rtph264pay name=pay0 pt=96 config-interval=1 "
            "audiotestsrc is-live=true ! audioconvert ! audioresample ! audio/x-raw,rate=8000,channels=1 ! "
            "mulawenc ! rtppcmupay name=pay1 pt=0 )")
ELEMENTS = ["videotestsrc", "x264enc", "rtph264pay", "audiotestsrc", "mulawenc", "rtppcmupay"]
MISSING = 3


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port-file", required=True)
    args = parser.parse_args()
    try:
        import gi
        gi.require_version("Gst", "1.0")
        gi.require_version("GstRtspServer", "1.0")
        from gi.repository import GLib, Gst, GstRtspServer
    except (ImportError, ValueError) as error:
        sys.stderr.write("rtsp_server.py: %s\n" % error)
        return MISSING
    Gst.init(None)
    missing = [e for e in ELEMENTS if Gst.ElementFactory.find(e) is None]
    if missing:
        sys.stderr.write("rtsp_server.py: missing GStreamer elements: %s\n" % " ".join(missing))
        return MISSING
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service("0")
    factory = GstRtspServer.RTSPMediaFactory()
    factory.set_launch(PIPELINE)
    factory.set_shared(True)
    server.get_mount_points().add_factory("/live", factory)
    server.attach(None)
    loop = GLib.MainLoop()
    temporary = args.port_file + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % server.get_bound_port())
    os.replace(temporary, args.port_file)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
