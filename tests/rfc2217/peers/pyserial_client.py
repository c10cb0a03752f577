"""pyserial's RFC 2217 client against a port whose far end echoes every byte
and loops DTR to DSR and RTS to CTS (qvbench --echo). Prints what it sees,
one line a step, for the test to compare.

usage: pyserial_client.py rfc2217://HOST:PORT
"""
import sys
import time

import serial


def wait_for(condition, seconds=3.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.005)


def main():
    port = serial.serial_for_url(sys.argv[1], baudrate=9600, timeout=2)
    every = bytes(range(256)) * 2
    port.write(every)
    print("echo", "same" if port.read(len(every)) == every else "differs")

    for dtr in (False, True):
        port.dtr = dtr
        wait_for(lambda: port.dsr == dtr)
        print("dtr", dtr, "dsr", port.dsr)
    for rts in (False, True):
        port.rts = rts
        wait_for(lambda: port.cts == rts)
        print("rts", rts, "cts", port.cts)

    port.baudrate = 19200
    port.bytesize = serial.SEVENBITS
    port.parity = serial.PARITY_EVEN
    port.stopbits = serial.STOPBITS_TWO
    print("settings", port.baudrate, port.bytesize, port.parity, port.stopbits)

    port.write(b"stale")
    wait_for(lambda: port.in_waiting == 5)
    port.reset_input_buffer()
    port.timeout = 0.3
    print("purged", port.in_waiting, port.read(1))

    port.timeout = 2
    port.write(b"\xffafter\xff")
    print("after", port.read(7))
    port.close()
    print("closed")


if __name__ == "__main__":
    main()
