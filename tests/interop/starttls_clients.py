"""Real mail clients for the STARTTLS proxy tests: Python's smtplib, poplib and imaplib in plain
mode, each running a short session against the proxy's local port. Prints "session complete"
when the whole session went through. Run with /usr/bin/python3 (Debian's own Python).

    starttls_clients.py smtp|pop3|imap PORT
"""
import imaplib
import poplib
import smtplib
import sys


def smtp(port):
    with smtplib.SMTP("127.0.0.1", port, timeout=20) as client:
        client.sendmail("alice@example.test", ["bob@example.test"],
                        "Subject: through the proxy\r\n\r\nHello Bob.\r\n")


def pop3(port):
    client = poplib.POP3("127.0.0.1", port, timeout=20)
    client.user("alice")
    client.pass_("secret")
    count, size = client.stat()
    assert count == 1, count
    lines = client.retr(1)[1]
    assert lines == [b"Subject: hello", b"", b"Mail for Alice."], lines
    client.quit()


def imap(port):
    client = imaplib.IMAP4("127.0.0.1", port, timeout=20)
    client.login("alice", "secret")
    typ, data = client.select("INBOX")
    assert typ == "OK" and data == [b"1"], (typ, data)
    client.logout()


if __name__ == "__main__":
    {"smtp": smtp, "pop3": pop3, "imap": imap}[sys.argv[1]](int(sys.argv[2]))
    print("session complete")
