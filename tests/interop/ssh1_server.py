#!/usr/bin/python3
"""An SSH protocol 1.5 server for the interoperability tests.

It is written on PyCryptodome and the standard library only, never on the client's own framing or
ciphers, so that a fault the two would share cannot hide:

- the CRC-32 of the packet trailer comes from zlib (started at all ones and complemented again, which
  gives the register that starts at 0 and is never complemented);
- triple DES is three single-DES CBC layers, each with its own chaining value (the library's DES3
  would be one outer CBC);
- Blowfish works on little-endian words: the bytes of every 32-bit word are swapped around the
  library's big-endian Blowfish.

It listens on 127.0.0.1, port 0, and prints "PORT <n>" once it listens; then one line per event
("SESSION_KEY cipher=3", "PTY vt100 24 80", "PASSWORD bad", ...) for the tests to read. Every
connection gets its own thread: version exchange, SMSG_PUBLIC_KEY, the session key, user and
password, a pseudo-terminal with a real /bin/sh, and the server side of local port forwards.
"""

import argparse
import fcntl
import os
import pty
import socket
import struct
import sys
import termios
import threading
import zlib
from hashlib import md5

from Cryptodome.Cipher import DES, PKCS1_v1_5
from Cryptodome.Cipher import Blowfish as BlowfishCipher
from Cryptodome.PublicKey import RSA

DISCONNECT = 1
SMSG_PUBLIC_KEY = 2
CMSG_SESSION_KEY = 3
CMSG_USER = 4
CMSG_AUTH_PASSWORD = 9
CMSG_REQUEST_PTY = 10
CMSG_EXEC_SHELL = 12
SMSG_SUCCESS = 14
SMSG_FAILURE = 15
CMSG_STDIN_DATA = 16
SMSG_STDOUT_DATA = 17
SMSG_EXITSTATUS = 20
CHANNEL_OPEN_CONFIRMATION = 21
CHANNEL_OPEN_FAILURE = 22
CHANNEL_DATA = 23
CHANNEL_INPUT_EOF = 24
CHANNEL_OUTPUT_CLOSED = 25
PORT_OPEN = 29
IGNORE = 32
CMSG_EXIT_CONFIRMATION = 33
DEBUG = 36
CMSG_MAX_PACKET_SIZE = 38

AUTH_PASSWORD = 3
HOST_IN_FWD_OPEN = 2
CIPHERS = (2, 3, 6)  # DES, 3DES, Blowfish: what the client speaks
MAX_LENGTH = 262144


def log(*words):
    print(*words, flush=True)


def crc32(data):
    return zlib.crc32(data, 0xFFFFFFFF) ^ 0xFFFFFFFF


def mpint1(value):
    bits = value.bit_length()
    return struct.pack(">H", bits) + value.to_bytes((bits + 7) // 8, "big")


def string(data):
    return struct.pack(">I", len(data)) + data


class Reader:
    """Fields of one message, read in order; a field that does not fit raises ValueError."""

    def __init__(self, data):
        self.data = data
        self.at = 0

    def bytes(self, n):
        if self.at + n > len(self.data):
            raise ValueError("message too short")
        out = self.data[self.at:self.at + n]
        self.at += n
        return out

    def u32(self):
        return struct.unpack(">I", self.bytes(4))[0]

    def string(self):
        return self.bytes(self.u32())


# ---- Ciphers as protocol 1 uses them; every chain starts at zero ----

class Plain:
    def encrypt(self, data):
        return data

    decrypt = encrypt


class SingleDes:
    def __init__(self, key):
        self.enc = DES.new(key[:8], DES.MODE_CBC, iv=bytes(8))
        self.dec = DES.new(key[:8], DES.MODE_CBC, iv=bytes(8))

    def encrypt(self, data):
        return self.enc.encrypt(data)

    def decrypt(self, data):
        return self.dec.decrypt(data)


class TripleDes:
    """Encryption is CBC-encrypt with key 1, CBC-decrypt with key 2, CBC-encrypt with key 3, each
    layer keeping its own chain; decryption undoes the layers in the opposite order."""

    def __init__(self, key):
        k1, k2, k3 = key[0:8], key[8:16], key[16:24]

        def cbc(k):
            return DES.new(k, DES.MODE_CBC, iv=bytes(8))

        self.enc = (cbc(k1).encrypt, cbc(k2).decrypt, cbc(k3).encrypt)
        self.dec = (cbc(k3).decrypt, cbc(k2).encrypt, cbc(k1).decrypt)

    def encrypt(self, data):
        for layer in self.enc:
            data = layer(data)
        return data

    def decrypt(self, data):
        for layer in self.dec:
            data = layer(data)
        return data


def swap_words(data):
    n = len(data) // 4
    return struct.pack("<%dI" % n, *struct.unpack(">%dI" % n, data))


class LittleEndianBlowfish:
    def __init__(self, key):
        self.enc = BlowfishCipher.new(key[:32], BlowfishCipher.MODE_CBC, iv=bytes(8))
        self.dec = BlowfishCipher.new(key[:32], BlowfishCipher.MODE_CBC, iv=bytes(8))

    def encrypt(self, data):
        return swap_words(self.enc.encrypt(swap_words(data)))

    def decrypt(self, data):
        return swap_words(self.dec.decrypt(swap_words(data)))


CIPHERS = {2: SingleDes, 3: TripleDes, 6: LittleEndianBlowfish}


class Closed(Exception):
    pass


class Channel:
    """The server's side of one forwarded connection: each direction closes on its own."""

    def __init__(self, conn, client_id, server_id, sock):
        self.conn = conn
        self.client_id = client_id
        self.server_id = server_id
        self.sock = sock
        self.lock = threading.Lock()
        self.input_open = True  # destination -> client
        self.output_open = True  # client -> destination
        self.eof_sent = False
        self.finished = False

    def start(self):
        threading.Thread(target=self.relay, daemon=True).start()

    def relay(self):
        while True:
            with self.lock:
                if not self.input_open:
                    break
            try:
                data = self.sock.recv(16384)
            except OSError:
                data = b""
            with self.lock:
                if not self.input_open:
                    break
                if not data:
                    self.input_open = False
                    self.send_eof_locked()
                    break
            self.conn.send(CHANNEL_DATA, struct.pack(">I", self.client_id) + string(data))
        self.finish()

    def send_eof_locked(self):
        if not self.eof_sent:
            self.eof_sent = True
            self.conn.send(CHANNEL_INPUT_EOF, struct.pack(">I", self.client_id))

    def write(self, data):
        with self.lock:
            if not self.output_open:
                return
        try:
            self.sock.sendall(data)
        except OSError:
            with self.lock:
                self.output_open = False
            self.conn.send(CHANNEL_OUTPUT_CLOSED, struct.pack(">I", self.client_id))
            self.finish()

    def on_input_eof(self):
        # Everything the client sent has been written: the destination learns the end, and the
        # client that its data is delivered.
        with self.lock:
            if not self.output_open:
                return
            self.output_open = False
        try:
            self.sock.shutdown(socket.SHUT_WR)
        except OSError:
            pass
        self.conn.send(CHANNEL_OUTPUT_CLOSED, struct.pack(">I", self.client_id))
        self.finish()

    def on_output_closed(self):
        with self.lock:
            self.input_open = False
            self.send_eof_locked()
        try:
            self.sock.shutdown(socket.SHUT_RD)
        except OSError:
            pass
        self.finish()

    def finish(self):
        with self.lock:
            done = not self.input_open and not self.output_open and not self.finished
            self.finished = self.finished or done
        if done:
            log("CHANNEL_CLOSED", self.server_id)
            self.conn.channels.pop(self.server_id, None)
            try:
                self.sock.close()
            except OSError:
                pass


class Connection:
    def __init__(self, sock, options, server_key, host_key):
        self.sock = sock
        self.options = options
        self.server_key = server_key
        self.host_key = host_key
        self.send_lock = threading.Lock()
        self.out_cipher = Plain()
        self.in_cipher = Plain()
        self.encrypted = False
        self.buffer = b""
        self.channels = {}
        self.next_channel = 100
        self.master = None
        self.pty_size = None
        self.term = "dumb"
        self.failures = 0

    # ---- Framing ----

    def recv_exact(self, n):
        while len(self.buffer) < n:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise Closed()
            self.buffer += chunk
        out, self.buffer = self.buffer[:n], self.buffer[n:]
        return out

    def read_line(self):
        line = b""
        while not line.endswith(b"\n"):
            line += self.recv_exact(1)
            if len(line) > 255:
                raise Closed()
        return line

    def read_packet(self):
        length = struct.unpack(">I", self.recv_exact(4))[0]
        if length < 5 or length > MAX_LENGTH:
            log("BAD_LENGTH", length)
            raise Closed()
        padding = 8 - length % 8
        body = self.in_cipher.decrypt(self.recv_exact(padding + length))
        if crc32(body[:-4]) != struct.unpack(">I", body[-4:])[0]:
            log("CRC_MISMATCH")
            raise Closed()
        return body[padding], body[padding + 1:-4]

    def send(self, message, payload=b""):
        length = len(payload) + 5
        padding = 8 - length % 8
        with self.send_lock:
            pad = os.urandom(padding) if self.encrypted else bytes(padding)
            body = pad + bytes([message]) + payload
            body += struct.pack(">I", crc32(body))
            try:
                self.sock.sendall(struct.pack(">I", length) + self.out_cipher.encrypt(body))
            except OSError:
                pass

    # ---- The conversation ----

    def run(self):
        try:
            self.converse()
        except (Closed, OSError, ValueError) as error:
            if not isinstance(error, Closed):
                log("ERROR", repr(error))
        finally:
            log("CONNECTION_CLOSED")
            try:
                self.sock.close()
            except OSError:
                pass
            if self.master is not None:
                # The shell gets its hang-up and ends; its pump thread reaps it.
                try:
                    os.close(self.master)
                except OSError:
                    pass

    def public_key_blob(self, key):
        return struct.pack(">I", key.n.bit_length()) + mpint1(key.e) + mpint1(key.n)

    def converse(self):
        self.sock.sendall(b"SSH-1.5-PyTest_1.0\n")
        version = self.read_line()
        log("CLIENT_VERSION", version.decode("latin-1").strip())
        if not version.startswith(b"SSH-1.5-"):
            raise Closed()

        cookie = os.urandom(8)
        mask = 0
        for number in CIPHERS:
            mask |= 1 << number
        flags = HOST_IN_FWD_OPEN if self.options.host_in_fwd_open else 0
        self.send(SMSG_PUBLIC_KEY, cookie + self.public_key_blob(self.server_key) +
                  self.public_key_blob(self.host_key) +
                  struct.pack(">III", flags, mask, 1 << AUTH_PASSWORD))

        message, payload = self.read_packet()
        if message != CMSG_SESSION_KEY:
            log("UNEXPECTED", message)
            raise Closed()
        reader = Reader(payload)
        cipher = reader.bytes(1)[0]
        if reader.bytes(8) != cookie:
            log("COOKIE_MISMATCH")
            raise Closed()
        bits = struct.unpack(">H", reader.bytes(2))[0]
        encrypted = reader.bytes((bits + 7) // 8)
        client_flags = reader.u32()
        log("SESSION_KEY", "cipher=%d" % cipher, "bits=%d" % bits, "flags=%d" % client_flags)
        if cipher not in CIPHERS:
            self.send(DISCONNECT, string(b"cipher not supported"))
            raise Closed()

        session_id = md5(self.host_key.n.to_bytes((self.host_key.n.bit_length() + 7) // 8, "big") +
                         self.server_key.n.to_bytes((self.server_key.n.bit_length() + 7) // 8,
                                                    "big") + cookie).digest()
        short, long_ = sorted((self.server_key, self.host_key), key=lambda k: k.n.bit_length())
        failed = object()
        if len(encrypted) != long_.size_in_bytes():
            log("SESSION_KEY_SIZE", len(encrypted))
            raise Closed()
        inner = PKCS1_v1_5.new(long_).decrypt(encrypted, failed)
        value = failed if inner is failed else PKCS1_v1_5.new(short).decrypt(inner, failed)
        if value is failed or len(value) != 32:
            log("SESSION_KEY_UNREADABLE")
            raise Closed()
        key = bytes(a ^ b for a, b in zip(value[:16], session_id)) + value[16:]
        self.out_cipher = CIPHERS[cipher](key)
        self.in_cipher = CIPHERS[cipher](key)
        self.encrypted = True
        self.send(SMSG_SUCCESS)

        while True:
            message, payload = self.read_packet()
            handler = self.HANDLERS.get(message)
            if handler is None:
                log("UNHANDLED", message)
                self.send(SMSG_FAILURE)
            elif handler(self, Reader(payload)) is False:
                return

    def on_user(self, reader):
        user = reader.string().decode("latin-1")
        log("USER", user)
        self.send(SMSG_FAILURE if self.options.password is not None else SMSG_SUCCESS)

    def on_password(self, reader):
        password = reader.string().decode("latin-1")
        if password == self.options.password:
            log("PASSWORD ok")
            self.send(SMSG_SUCCESS)
        else:
            self.failures += 1
            log("PASSWORD bad", self.failures)
            self.send(SMSG_FAILURE)

    def on_request_pty(self, reader):
        self.term = reader.string().decode("latin-1")
        rows, columns, _, _ = reader.u32(), reader.u32(), reader.u32(), reader.u32()
        log("PTY", self.term, rows, columns)
        self.pty_size = (rows, columns)
        self.send(SMSG_SUCCESS)

    def on_max_packet_size(self, reader):
        log("MAX_PACKET_SIZE", reader.u32())
        self.send(SMSG_SUCCESS)

    def on_exec_shell(self, reader):
        log("SHELL")
        rows, columns = self.pty_size or (24, 80)
        pid, master = pty.fork()
        if pid == 0:
            try:
                fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", rows, columns, 0, 0))
                env = {"TERM": self.term, "PS1": "$ ", "PATH": "/usr/bin:/bin", "HOME": "/tmp"}
                os.execve("/bin/sh", ["sh"], env)
            finally:
                os._exit(127)
        self.master = master
        threading.Thread(target=self.pump_shell, args=(pid, master), daemon=True).start()

    def pump_shell(self, pid, master):
        while True:
            try:
                data = os.read(master, 4096)
            except OSError:
                data = b""
            if not data:
                break
            self.send(SMSG_STDOUT_DATA, string(data))
        _, code = os.waitpid(pid, 0)
        log("SHELL_EXITED", os.waitstatus_to_exitcode(code))
        self.send(SMSG_EXITSTATUS, struct.pack(">I", os.waitstatus_to_exitcode(code) & 0xFFFFFFFF))

    def on_stdin(self, reader):
        data = reader.string()
        if self.master is not None:
            while data:
                data = data[os.write(self.master, data):]

    def on_exit_confirmation(self, reader):
        log("EXIT_CONFIRMED")
        return False

    def on_port_open(self, reader):
        client_id = reader.u32()
        host = reader.string().decode("latin-1")
        port = reader.u32()
        originator = reader.string().decode("latin-1") if self.options.host_in_fwd_open else ""
        log("PORT_OPEN", host, port, originator)
        try:
            target = socket.create_connection((host, port), timeout=10)
            target.settimeout(None)
        except OSError:
            self.send(CHANNEL_OPEN_FAILURE, struct.pack(">I", client_id))
            return
        server_id = self.next_channel
        self.next_channel += 1
        channel = Channel(self, client_id, server_id, target)
        self.channels[server_id] = channel
        self.send(CHANNEL_OPEN_CONFIRMATION, struct.pack(">II", client_id, server_id))
        channel.start()

    def channel_for(self, reader):
        return self.channels.get(reader.u32())

    def on_channel_data(self, reader):
        channel = self.channel_for(reader)
        data = reader.string()
        if channel is not None:
            channel.write(data)

    def on_channel_input_eof(self, reader):
        channel = self.channel_for(reader)
        if channel is not None:
            channel.on_input_eof()

    def on_channel_output_closed(self, reader):
        channel = self.channel_for(reader)
        if channel is not None:
            channel.on_output_closed()

    def on_ignore(self, reader):
        pass

    HANDLERS = {
        CMSG_USER: on_user,
        CMSG_AUTH_PASSWORD: on_password,
        CMSG_REQUEST_PTY: on_request_pty,
        CMSG_MAX_PACKET_SIZE: on_max_packet_size,
        CMSG_EXEC_SHELL: on_exec_shell,
        CMSG_STDIN_DATA: on_stdin,
        CMSG_EXIT_CONFIRMATION: on_exit_confirmation,
        PORT_OPEN: on_port_open,
        CHANNEL_DATA: on_channel_data,
        CHANNEL_INPUT_EOF: on_channel_input_eof,
        CHANNEL_OUTPUT_CLOSED: on_channel_output_closed,
        IGNORE: on_ignore,
        DEBUG: on_ignore,
    }


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server-key", required=True, help="PEM file of the server key")
    parser.add_argument("--host-key", required=True, help="PEM file of the host key")
    parser.add_argument("--password", help="the password asked for; none: no password needed")
    parser.add_argument("--host-in-fwd-open", action="store_true")
    options = parser.parse_args()
    with open(options.server_key, "rb") as f:
        server_key = RSA.import_key(f.read())
    with open(options.host_key, "rb") as f:
        host_key = RSA.import_key(f.read())

    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(8)
    log("PORT", listener.getsockname()[1])
    while True:
        sock, _ = listener.accept()
        connection = Connection(sock, options, server_key, host_key)
        threading.Thread(target=connection.run, daemon=True).start()


if __name__ == "__main__":
    sys.exit(main())
