# A reference FTP-over-TLS client (RFC 4217) for testing the test servers
# themselves, built on Python's ftplib and ssl modules:
#
#   FtpTlsClient.py [--no-resume] TLS DATA PORT USER PASSWORD CAFILE put LOCAL REMOTE
#   FtpTlsClient.py [--no-resume] TLS DATA PORT USER PASSWORD CAFILE list DIR
#
# TLS is "explicit" (AUTH TLS after connecting) or "implicit" (TLS from the
# first byte); DATA is "passive" or "active". It connects to 127.0.0.1:PORT,
# verifies the server's certificate against CAFILE, logs in, asks for
# protected data (PBSZ 0, PROT P), and runs one transfer. Each data
# connection resumes the control connection's TLS session (a fresh one with
# --no-resume) and starts its handshake after the server's 1xx reply. An upload ends with close_notify
# and waits for the server's close_notify before it closes the socket: with
# TLS 1.3 the server's session ticket may still be unread then, and closing
# over unread bytes resets the connection, which can cut off the upload's
# tail on the server's side.
#
# It prints what it saw, one fact per line, and exits with 0 when the
# transfer's final reply was 2xx:
#   data-tls VERSION resumed=yes|no
#   (list) the listing's lines
#   data-error REASON                 why the data stream did not end cleanly
#   end close_notify|no-close_notify  how the server ended the data stream
#                                     (after an upload: whether it answered
#                                     the client's close_notify)
#   reply TEXT                        the transfer's final reply
#   error TEXT                        what failed
import ftplib
import socket
import ssl
import sys

TIMEOUT = 30


class Client(ftplib.FTP_TLS):
    implicit = False
    resume = True

    def connect(self, host, port, timeout=TIMEOUT):
        if not self.implicit:
            return super().connect(host, port, timeout)
        self.host, self.port, self.timeout = host, port, timeout
        raw = socket.create_connection((host, port), timeout)
        self.af = raw.family
        self.sock = self.context.wrap_socket(raw, server_hostname=host)
        self.file = self.sock.makefile("r", encoding=self.encoding)
        self.welcome = self.getresp()
        return self.welcome

    def ntransfercmd(self, cmd, rest=None):
        # The plain FTP version connects (or accepts) and waits for the
        # 1xx reply; TLS starts after it, resuming the control session.
        conn, size = ftplib.FTP.ntransfercmd(self, cmd, rest)
        session = self.sock.session if self.resume else None
        conn = self.context.wrap_socket(conn, server_hostname=self.host, session=session, suppress_ragged_eofs=False)
        print("data-tls %s resumed=%s" % (conn.version(), "yes" if conn.session_reused else "no"), flush=True)
        return conn, size


def read_to_end(conn):
    """Reads conn to its end; returns the bytes and whether close_notify came."""
    data = b""
    while True:
        try:
            chunk = conn.recv(65536)
        except ssl.SSLError as e:
            # A TCP close without close_notify, or a broken record.
            print("data-error " + str(e.reason), flush=True)
            return data, False
        if not chunk:
            return data, True
        data += chunk


def put(ftp, local, remote):
    with open(local, "rb") as f:
        payload = f.read()
    conn, _ = ftp.ntransfercmd("STOR " + remote)
    conn.sendall(payload)
    try:
        conn.unwrap()
        ended = "close_notify"
    except (ssl.SSLError, OSError):
        ended = "no-close_notify"
    conn.close()
    print("end " + ended, flush=True)


def listing(ftp, directory):
    conn, _ = ftp.ntransfercmd("LIST " + directory)
    data, notified = read_to_end(conn)
    conn.close()
    for line in data.decode("utf-8", "replace").splitlines():
        print(line)
    print("end " + ("close_notify" if notified else "no-close_notify"), flush=True)


def main():
    argv = sys.argv[1:]
    resume = argv[0] != "--no-resume"
    if not resume:
        argv = argv[1:]
    tls, data, port, user, password, cafile, command = argv[:7]
    args = argv[7:]
    context = ssl.create_default_context(cafile=cafile)
    # A close without close_notify must show, not pass for a clean end.
    context.options &= ~ssl.OP_IGNORE_UNEXPECTED_EOF
    ftp = Client(context=context, timeout=TIMEOUT)
    ftp.implicit = tls == "implicit"
    ftp.resume = resume
    try:
        ftp.connect("127.0.0.1", int(port))
        if not ftp.implicit:
            ftp.auth()
        ftp.login(user, password)
        ftp.prot_p()
        ftp.set_pasv(data == "passive")
        ftp.voidcmd("TYPE I")
        if command == "put":
            put(ftp, args[0], args[1])
        else:
            listing(ftp, args[0])
        print("reply " + ftp.voidresp(), flush=True)
    except (ftplib.Error, OSError, EOFError) as e:
        print("error %s: %s" % (type(e).__name__, e), flush=True)
        return 1
    try:
        ftp.quit()
    except (ftplib.Error, OSError, EOFError):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
