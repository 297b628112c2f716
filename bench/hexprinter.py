#!/usr/bin/env python3
# The floor for bench/linerate.sh: a bare hex printer on the same line, no window. It wakes for
# every piece the line hands over, reads it and writes its hex pairs to /dev/null, so its CPU share
# is what the wake-ups and reads alone cost on this machine.
#
#   bench/hexprinter.py DEVICE
import os, select, sys, termios, tty

fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
tty.setraw(fd)
attrs = termios.tcgetattr(fd)
attrs[4] = attrs[5] = termios.B19200
termios.tcsetattr(fd, termios.TCSANOW, attrs)
print("open", flush=True)
out = open(os.devnull, "w")
poller = select.poll()
poller.register(fd, select.POLLIN)
while True:
    poller.poll()
    out.write(os.read(fd, 4096).hex(" ") + " ")
