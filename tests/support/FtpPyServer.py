# A pyftpdlib server for the tests: serves ROOT to one user with full
# rights on 127.0.0.1, on a port the system chooses; prints that port on
# the first line of standard output, then serves until it is killed.
#
#   FtpPyServer.py ROOT USER PASSWORD [READ_LIMIT]
#
# With READ_LIMIT (bytes per second) uploads are read no faster than that,
# and the data connection's receive buffer is kept small, so that what the
# server has not read yet mostly waits on the client's side: a slow link.
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


def main():
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    read_limit = int(sys.argv[4]) if len(sys.argv) > 4 else 0
    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    # A failed log-in is answered at once: the tests that fail one on
    # purpose need not wait out the server's guard against guessing.
    handler.auth_failed_timeout = 0
    if read_limit > 0:
        SlowDTPHandler.read_limit = read_limit
        handler.dtp_handler = SlowDTPHandler
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 0
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
