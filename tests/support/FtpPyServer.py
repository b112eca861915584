# A pyftpdlib server for the tests: serves ROOT to one user with full
# rights on 127.0.0.1, on a port the system chooses; prints that port on
# the first line of standard output, then serves until it is killed.
import logging
import sys

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    root, user, password = sys.argv[1], sys.argv[2], sys.argv[3]
    logging.basicConfig(level=logging.CRITICAL)
    authorizer = DummyAuthorizer()
    authorizer.add_user(user, password, root, perm="elradfmwMT")
    handler = FTPHandler
    handler.authorizer = authorizer
    handler.permit_foreign_addresses = False
    server = FTPServer(("127.0.0.1", 0), handler)
    server.max_cons = 0
    print(server.socket.getsockname()[1], flush=True)
    server.serve_forever(handle_exit=True)


if __name__ == "__main__":
    main()
