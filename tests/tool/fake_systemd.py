#!/usr/bin/python3
# A stand-in for systemd's manager on a private bus, for the restart tests: it owns
# org.freedesktop.systemd1 and answers LoadUnit, StopUnit, StartUnit and Subscribe for one unit,
# announcing each job's end with JobRemoved. Every call goes to the log file with a monotonic time.
# usage: fake_systemd.py BUS_ADDRESS LOG_FILE SCENARIO   (ok | nounit | startfails | startdenied | stuck)
import sys
import time

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

address, log_path, scenario = sys.argv[1:4]
UNIT = "CarvossService.service"
MANAGER = "org.freedesktop.systemd1.Manager"
UNIT_PATH = "/org/freedesktop/systemd1/unit/CarvossService_2eservice"


def log(text):
    with open(log_path, "a") as f:
        f.write("%.3f %s\n" % (time.monotonic(), text))


class Unit(dbus.service.Object):
    def __init__(self, bus, path, known):
        super().__init__(bus, path)
        self.known = known

    @dbus.service.method("org.freedesktop.DBus.Properties", in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        values = {
            "LoadState": dbus.String("loaded" if self.known else "not-found"),
            "ActiveState": dbus.String("active"),
            "TimeoutStopUSec": dbus.UInt64(1000000),
            "TimeoutStartUSec": dbus.UInt64(5000000),
        }
        if name not in values:
            raise dbus.exceptions.DBusException("unknown property", name="org.freedesktop.DBus.Error.UnknownProperty")
        return values[name]


class Manager(dbus.service.Object):
    def __init__(self, bus):
        super().__init__(bus, "/org/freedesktop/systemd1")
        self.bus = bus
        self.jobs = 0
        self.units = {}

    def unit(self, name):
        path = UNIT_PATH if name == UNIT else "/org/freedesktop/systemd1/unit/other"
        if path not in self.units:
            self.units[path] = Unit(self.bus, path, name == UNIT and scenario != "nounit")
        return path

    @dbus.service.method(MANAGER, in_signature="", out_signature="")
    def Subscribe(self):
        log("Subscribe")

    @dbus.service.method(MANAGER, in_signature="s", out_signature="o")
    def LoadUnit(self, name):
        log("LoadUnit " + name)
        return dbus.ObjectPath(self.unit(name))

    def job(self, unit, result, delay_ms):
        self.jobs += 1
        jid = self.jobs
        path = "/org/freedesktop/systemd1/job/%d" % jid

        def finish():
            log("JobRemoved %s %s" % (path, result))
            self.JobRemoved(dbus.UInt32(jid), dbus.ObjectPath(path), unit, result)
            return False

        if delay_ms is not None:
            GLib.timeout_add(delay_ms, finish)
        return dbus.ObjectPath(path)

    @dbus.service.method(MANAGER, in_signature="ss", out_signature="o")
    def StopUnit(self, name, mode):
        log("StopUnit %s %s" % (name, mode))
        return self.job(name, "done", None if scenario == "stuck" else 300)

    @dbus.service.method(MANAGER, in_signature="ss", out_signature="o")
    def StartUnit(self, name, mode):
        log("StartUnit %s %s" % (name, mode))
        if scenario == "startdenied":
            raise dbus.exceptions.DBusException("denied", name="org.freedesktop.DBus.Error.AccessDenied")
        return self.job(name, "failed" if scenario == "startfails" else "done", 100)

    @dbus.service.signal(MANAGER, signature="uoss")
    def JobRemoved(self, jid, job, unit, result):
        pass


DBusGMainLoop(set_as_default=True)
bus = dbus.bus.BusConnection(address)
name = dbus.service.BusName("org.freedesktop.systemd1", bus)
manager = Manager(bus)
log("ready")
GLib.MainLoop().run()
