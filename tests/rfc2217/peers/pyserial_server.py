"""A port server built from pyserial's RFC 2217 server side over its loop://
port (what is written comes back; DTR shows as DSR, RTS as CTS), for testing
our client against an implementation of the option that is not ours.

Prints "ready PORT" once it listens on 127.0.0.1 (a free port), then serves
one client after another until its input ends.
"""
import select
import socket
import sys
import threading

import serial
import serial.rfc2217


class Connection:
    """What PortManager writes to: the client's socket."""

    def __init__(self, sock):
        self.sock = sock
        self.lock = threading.Lock()

    def write(self, data):
        with self.lock:
            self.sock.sendall(data)


def serve(client, port):
    client.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    manager = serial.rfc2217.PortManager(port, Connection(client))
    while True:
        ready, _, _ = select.select([client, sys.stdin], [], [], 0.01)
        if sys.stdin in ready and not sys.stdin.buffer.read1(256):
            return False
        if client in ready:
            try:
                data = client.recv(4096)
            except OSError:
                data = b""
            if not data:
                return True
            port.write(b"".join(manager.filter(data)))
        waiting = port.in_waiting
        if waiting:
            client.sendall(b"".join(manager.escape(port.read(waiting))))
        manager.check_modem_lines()


def main():
    listener = socket.socket()
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("ready", listener.getsockname()[1], flush=True)
    while True:
        ready, _, _ = select.select([listener, sys.stdin], [], [])
        if sys.stdin in ready and not sys.stdin.buffer.read1(256):
            return
        if listener in ready:
            client, _ = listener.accept()
            # A fresh loop per client, as a serial port opened anew.
            port = serial.serial_for_url("loop://", timeout=0)
            try:
                going_on = serve(client, port)
            finally:
                client.close()
                port.close()
            if not going_on:
                return


if __name__ == "__main__":
    main()
