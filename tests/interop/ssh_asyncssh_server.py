#!/usr/bin/python3
"""An independent SSH2 server for the interoperability tests, on asyncssh.

Usage: ssh_asyncssh_server.py PORT MODE [ARG]

MODE
  bulk N      password "secret"; the shell writes N bytes of a line pattern, then reads the
              client's input up to a line "END", answers with its length and SHA-1, and exits.
  otp WORDS   keyboard-interactive with one "otp-md5 95 ke1234 ext" challenge; WORDS (the six
              words, blanks as "_") is the only answer that logs in.

Offers only what the client under test must prove it speaks here: blowfish-cbc, hmac-sha1,
the non-delayed "zlib" compression in both directions, group 1 and group-exchange SHA-1, ssh-rsa.
The server stops by itself after 120 seconds.
"""

import asyncio
import hashlib
import sys
import warnings

warnings.filterwarnings("ignore")

import asyncssh  # noqa: E402

PORT = int(sys.argv[1])
MODE = sys.argv[2]
ARG = sys.argv[3] if len(sys.argv) > 3 else ""


def pattern(n):
    line = b"".join(bytes([33 + (i % 90)]) for i in range(99)) + b"\n"
    whole, rest = divmod(n, len(line))
    return line * whole + line[:rest]


class Server(asyncssh.SSHServer):
    def begin_auth(self, username):
        return True

    def password_auth_supported(self):
        return MODE == "bulk"

    def validate_password(self, username, password):
        return password == "secret"

    def kbdint_auth_supported(self):
        return MODE == "otp"

    def get_kbdint_challenge(self, username, lang, submethods):
        return "", "", "", [("otp-md5 95 ke1234 ext", False)]

    def validate_kbdint_response(self, username, responses):
        return list(responses) == [ARG.replace("_", " ")]


async def handle(process):
    if MODE == "bulk":
        process.stdout.write(pattern(int(ARG)))
        process.stdout.write(b"\nBULK-DONE\n")
        received = b""
        while not received.endswith(b"END\n") and not received.endswith(b"END\r"):
            chunk = await process.stdin.read(65536)
            if not chunk:
                break
            received += chunk
        body = received[: -4]
        digest = hashlib.sha1(body).hexdigest()
        process.stdout.write(("\nGOT %d %s\n" % (len(body), digest)).encode())
    else:
        process.stdout.write(b"OTP-LOGIN-OK\n")
        await asyncio.sleep(0.5)
    process.exit(0)


async def main():
    key = asyncssh.generate_private_key("ssh-rsa", key_size=2048)
    server = await asyncssh.create_server(
        Server,
        "127.0.0.1",
        PORT,
        server_host_keys=[key],
        kex_algs=["diffie-hellman-group-exchange-sha1", "diffie-hellman-group1-sha1"],
        encryption_algs=["blowfish-cbc"],
        mac_algs=["hmac-sha1"],
        compression_algs=["zlib"],
        signature_algs=["ssh-rsa"],
        process_factory=handle,
        encoding=None,
        line_editor=False,
        agent_forwarding=False,
    )
    # With port 0 the system chooses the port; the test reads it from this line.
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    await asyncio.sleep(120)


asyncio.run(main())
