#!/usr/bin/python3
# A ScreenCast portal on a test's private session bus, misbehaving on purpose:
#   stall-version        never answers the property reads
#   stall-call           answers the properties, never answers CreateSession
#   stall-start          sets a session up, never answers Start's dialog nor Session.Close
#   refuse-then-approve  refuses the first Start (closing that session first, as some
#                        portals do), grants the second with stream NODE and hands out a
#                        connection to the PipeWire server of $XDG_RUNTIME_DIR
# Prints "ready" once it owns the portal's name, then one line per call it gets.
# Usage: fake_portal.py MODE [NODE]
import os
import socket
import sys

import dbus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

MODE = sys.argv[1]
NODE = int(sys.argv[2]) if len(sys.argv) > 2 else 0
DESKTOP = "/org/freedesktop/portal/desktop"

dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
bus = dbus.SessionBus()
starts = 0


def log(text):
    print(text, flush=True)


def emit(path, interface, member, signature, *args):
    message = dbus.lowlevel.SignalMessage(path, interface, member)
    message.append(*args, signature=signature)
    bus.send_message(message)


def object_path(kind, sender, token):
    return "%s/%s/%s/%s" % (DESKTOP, kind, sender[1:].replace(".", "_"), token)


def respond_later(path, code, results):
    def send():
        emit(path, "org.freedesktop.portal.Request", "Response", "ua{sv}", dbus.UInt32(code),
             dbus.Dictionary(results, signature="sv"))
        return False
    GLib.timeout_add(10, send)


class Portal(dbus.service.Object):
    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss",
                         out_signature="v", async_callbacks=("ok", "err"))
    def Get(self, interface, name, ok, err):
        log("Get " + name)
        if MODE == "stall-version":
            return
        values = {"version": 4, "AvailableSourceTypes": 1, "AvailableCursorModes": 3}
        if name not in values:
            err(dbus.exceptions.DBusException("no such property",
                                              name="org.freedesktop.DBus.Error.InvalidArgs"))
            return
        ok(dbus.UInt32(values[name]))

    @dbus.service.method("org.freedesktop.portal.ScreenCast", in_signature="a{sv}",
                         out_signature="o", sender_keyword="sender",
                         async_callbacks=("ok", "err"))
    def CreateSession(self, options, sender, ok, err):
        log("CreateSession")
        if MODE == "stall-call":
            return
        path = object_path("request", sender, options["handle_token"])
        session = object_path("session", sender, options["session_handle_token"])
        ok(dbus.ObjectPath(path))
        respond_later(path, 0, {"session_handle": dbus.String(session, variant_level=1)})

    @dbus.service.method("org.freedesktop.portal.ScreenCast", in_signature="oa{sv}",
                         out_signature="o", sender_keyword="sender")
    def SelectSources(self, session, options, sender):
        log("SelectSources restore_token=%s" % options.get("restore_token", ""))
        path = object_path("request", sender, options["handle_token"])
        respond_later(path, 0, {})
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.portal.ScreenCast", in_signature="osa{sv}",
                         out_signature="o", sender_keyword="sender")
    def Start(self, session, parent, options, sender):
        global starts
        starts += 1
        log("Start %d" % starts)
        path = object_path("request", sender, options["handle_token"])
        if MODE == "stall-start":
            return dbus.ObjectPath(path)
        if starts == 1:
            emit(session, "org.freedesktop.portal.Session", "Closed", "a{sv}",
                 dbus.Dictionary({}, signature="sv"))
            respond_later(path, 2, {})
            return dbus.ObjectPath(path)
        stream = dbus.Struct((dbus.UInt32(NODE), dbus.Dictionary({
            "size": dbus.Struct((dbus.Int32(160), dbus.Int32(120)), variant_level=1),
            "source_type": dbus.UInt32(1, variant_level=1)}, signature="sv")))
        respond_later(path, 0, {
            "streams": dbus.Array([stream], signature="(ua{sv})", variant_level=1),
            "restore_token": dbus.String("fresh-token", variant_level=1)})
        return dbus.ObjectPath(path)

    @dbus.service.method("org.freedesktop.portal.ScreenCast", in_signature="oa{sv}",
                         out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        log("OpenPipeWireRemote")
        remote = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        remote.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
        fd = dbus.types.UnixFd(remote.fileno())
        remote.close()
        return fd


class Sessions(dbus.service.FallbackObject):
    @dbus.service.method("org.freedesktop.portal.Session", in_signature="", out_signature="",
                         async_callbacks=("ok", "err"))
    def Close(self, ok, err):
        log("Close")
        if MODE != "stall-start":
            ok()


Portal(bus, DESKTOP)
Sessions(bus, DESKTOP + "/session")
name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
log("ready")
GLib.MainLoop().run()
