#!/usr/bin/python3
"""Asks X windows to close as a window manager does for Alt+F4: a WM_DELETE_WINDOW
client message to each window id given; prints how many were sent."""
import sys

from Xlib import X, display
from Xlib.protocol import event

d = display.Display()
protocols = d.intern_atom("WM_PROTOCOLS")
delete = d.intern_atom("WM_DELETE_WINDOW")
for wid in sys.argv[1:]:
    window = d.create_resource_object("window", int(wid, 0))
    message = event.ClientMessage(window=window, client_type=protocols, data=(32, [delete, X.CurrentTime, 0, 0, 0]))
    window.send_event(message, event_mask=X.NoEventMask)
d.sync()
print(len(sys.argv) - 1)
