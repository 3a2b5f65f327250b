#!/usr/bin/env python3
"""An RTSP server built on GStreamer's RTSP server library, serving one clip
file per mount point once per session, for the interoperability tests.

Usage: gst_rtsp_server.py PORT MOUNT=PIPELINE [MOUNT=PIPELINE ...]
Each PIPELINE is a launch line whose payloader is named pay0. Prints
"ready" once it listens; runs until killed.
"""
import sys

import gi

gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import GLib, Gst, GstRtspServer  # noqa: E402


def main():
    Gst.init(None)
    server = GstRtspServer.RTSPServer()
    server.set_address("127.0.0.1")
    server.set_service(sys.argv[1])
    mounts = server.get_mount_points()
    for argument in sys.argv[2:]:
        mount, pipeline = argument.split("=", 1)
        factory = GstRtspServer.RTSPMediaFactory()
        factory.set_launch("( " + pipeline + " )")
        factory.set_shared(False)
        mounts.add_factory(mount, factory)
    if server.attach(None) == 0:
        print("cannot listen", flush=True)
        return 1
    print("ready", flush=True)
    GLib.MainLoop().run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
