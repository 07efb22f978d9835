#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 for the alarm tests (aiosmtpd): prints its port, writes each
message to FOLDER/NNNN.eml (envelope lines first), and ends when its standard input closes.

    smtp_sink.py FOLDER [USER:PASSWORD]    with a login: required, checked against this one
"""
import asyncio
import os
import sys

from aiosmtpd.smtp import SMTP, AuthResult

folder = sys.argv[1]
login = sys.argv[2] if len(sys.argv) > 2 else None


class Handler:
    def __init__(self):
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        self.count += 1
        name = os.path.join(folder, "%04d" % self.count)
        with open(name + ".tmp", "wb") as f:
            f.write(("X-Envelope-From: %s\r\nX-Envelope-To: %s\r\n" %
                     (envelope.mail_from, ",".join(envelope.rcpt_tos))).encode())
            f.write(envelope.original_content)
        os.rename(name + ".tmp", name + ".eml")
        return "250 OK"


def check_login(server, session, envelope, mechanism, auth_data):
    given = auth_data.login.decode() + ":" + auth_data.password.decode()
    return AuthResult(success=given == login)


async def main():
    options = {"hostname": "sink.test", "auth_require_tls": False}
    if login:
        options.update(authenticator=check_login, auth_required=True)
    handler = Handler()
    loop = asyncio.get_running_loop()
    server = await loop.create_server(lambda: SMTP(handler, **options), "127.0.0.1", 0)
    print(server.sockets[0].getsockname()[1], flush=True)
    await loop.run_in_executor(None, sys.stdin.read)
    server.close()


asyncio.run(main())
