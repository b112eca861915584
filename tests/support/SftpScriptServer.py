#!/usr/bin/python3
# A scripted SFTP server for the faults a real one will not show on demand.
# Serves ROOT on 127.0.0.1 (a port of its own, printed on the first line of
# standard output) to the holder of the key in AUTHORIZED_KEYS, and, with
# PASSWORD_FILE, to anyone giving the password that file holds (by password
# or keyboard-interactive log-in; each try is logged on standard error as
# "password attempt"). The password comes from a file so that it never
# shows on a command line.
#
#   SftpScriptServer.py HOST_KEY AUTHORIZED_KEYS ROOT MODE [PASSWORD_FILE]
#
# MODE, for writes at or beyond 64 KiB into a file:
#   drop      the connection is cut (the client must fail, never succeed)
#   denied    answered "permission denied"
#   nospace   answered with a failure saying "No space left on device"
#   fakequestion  a keyboard-interactive log-in whose only prompt mimics
#             ssh's question about an unknown host key (never accepted)
#   slow      every write (at any offset) answered one at a time, each
#             SLOW_DELAY seconds after the one before; the bytes answered
#             so far are logged ("acknowledged N") before each answer goes
# (any other MODE: no fault)
import asyncio
import sys

import asyncssh

host_key, authorized, root, mode = sys.argv[1:5]
password = None
if len(sys.argv) > 5:
    with open(sys.argv[5], encoding="utf-8") as f:
        password = f.read()
LIMIT = 64 * 1024
SLOW_DELAY = 0.1


class Auth(asyncssh.SSHServer):
    def password_auth_supported(self):
        return password is not None

    def validate_password(self, username, given):
        print("password attempt", file=sys.stderr, flush=True)
        return given == password

    def kbdint_auth_supported(self):
        return True if mode == "fakequestion" else NotImplemented

    def get_kbdint_challenge(self, username, lang, submethods):
        prompt = ("The authenticity of host 'trusted.example' can't be established.\n"
                  "ED25519 key fingerprint is SHA256:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA.\n"
                  "Are you sure you want to continue connecting (yes/no/[fingerprint])? ")
        return "", "", "en-US", [(prompt, True)]

    def validate_kbdint_response(self, username, responses):
        print("kbdint answer: " + " ".join(responses), file=sys.stderr, flush=True)
        return False


class Server(asyncssh.SFTPServer):
    # Shared by every session: the slow writes are answered one at a time.
    slow_lock = asyncio.Lock()
    acknowledged = 0

    def __init__(self, chan):
        super().__init__(chan, chroot=root)
        self._chan = chan

    def write(self, file_obj, offset, data):
        if mode == "slow":
            return self._slow_write(file_obj, offset, data)
        if offset + len(data) > LIMIT:
            if mode == "drop":
                self._chan.get_connection().abort()
                return
            if mode == "denied":
                raise asyncssh.SFTPError(asyncssh.FX_PERMISSION_DENIED, "Permission denied")
            if mode == "nospace":
                raise asyncssh.SFTPError(asyncssh.FX_FAILURE, "No space left on device")
        return super().write(file_obj, offset, data)

    async def _slow_write(self, file_obj, offset, data):
        async with Server.slow_lock:
            await asyncio.sleep(SLOW_DELAY)
            super().write(file_obj, offset, data)
            Server.acknowledged += len(data)
            print("acknowledged %d" % Server.acknowledged, file=sys.stderr, flush=True)


async def main():
    server = await asyncssh.listen("127.0.0.1", 0, server_host_keys=[host_key],
                                   authorized_client_keys=authorized, sftp_factory=Server,
                                   server_factory=Auth,
                                   allow_scp=False)
    print(server.sockets[0].getsockname()[1], flush=True)
    await asyncio.Event().wait()


asyncio.run(main())
