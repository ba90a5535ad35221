"""A real SMTP server (aiosmtpd) for the mail spooler's tests.

Usage: smtp_sink.py PORT DIR [--tls CERT KEY] [--auth USER PASSWORD]

Listens on 127.0.0.1:PORT. Every accepted mail is written to DIR as N.eml
(the message as received) and N.txt: the envelope, whether TLS and which login
were used, every header decoded (RFC 2047) in order, and the body decoded (its
transfer encoding and charset undone). N.txt appears complete (renamed into
place). With --tls, STARTTLS is required; with --auth, a login with USER and
PASSWORD (UTF-8) is required and any other is refused. Prints "READY" once it
accepts connections, then serves until killed.
"""

import email
import email.policy
import os
import ssl
import sys
import threading

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import AuthResult


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        with self.lock:
            self.count += 1
            n = self.count
        raw = envelope.original_content or envelope.content
        if isinstance(raw, str):
            raw = raw.encode("utf-8")
        message = email.message_from_bytes(raw, policy=email.policy.default)
        lines = ["MAIL FROM: %s" % envelope.mail_from]
        lines += ["RCPT TO: %s" % r for r in envelope.rcpt_tos]
        lines.append("TLS: %s" % ("yes" if session.ssl is not None else "no"))
        login = session.auth_data.decode("utf-8") if isinstance(session.auth_data, bytes) else "-"
        lines.append("AUTH: %s" % login)
        for name, value in message.items():
            lines.append("HEADER %s: %s" % (name, str(value)))
        lines.append("BODY:")
        text = "\n".join(lines) + "\n" + message.get_content()
        with open(os.path.join(self.directory, "%d.eml" % n), "wb") as f:
            f.write(raw)
        tmp = os.path.join(self.directory, "%d.tmp" % n)
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.rename(tmp, os.path.join(self.directory, "%d.txt" % n))
        return "250 OK"


def main():
    args = sys.argv[1:]
    port, directory = int(args[0]), args[1]
    kwargs = {}
    if "--tls" in args:
        i = args.index("--tls")
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(args[i + 1], args[i + 2])
        kwargs.update(tls_context=context, require_starttls=True)
    if "--auth" in args:
        i = args.index("--auth")
        user, password = args[i + 1].encode("utf-8"), args[i + 2].encode("utf-8")

        def authenticator(server, session, envelope, mechanism, auth_data):
            if auth_data.login == user and auth_data.password == password:
                return AuthResult(success=True, auth_data=auth_data.login)
            return AuthResult(success=False, handled=False)

        kwargs.update(authenticator=authenticator, auth_required=True,
                      auth_require_tls="--tls" in args)
    # A fixed name: by default every connection would look the host name up.
    controller = Controller(Sink(directory), hostname="127.0.0.1", port=port,
                            server_hostname="localhost", **kwargs)
    controller.start()
    print("READY", flush=True)
    threading.Event().wait()


if __name__ == "__main__":
    main()
