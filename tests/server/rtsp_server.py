#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-2.0-or-later
"""An RTSP server for Morvek's tests: GStreamer's RTSP server (through Python's gi bindings)
on 127.0.0.1, serving a live test picture (H.264, 320x240) and tone (G.711 mu-law) at /live.

    rtsp_server.py --port-file F [--silent --log L]

Picks a free port, writes it to F once listening, and runs until it is killed (SIGTERM). Exits with 3
when GStreamer, its RTSP server or an element the stream needs is missing.

With --silent it needs no GStreamer: a plain server that answers OPTIONS, DESCRIBE (one G.711
audio track), SETUP, PLAY and the rest with 200 but never sends a media packet. Its SETUP reply
names 192.0.2.1 (a documentation address) as the destination of UDP media, as a hostile server
may; L receives the Transport header of every SETUP, one a line."""
import argparse
import os
import socketserver
import sys

SILENT_SDP = ("v=0\r\no=- 1 1 IN IP4 127.0.0.1\r\ns=silent\r\nc=IN IP4 0.0.0.0\r\nt=0 0\r\n"
              "m=audio 0 RTP/AVP 0\r\na=control:track0\r\n")
HOSTILE_DESTINATION = "192.0.2.1"

PIPELINE = ("( videotestsrc is-live=true ! video/x-raw,width=320,height=240,framerate=25/1 ! "
            "x264enc tune=zerolatency speed-preset=ultrafast key-int-max=25 ! "
            "rtph264pay name=pay0 pt=96 config-interval=1 "
            "audiotestsrc is-live=true ! audioconvert ! audioresample ! audio/x-raw,rate=8000,channels=1 ! "
            "mulawenc ! rtppcmupay name=pay1 pt=0 )")
ELEMENTS = ["videotestsrc", "x264enc", "rtph264pay", "audiotestsrc", "mulawenc", "rtppcmupay"]
MISSING = 3


def write_port(path, port):
    temporary = path + ".tmp"
    with open(temporary, "w") as f:
        f.write("%d\n" % port)
    os.replace(temporary, path)


class SilentHandler(socketserver.StreamRequestHandler):
    def handle(self):
        while True:
            request = []
            while True:
                line = self.rfile.readline()
                if not line:
                    return
                if line in (b"\r\n", b"\n"):
                    break
                request.append(line.decode("latin-1").strip())
            if request:
                self.answer(request)

    def answer(self, request):
        method = request[0].split(" ")[0]
        headers = dict((k.strip().lower(), v.strip()) for k, _, v in (h.partition(":") for h in request[1:]))
        reply = ["RTSP/1.0 200 OK", "CSeq: %s" % headers.get("cseq", "0")]
        body = ""
        if method == "OPTIONS":
            reply.append("Public: OPTIONS, DESCRIBE, SETUP, PLAY, TEARDOWN, GET_PARAMETER")
        elif method == "DESCRIBE":
            body = SILENT_SDP
            reply += ["Content-Type: application/sdp", "Content-Base: %s/" % request[0].split(" ")[1]]
        elif method == "SETUP":
            transport = headers.get("transport", "")
            with open(self.server.log, "a") as f:
                f.write(transport + "\n")
            if "TCP" not in transport:
                transport += ";destination=%s;server_port=6970-6971" % HOSTILE_DESTINATION
            reply += ["Transport: %s" % transport, "Session: 12345678;timeout=60"]
        elif method in ("PLAY", "GET_PARAMETER"):
            reply.append("Session: 12345678")
        reply.append("Content-Length: %d" % len(body))
        self.wfile.write(("\r\n".join(reply) + "\r\n\r\n" + body).encode("latin-1"))


def serve_silent(args):
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), SilentHandler)
    server.daemon_threads = True
    server.log = args.log
    write_port(args.port_file, server.server_address[1])
    server.serve_forever()
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--silent", action="store_true")
    parser.add_argument("--log", default=os.devnull)
    args = parser.parse_args()
    if args.silent:
        return serve_silent(args)
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
    write_port(args.port_file, server.get_bound_port())
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
