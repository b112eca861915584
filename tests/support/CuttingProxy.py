#!/usr/bin/python3
"""A TCP proxy on 127.0.0.1 that breaks connections, for the tests.

usage: CuttingProxy.py TARGET_PORT MODE CUT_AFTER CUTS

Listens on 127.0.0.1 (a port of its own, printed as the first line of
standard output) and forwards each connection to 127.0.0.1:TARGET_PORT.

MODE "stream": the bytes the client sends on the connection are counted.
MODE "ftp": the connection is an FTP control connection; its passive
replies (227, 229) are rewritten to a port of the proxy, which forwards
the data connection too, and the bytes the client sends on the data
connections of that control connection are counted.

Once the count of a connection reaches CUT_AFTER, exactly CUT_AFTER bytes
have gone to the server: the proxy resets the client's side, control and
data alike, as a link that breaks does, and ends the server's side in
order: first the data connections, each waited for until the server has
read it to the end and closed it, then the control connection. A server
that sees its control connection go first may drop what still waits in
its data socket, and the test would depend on which the server read
first. The first CUTS connections are cut that way (-1:
every one); later ones are forwarded untouched. Each cut is logged on
standard error as "cut at N".
"""
import re
import socket
import struct
import sys
import threading

target_port = int(sys.argv[1])
mode = sys.argv[2]
cut_after = int(sys.argv[3])
cuts = int(sys.argv[4])
lock = threading.Lock()
sessions_armed = 0


def log(text):
    sys.stderr.write(text + "\n")
    sys.stderr.flush()


def reset(sock):
    # A close alone does not reach a socket another thread is reading:
    # the shutdown does, at once, and the linger makes the last close a
    # reset.
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


def end_in_order(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


class Session:
    """One client connection (and, in ftp mode, its data connections)."""

    def __init__(self, client, armed):
        self.armed = armed
        self.count = 0
        self.cut = False
        self.lock = threading.Lock()
        self.pairs = []  # (client side, server side, server finished)
        self.client = client

    def add(self, client_side, server_side, finished):
        with self.lock:
            self.pairs.append((client_side, server_side, finished))
            return not self.cut

    def take(self, n):
        """How many of n client bytes may go on; 0 after the cut."""
        with self.lock:
            if self.cut:
                return 0
            if not self.armed or self.count + n < cut_after:
                self.count += n
                return n
            allowed = cut_after - self.count
            self.count = cut_after
            return allowed

    def break_all(self):
        with self.lock:
            if self.cut:
                return
            self.cut = True
            pairs = list(self.pairs)
        log("cut at %d" % cut_after)
        for client_side, _, _ in pairs:
            reset(client_side)
        # The server gets what was sent, in order, data before control.
        for _, server_side, finished in reversed(pairs):
            try:
                server_side.shutdown(socket.SHUT_WR)
            except OSError:
                pass
            finished.wait(10)
            end_in_order(server_side)


def pump_up(session, src, dst, counted):
    """Client to server."""
    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if counted:
                allowed = session.take(len(data))
                if allowed < len(data):
                    if allowed:
                        dst.sendall(data[:allowed])
                    session.break_all()
                    return
            dst.sendall(data)
    except OSError:
        pass
    if session.cut:
        return  # the cut ends the server's side, in its own order
    try:
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def pump_down(session, src, dst, rewrite, finished):
    """Server to client; in ftp mode the control replies are read by line.
    Once the client's side is gone the server's bytes are read and dropped,
    so that `finished` tells when the server has closed its side."""
    buffer = b""
    client_gone = False

    def send(data):
        nonlocal client_gone
        if client_gone:
            return
        try:
            dst.sendall(data)
        except OSError:
            client_gone = True

    try:
        while True:
            data = src.recv(65536)
            if not data:
                break
            if not rewrite:
                send(data)
                continue
            buffer += data
            while b"\n" in buffer:
                line, buffer = buffer.split(b"\n", 1)
                send(rewrite(line + b"\n") if not client_gone else b"")
    except OSError:
        pass
    finished.set()
    try:
        dst.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def start_pair(session, client_side, server_side, counted, rewrite=None):
    finished = threading.Event()
    if not session.add(client_side, server_side, finished):
        reset(client_side)
        end_in_order(server_side)
        return
    threading.Thread(target=pump_up, args=(session, client_side, server_side, counted), daemon=True).start()
    threading.Thread(target=pump_down, args=(session, server_side, client_side, rewrite, finished),
                     daemon=True).start()


def data_listener(session, server_port):
    """A one-connection listener forwarding to the server's data port."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)

    def accept():
        try:
            listener.settimeout(60)
            client_side, _ = listener.accept()
            server_side = socket.create_connection(("127.0.0.1", server_port))
            start_pair(session, client_side, server_side, True)
        except OSError:
            pass
        finally:
            listener.close()

    threading.Thread(target=accept, daemon=True).start()
    return listener.getsockname()[1]


def ftp_rewriter(session):
    pasv = re.compile(rb"^227 .*?(\d+),(\d+),(\d+),(\d+),(\d+),(\d+)")
    epsv = re.compile(rb"^229 .*\(\|\|\|(\d+)\|\)")

    def rewrite(line):
        m = pasv.match(line)
        if m:
            port = data_listener(session, int(m.group(5)) * 256 + int(m.group(6)))
            return b"227 Entering Passive Mode (127,0,0,1,%d,%d).\r\n" % (port // 256, port % 256)
        m = epsv.match(line)
        if m:
            port = data_listener(session, int(m.group(1)))
            return b"229 Entering Extended Passive Mode (|||%d|)\r\n" % port
        return line

    return rewrite


def serve(client):
    global sessions_armed
    with lock:
        armed = cuts < 0 or sessions_armed < cuts
        if armed:
            sessions_armed += 1
    session = Session(client, armed)
    try:
        server_side = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        reset(client)
        return
    if mode == "ftp":
        start_pair(session, client, server_side, False, ftp_rewriter(session))
    else:
        start_pair(session, client, server_side, True)


def main():
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    sys.stdout.write("%d\n" % listener.getsockname()[1])
    sys.stdout.flush()
    while True:
        client, _ = listener.accept()
        serve(client)


if __name__ == "__main__":
    main()
