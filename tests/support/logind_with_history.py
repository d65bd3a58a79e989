'''dbusmock's logind, keeping a record of its inhibitor locks

Every lock handed out and every lock given back (its descriptor closed by the
holder) is appended to a history that the test reads with InhibitorHistory():
"taken WHAT|WHO|WHY|MODE" and "dropped WHAT|WHO|WHY|MODE", in the order they
happened. Each release is also announced with the signal InhibitorDropped.
'''

import os

import dbus
from gi.repository import GLib

from dbusmock import MOCK_IFACE, mockobject
from dbusmock.templates.logind import *  # noqa: F401,F403 (the template's methods and load())
from dbusmock.templates.logind import MAIN_IFACE, MAIN_OBJ

history = []


@dbus.service.method(MAIN_IFACE, in_signature='ssss', out_signature='h')
def Inhibit(_, what, who, why, mode):
    if not hasattr(mockobject, 'inhibitors'):
        mockobject.inhibitors = []
    fd_r, fd_w = os.pipe()
    inhibitor = (what, who, why, mode, 1000, 123456)
    mockobject.inhibitors.append(inhibitor)
    text = '|'.join((what, who, why, mode))
    history.append('taken ' + text)

    def inhibitor_dropped(fd, cond):
        # pylint: disable=unused-argument
        os.close(fd)
        mockobject.inhibitors.remove(inhibitor)
        history.append('dropped ' + text)
        mockobject.objects[MAIN_OBJ].EmitSignal(MOCK_IFACE, 'InhibitorDropped', 's', [text])
        return False

    # The read end stays here: it hangs up when the holder closes its end.
    GLib.unix_fd_add_full(GLib.PRIORITY_HIGH, fd_r, GLib.IO_HUP, inhibitor_dropped)
    GLib.idle_add(os.close, fd_w)
    return fd_w


@dbus.service.method(MOCK_IFACE, in_signature='', out_signature='as')
def InhibitorHistory(_):
    return history
