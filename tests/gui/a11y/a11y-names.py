#!/usr/bin/python3
# Prints what a screen reader hears of the applications on this session's accessibility bus:
# one line per object, "role<TAB>name<TAB>description", depth first. Lists and trees show their
# first rows only.
import sys

from gi.repository import Gio, GLib

session = Gio.bus_get_sync(Gio.BusType.SESSION, None)
address = session.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.a11y.Bus", "GetAddress",
                            None, GLib.VariantType("(s)"), 0, -1, None).unpack()[0]
bus = Gio.DBusConnection.new_for_address_sync(
    address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT |
    Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)


def call(name, path, method, sig):
    return bus.call_sync(name, path, "org.a11y.atspi.Accessible", method, None,
                         GLib.VariantType(sig), 0, 5000, None).unpack()[0]


def prop(name, path, p):
    return bus.call_sync(name, path, "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", ("org.a11y.atspi.Accessible", p)),
                         GLib.VariantType("(v)"), 0, 5000, None).unpack()[0]


def walk(name, path, budget):
    if budget[0] <= 0:
        return
    budget[0] -= 1
    role = call(name, path, "GetRoleName", "(s)")
    print("\t".join((role, prop(name, path, "Name"), prop(name, path, "Description"))))
    children = call(name, path, "GetChildren", "(a(so))")
    if role in ("tree table", "table", "tree", "list"):
        children = children[:8]
    for child_name, child_path in children:
        walk(child_name, child_path, budget)


for app_name, app_path in call("org.a11y.atspi.Registry", "/org/a11y/atspi/accessible/root",
                               "GetChildren", "(a(so))"):
    walk(app_name, app_path, [3000])
sys.stdout.flush()
