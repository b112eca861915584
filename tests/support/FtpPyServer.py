# A pyftpdlib server for the tests: serves ROOT to one user with full
# rights on 127.0.0.1, on a port the system chooses; prints that port on
# the first line of standard output, then serves until it is killed.
#
#   FtpPyServer.py [--ipv6] ROOT USER PASSWORD [READ_LIMIT [TLS CERT KEY]]
#
# With --ipv6 it listens on ::1 only.
#
# With READ_LIMIT (bytes per second, 0 for none) uploads are read no faster
# than that, and the data connection's receive buffer is kept small, so that
# what the server has not read yet mostly waits on the client's side: a slow
# link.
#
# With TLS "explicit" the server speaks FTP over TLS (RFC 4217) with the
# certificate CERT and its key KEY: AUTH TLS before the log-in, then PBSZ 0
# and PROT P before any transfer, or it refuses. With TLS "implicit" the
# TLS handshake starts on the control connection's first byte, and the
# greeting comes only once it is done; the same rules apply after it.
import logging
import socket
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler, ThrottledDTPHandler
from pyftpdlib.servers import FTPServer


class SlowDTPHandler(ThrottledDTPHandler):
    receive_buffer = 32768

    def __init__(self, sock, cmd_channel):
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, self.receive_buffer)
        super().__init__(sock, cmd_channel)


def tls_handlers(mode, cert, key):
    """The control handler class for FTP over TLS (its data handler speaks
    TLS too) and the data handler class for a slow link."""
    # pyftpdlib's TLS classes need pyOpenSSL (python3-openssl), so they are
    # imported only when asked for.
    from pyftpdlib.handlers import TLS_DTPHandler, TLS_FTPHandler

    class ExplicitTlsHandler(TLS_FTPHandler):
        certfile = cert
        keyfile = key
        tls_control_required = True
        tls_data_required = True
        ssl_context = None  # made from the attributes above on first use

    class ImplicitTlsHandler(ExplicitTlsHandler):
        def handle(self):
            # The handshake comes first; the greeting waits for it.
            self.secure_connection(self.ssl_context)

        def handle_ssl_established(self):
            ExplicitTlsHandler.handle(self)

    class SlowTlsDTPHandler(TLS_DTPHandler, SlowDTPHandler):
        pass

    handler = ImplicitTlsHandler if mode == "implicit" else ExplicitTlsHandler
    # Loaded now, so that a bad certificate stops the start, not the first
    # connection.
    handler.get_ssl_context()
    return handler, SlowTlsDTPHandler


def main():
    # --ipv6 first: listen on ::1 only instead of 127.0.0.1.
    host = "127.0.0.1"
    if len(sys.argv) > 1 and sys.argv[1] == "--ipv6":
        host = "::1"
        del sys.argv[1]
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    read_limit = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    tls = sys.argv[5] if len(sys.argv) > 5 else None
    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    slow_dtp_handler = SlowDTPHandler
    if tls:
        handler, slow_dtp_handler = tls_handlers(tls, sys.argv[6], sys.argv[7])
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    # A failed log-in is answered at once: the tests that fail one on
    # purpose need not wait out the server's guard against guessing.
    handler.auth_failed_timeout = 0
    if read_limit > 0:
        slow_dtp_handler.read_limit = read_limit
        handler.dtp_handler = slow_dtp_handler
    server = FTPServer((host, 0), handler)
    server.max_cons = 0
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
