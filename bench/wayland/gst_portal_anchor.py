#!/usr/bin/python3
"""The benchmark's anchor: a GStreamer pipeline doing the program's job on the same kind
of ScreenCast portal session (monitor, cursor embedded): pipewiresrc -> videorate FPS ->
videoscale 1280x720 -> x264enc veryfast zerolatency -> TCP to a local sink. pipewiresrc
copies each frame out (always-copy): wrapped buffers stay with the encoder for several
frames and starve the portal's small buffer pool, which halves the rate reached.

    gst_portal_anchor.py FPS PORT WARMUP_SECONDS SECONDS

Prints "gst FPS_REACHED CPU_SECONDS_PER_SECOND PICTURES" for the measured seconds (the
pipeline runs in this process, so its CPU time is the pipeline's)."""
import os
import sys

import dbus
from dbus.mainloop.glib import DBusGMainLoop
import gi

gi.require_version("Gst", "1.0")
from gi.repository import GLib, Gst  # noqa: E402

fps, port, warmup, seconds = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]), float(sys.argv[4])
DBusGMainLoop(set_as_default=True)
Gst.init(None)
bus = dbus.SessionBus()
loop = GLib.MainLoop()
desktop = bus.get_object("org.freedesktop.portal.Desktop", "/org/freedesktop/portal/desktop")
screencast = dbus.Interface(desktop, "org.freedesktop.portal.ScreenCast")
sender = bus.get_unique_name()[1:].replace(".", "_")


def request(method, *args, **options):
    token = "anchor%d_%s" % (os.getpid(), method)
    path = "/org/freedesktop/portal/desktop/request/%s/%s" % (sender, token)
    answer = []

    def on_response(code, results):
        answer.extend([int(code), results])
        loop.quit()

    match = bus.add_signal_receiver(on_response, "Response", "org.freedesktop.portal.Request", path=path)
    getattr(screencast, method)(*args, dict(options, handle_token=token))
    timeout = GLib.timeout_add_seconds(15, loop.quit)
    loop.run()
    match.remove()
    if answer:
        GLib.source_remove(timeout)
    if not answer or answer[0] != 0:
        sys.exit("%s: response %r" % (method, answer))
    return answer[1]


session = request("CreateSession", session_handle_token="anchor%d" % os.getpid())["session_handle"]
request("SelectSources", session, types=dbus.UInt32(1), multiple=False, cursor_mode=dbus.UInt32(2))
node = int(request("Start", session, "")["streams"][0][0])
fd = screencast.OpenPipeWireRemote(session, dbus.Dictionary({}, signature="sv")).take()

template = os.environ.get("ANCHOR_PIPELINE",
    "pipewiresrc fd={fd} path={node} always-copy=true ! videorate ! video/x-raw,framerate={fps}/1 ! videoscale ! "
    "video/x-raw,width=1280,height=720 ! videoconvert ! video/x-raw,format=I420 ! "
    "x264enc name=enc speed-preset=veryfast tune=zerolatency ! "
    "tcpclientsink host=127.0.0.1 port={port}")
pipeline = Gst.parse_launch(template.format(fd=fd, node=node, fps=fps, port=port))
counts = {"pictures": 0}


def on_picture(pad, info):
    counts["pictures"] += 1
    return Gst.PadProbeReturn.OK


pipeline.get_by_name("enc").get_static_pad("src").add_probe(Gst.PadProbeType.BUFFER, on_picture)
marks = {}


def cpu_seconds():
    t = os.times()
    return t.user + t.system


def begin():
    marks["start"] = counts["pictures"]
    marks["cpu0"] = cpu_seconds()
    marks["t0"] = GLib.get_monotonic_time()
    print("measuring", flush=True)
    GLib.timeout_add(int(seconds * 1000), finish)
    return False


def finish():
    marks["end"] = counts["pictures"]
    marks["cpu1"] = cpu_seconds()
    marks["t1"] = GLib.get_monotonic_time()
    loop.quit()
    return False


def on_message(_, message):
    if message.type in (Gst.MessageType.ERROR, Gst.MessageType.EOS):
        print("pipeline: %s" % (str(message.parse_error()) if message.type == Gst.MessageType.ERROR else "EOS"),
              file=sys.stderr)
        loop.quit()


gst_bus = pipeline.get_bus()
gst_bus.add_signal_watch()
gst_bus.connect("message", on_message)
pipeline.set_state(Gst.State.PLAYING)
GLib.timeout_add(int(warmup * 1000), begin)
loop.run()
pipeline.set_state(Gst.State.NULL)
if "end" not in marks:
    sys.exit("the pipeline ended early")
pictures = marks["end"] - marks["start"]
elapsed = (marks["t1"] - marks["t0"]) / 1e6
print("gst %.1f %.3f %d" % (pictures / elapsed, (marks["cpu1"] - marks["cpu0"]) / elapsed, pictures), flush=True)
