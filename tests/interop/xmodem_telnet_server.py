#!/usr/bin/python3
"""A Telnet server for XMODEM tests: it binds 127.0.0.1 port 0, prints "PORT <n>", takes one
connection and runs a command (sx or rx) with its input and output on that connection. It answers
option negotiation, granting BINARY in both directions (or refusing it with --refuse-binary), and
keeps Telnet's IAC escaping out of the command's data both ways. The command runs on a
pseudo-terminal in raw mode, as it would behind a real Telnet server.

    xmodem_telnet_server.py [--refuse-binary] -- COMMAND ARG...
"""
import os
import pty
import select
import socket
import subprocess
import sys
import tty

IAC, DONT, DO, WONT, WILL, SB, SE = 255, 254, 253, 252, 251, 250, 240
BINARY = 0


def main():
    args = sys.argv[1:]
    refuse = False
    if args and args[0] == "--refuse-binary":
        refuse = True
        args = args[1:]
    if args and args[0] == "--":
        args = args[1:]
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(1)
    print("PORT %d" % listener.getsockname()[1], flush=True)
    connection, _ = listener.accept()
    listener.close()
    master, slave = pty.openpty()
    tty.setraw(slave)
    child = subprocess.Popen(args, stdin=slave, stdout=slave)
    os.close(slave)
    to_child = master
    from_child = master
    state = "data"
    verb = 0
    granted = set()

    def answer(verb_received, option):
        if option == BINARY and not refuse:
            reply = WILL if verb_received == DO else DO
            key = (reply, option)
            if verb_received in (DO, WILL) and key not in granted:
                granted.add(key)
                connection.sendall(bytes([IAC, reply, option]))
                # Binary both ways: asked for one direction, offer the other.
                other = (DO if reply == WILL else WILL, option)
                if other not in granted:
                    granted.add(other)
                    connection.sendall(bytes([IAC, other[0], option]))
            return
        if verb_received == DO:
            connection.sendall(bytes([IAC, WONT, option]))
        elif verb_received == WILL:
            connection.sendall(bytes([IAC, DONT, option]))

    open_fds = [connection.fileno(), from_child]
    while open_fds:
        ready, _, _ = select.select(open_fds, [], [], 30)
        if not ready:
            break
        if from_child in ready:
            try:
                data = os.read(from_child, 4096)
            except OSError:  # the command has ended and its terminal is gone
                data = b""
            if not data:
                open_fds.remove(from_child)
                break
            connection.sendall(data.replace(bytes([IAC]), bytes([IAC, IAC])))
        if connection.fileno() in ready:
            data = connection.recv(4096)
            if not data:
                break
            plain = bytearray()
            for byte in data:
                if state == "data":
                    if byte == IAC:
                        state = "command"
                    else:
                        plain.append(byte)
                elif state == "command":
                    if byte == IAC:
                        plain.append(IAC)
                        state = "data"
                    elif byte in (DO, DONT, WILL, WONT):
                        verb = byte
                        state = "option"
                    elif byte == SB:
                        state = "subnegotiation"
                    else:
                        state = "data"
                elif state == "option":
                    answer(verb, byte)
                    state = "data"
                elif state == "subnegotiation":
                    if byte == IAC:
                        state = "subnegotiation-iac"
                elif state == "subnegotiation-iac":
                    state = "data" if byte == SE else "subnegotiation"
            if plain:
                try:
                    os.write(to_child, bytes(plain))
                except BrokenPipeError:
                    break
    child.wait(timeout=30)
    connection.close()
    sys.exit(child.returncode)


if __name__ == "__main__":
    main()
