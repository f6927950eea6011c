#!/usr/bin/env python3
"""The protocol document, proved by a client written from it alone.

Copies the demo node to a temporary folder, starts the real server there on a free
loopback port and, with the client in quorva_proto.py, logs in as the demo sysop, lists
the areas and an echomail area's headers (a compressed reply), fetches a message, posts
two messages (one large enough that its fetched copy runs through every code width and
several dictionary clears) and finds them again, logs out, and checks that a wrong
password is refused. Before that it checks the document's worked examples.

    python3 test_protocol_doc.py --server BUILD/quorva --demo SOURCE/demo

Exit status 0 when everything holds; 1 with a message naming what did not.
"""

import argparse
import hashlib
import os
import random
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import quorva_proto as qp  # noqa: E402

SYSOP = ("Demo Sysop", "demo", (2, 5020, 1234, 0))
EXPECTED_AREAS = [  # tag, type, messages, unread: the demo node as shipped
    ("NETMAIL", qp.AREA_NETMAIL, 3, 2),
    ("QUORVA.TALK", qp.AREA_ECHOMAIL, 12, 9),
    ("DEMO.TEST", qp.AREA_ECHOMAIL, 2, 2),
]
START_WAIT = 30.0     # seconds for the server to accept connections
REPLY_WAIT = 60.0     # seconds for any one reply (a refused login is answered late)


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def step(text):
    print("protocol_doc: " + text, flush=True)


# --- the document's worked examples ---------------------------------------------------

DOC_LOGIN_EXAMPLE = {
    "password": "demo",
    "challenge": "9f 3c 5a 01 e7 42 d8 6b 00 7e c1 29 b4 55 13 fa 88 0d 6e 37",
    "digest": "93 2d c8 f5 58 41 c8 29 85 15 92 70 dd 94 a0 24",
}
DOC_LZW_EXAMPLES = [
    # (stream, decoded bytes)
    ("00 83 08 11 48 70 A0 C1 82 08 0F 2A 4C C8 70 A1 C3 86 04 03 02", b"AB" * 33 + b"A"),
    ("00 83 08 1C 48 B0 A0 C1 83 08 13 2A 54 18 10", b"A" * 65),
]
DOC_HMAC_INNER = "71 d0 cd 48 a9 63 64 e3 37 3a 5d 71 82 24 de 5d"
DOC_HASH_EXAMPLES = [("abc", 0x513B5853), ("123456789", 0xA4597261),
                     ("2:5020/1234.5 65e6da17", 0xFB9D0246)]


def squeeze(text):
    return "".join(text.split()).lower()


def check_document_examples(doc_path):
    try:
        with open(doc_path, encoding="utf-8") as f:
            doc = squeeze(f.read())
    except OSError as e:
        raise Failure("cannot read the protocol document: %s" % e)

    def in_doc(hex_text, what):
        check(squeeze(hex_text) in doc, "%s (%s) is not in %s" % (what, hex_text, doc_path))

    ex = DOC_LOGIN_EXAMPLE
    challenge = bytes.fromhex(ex["challenge"])
    digest = qp.login_digest(ex["password"], challenge)
    check(digest == bytes.fromhex(ex["digest"]),
          "login example: digest %s, document says %s" % (digest.hex(), ex["digest"]))
    # The document's steps: the key padded to the 64-byte block, the inner digest.
    block = qp.text_field(ex["password"], 36).ljust(64, b"\0")
    inner = hashlib.md5(bytes(b ^ 0x36 for b in block) + challenge).digest()
    check(inner == bytes.fromhex(DOC_HMAC_INNER),
          "login example: inner digest %s, document says %s" % (inner.hex(), DOC_HMAC_INNER))
    outer = hashlib.md5(bytes(b ^ 0x5C for b in block) + inner).digest()
    check(outer == digest, "login example: the document's steps give %s" % outer.hex())
    in_doc(DOC_HMAC_INNER, "login example inner digest")
    in_doc(ex["challenge"], "login example challenge")
    in_doc(ex["digest"], "login example digest")

    for stream_hex, expected in DOC_LZW_EXAMPLES:
        decoded = qp.lzw12_decode(bytes.fromhex(stream_hex), len(expected))
        check(decoded == expected, "LZW12 example %s decodes to %r" % (stream_hex, decoded))
        in_doc(stream_hex, "LZW12 example")

    for value, expected in DOC_HASH_EXAMPLES:
        check(qp.kludge_hash(value) == expected,
              "hash of %r is %08X, not %08X" % (value, qp.kludge_hash(value), expected))
        in_doc("0x%08X" % expected, "hash check value")
    step("the document's worked examples hold")


# --- the server -----------------------------------------------------------------------

def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """The real server on a copy of the demo node, with its own settings file."""

    def __init__(self, binary, demo, folder):
        self.binary = binary
        self.folder = folder
        self.proc = None
        self.port = None
        shutil.copytree(demo, folder, dirs_exist_ok=True)
        # The demo's settings without its port line; each start puts a free port first.
        # The news door is not this test's: it is left off.
        with open(os.path.join(demo, "quorva.INI"), encoding="latin-1") as f:
            self.settings = [line for line in f.read().splitlines()
                             if not line.startswith(("listenPort", "nntpPort"))]

    def start(self):
        for _attempt in range(5):
            self.port = free_port()
            with open(os.path.join(self.folder, "quorva.INI"), "w", encoding="latin-1") as f:
                f.write("listenPort %d\n" % self.port)
                f.write("\n".join(self.settings) + "\n")
            self.out = open(os.path.join(self.folder, "server.out"), "wb")
            self.err = open(os.path.join(self.folder, "server.err"), "wb")
            # The server finds its settings file from its program path: argv[0] is
            # <folder>/quorva, so it reads <folder>/quorva.INI, and the relative paths
            # in it are taken from its working folder.
            self.proc = subprocess.Popen([os.path.join(self.folder, "quorva")], executable=self.binary,
                                         cwd=self.folder, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=self.err)
            # The server says when it listens; a reader copies its output to server.out
            # and signals that line (or the end of the output, when it did not start).
            self.listening = threading.Event()
            self.output_ended = threading.Event()
            self.reader = threading.Thread(target=self.copy_output, daemon=True)
            self.reader.start()
            if self.wait_accepting(START_WAIT):
                return
            self.stop()
            if "bind" not in self.stderr_text():  # only a port taken meanwhile is retried
                break
        raise Failure("the server did not start:\n" + self.stderr_text())

    def copy_output(self):
        for line in self.proc.stdout:
            self.out.write(line)
            self.out.flush()
            if b", listening on " in line:
                self.listening.set()
        self.output_ended.set()
        self.listening.set()

    def wait_accepting(self, limit):
        return self.listening.wait(limit) and not self.output_ended.is_set()

    def connect(self):
        return qp.Client("127.0.0.1", self.port, timeout=REPLY_WAIT)

    def stderr_text(self):
        try:
            with open(os.path.join(self.folder, "server.err"), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def stop(self):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.reader.join(timeout=30)
        self.proc.stdout.close()
        self.proc = None
        self.out.close()
        self.err.close()


# --- the session ----------------------------------------------------------------------

def area_number(areas, tag):
    for i, a in enumerate(areas):
        if a["name"] == tag:
            return i
    raise Failure("no area %s in the area list" % tag)


def check_area_list(client):
    reply, areas = client.get_area_list()
    got = [(a["name"], a["type"], a["msgCount"], a["unreadCount"]) for a in areas]
    check(got == EXPECTED_AREAS, "area list %r, expected %r" % (got, EXPECTED_AREAS))
    step("area list: %s (%s)" % (", ".join(a["name"] for a in areas),
                                 "compressed" if reply.compressed else "plain"))
    return areas


def check_talk_list(client, talk):
    reply, headers = client.get_msg_list(talk)
    check(reply.compressed, "the QUORVA.TALK list (%d bytes) came uncompressed" % len(reply.data))
    check([h["msgNumber"] for h in headers] == list(range(1, 13)),
          "QUORVA.TALK numbers %r" % [h["msgNumber"] for h in headers])
    by_number = {h["msgNumber"]: h for h in headers}
    first = by_number[1]
    check(first["subject"] == "Welcome to QUORVA.TALK", "subject of #1: %r" % first["subject"])
    year, month, day, hour, minute, _ = qp.unpack_date(first["dateWritten"])
    check((year, month, day, hour, minute) == (2024, 3, 4, 19, 12),
          "date of #1 unpacks to %r" % (qp.unpack_date(first["dateWritten"]),))
    # Replies find the message they answer through the hashes.
    for reply_number, answered in [(2, 1), (4, 2), (5, 3), (6, 5)]:
        linked = [h["msgNumber"] for h in headers
                  if h["msgIdHash"] != 0 and h["msgIdHash"] == by_number[reply_number]["replyHash"]]
        check(linked == [answered], "#%d links to %r, expected #%d" % (reply_number, linked, answered))
    for lone in (1, 3):
        check(by_number[lone]["replyHash"] == 0, "#%d has a reply hash" % lone)
    check(by_number[2]["msgIdHash"] == qp.kludge_hash("2:5020/1234.5 65e6da17"),
          "msgIdHash of #2 is not the hash of its MSGID value")
    step("QUORVA.TALK: %d headers in a compressed block of %d bytes, replies linked"
         % (len(headers), reply.raw_size & ~qp.PKT_SIZE_COMPRESSED))
    return headers


def check_fetch(client, talk, headers):
    reply, message, lines = client.get_message(talk, 2)
    check(message is not None, "message #2 of QUORVA.TALK was refused")
    listed = [h for h in headers if h["msgNumber"] == 2][0]
    for field in ("msgNumber", "fromName", "toName", "subject", "dateWritten"):
        check(message[field] == listed[field], "%s of the fetched #2 is %r, the list says %r"
              % (field, message[field], listed[field]))
    check(message["msgIdHash"] == 0 and message["replyHash"] == 0, "a fetched record carries hashes")
    check(message["fromName"] == "Ann Reader" and message["toName"] == "Demo Sysop",
          "#2 is from %r to %r" % (message["fromName"], message["toName"]))
    for line in ("\x01MSGID: 2:5020/1234.5 65e6da17", "\x01REPLY: 2:5020/1234 65e6f1a2",
                 "Does it need its own copy of the areas, or does it work on the",
                 " * Origin: Quorva demo node (2:5020/1234.5)"):
        check(line in lines, "fetched #2 lacks the line %r; it has %r" % (line, lines))
    kludges = [i for i, l in enumerate(lines) if l.startswith("\x01")]
    check(kludges and kludges[0] == 0, "fetched #2 does not begin with its kludges")
    step("fetched QUORVA.TALK #2: %d lines (%s)" % (len(lines), "compressed" if reply.compressed else "plain"))

    reply, message, _ = client.get_message(talk, 999)
    check(message is None, "a missing message was not refused")
    client.ping()  # the session goes on after CID_S_FAIL
    step("a missing message gets CID_S_FAIL and the session goes on")


def post_and_find(client, area, tag, subject, text_lines):
    name, _password, addr = SYSOP
    before = client.get_msg_list(area)[1]
    record = qp.pack_message(from_name=name, to_name="All", subject=subject, orig=addr, area=area)
    check(client.post(record, "".join(line + "\r" for line in text_lines)),
          "the post to %s was refused" % tag)
    after = client.get_msg_list(area)[1]
    new = [h for h in after if h["msgNumber"] not in {b["msgNumber"] for b in before}]
    check(len(new) == 1 and new[0]["subject"] == subject,
          "after the post %s has new headers %r" % (tag, new))
    check(new[0]["fromName"] == name, "the post is from %r" % new[0]["fromName"])
    number = new[0]["msgNumber"]
    reply, message, lines = client.get_message(area, number)
    check(message is not None, "the post #%d in %s cannot be fetched" % (number, tag))
    check(message["subject"] == subject, "fetched post has subject %r" % message["subject"])
    check(any(l.startswith("\x01MSGID: 2:5020/1234.0 ") for l in lines),
          "the post has no MSGID of the user's address: %r" % lines[:6])
    body = [l for l in lines if not l.startswith("\x01")]
    check(body[:len(text_lines)] == text_lines,
          "the post's text came back as %r" % body[:min(len(body), 5)])
    return number, reply


def check_posts(client, areas):
    talk = area_number(areas, "QUORVA.TALK")
    number, _ = post_and_find(client, talk, "QUORVA.TALK", "Written from the protocol document",
                              ["First line of the post.", "", "Third line, after an empty one."])
    step("posted QUORVA.TALK #%d and found it in the list" % number)

    # A large text: its fetched copy is a compressed block that uses all four code
    # widths and several dictionary clears.
    rnd = random.Random(2104)
    words = ["".join(rnd.choice("abcdefghijklmnopqrstuvwxyz") for _ in range(rnd.randint(2, 9)))
             for _ in range(2000)]
    lines = [" ".join(rnd.choice(words) for _ in range(rnd.randint(4, 12))) for _ in range(4000)]
    demo_test = area_number(areas, "DEMO.TEST")
    number, reply = post_and_find(client, demo_test, "DEMO.TEST", "A long one", lines)
    check(reply.compressed, "the long message came uncompressed")
    check(reply.stats[12] > 0 and reply.stats["clears"] > 2,
          "the long message's stream did not reach 12-bit codes and clears: %r" % reply.stats)
    step("posted DEMO.TEST #%d (%d lines), fetched it back from a compressed block of %d bytes "
         "(%d expanded; codes of 9/10/11/12 bits: %d/%d/%d/%d, clear codes: %d)"
         % (number, len(lines), reply.raw_size & ~qp.PKT_SIZE_COMPRESSED, len(reply.data),
            reply.stats[9], reply.stats[10], reply.stats[11], reply.stats[12], reply.stats["clears"]))


def check_wrong_password(server):
    name, _password, addr = SYSOP
    with server.connect() as client:
        challenge = client.hello(name, addr)
        check(challenge is not None, "the hello of %s was refused" % name)
        check(not client.answer(qp.login_digest("not the password", challenge)),
              "a wrong password was accepted")
        check(client.wait_closed(), "the connection stayed open after a refused login")
    step("a wrong password gets CID_S_FAIL and the connection is closed")


def run(server_binary, demo, doc_path):
    check_document_examples(doc_path)
    folder = tempfile.mkdtemp(prefix="quorva-protodoc-")
    server = Server(server_binary, demo, folder)
    try:
        server.start()
        step("server started on port %d" % server.port)
        name, password, addr = SYSOP
        with server.connect() as client:
            check(client.login(name, password, addr), "the login of %s was refused" % name)
            step("logged in as %s, %s" % (name, qp.addr_text(addr)))
            areas = check_area_list(client)
            headers = check_talk_list(client, area_number(areas, "QUORVA.TALK"))
            check_fetch(client, area_number(areas, "QUORVA.TALK"), headers)
            check_posts(client, areas)
            client.logout()
            check(client.wait_closed(), "the connection stayed open after the logout")
            step("logged out; the server closed the connection")
        check_wrong_password(server)
    except (qp.ProtocolError, OSError) as e:
        raise Failure("%s: %s\nserver errors:\n%s" % (type(e).__name__, e, server.stderr_text()))
    finally:
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--server", required=True, help="the quorva server binary")
    parser.add_argument("--demo", required=True, help="the demo node folder")
    parser.add_argument("--doc", default=os.path.join(here, "..", "..", "docs", "protocol.md"),
                        help="the protocol document whose worked examples are checked")
    args = parser.parse_args()
    try:
        run(os.path.abspath(args.server), os.path.abspath(args.demo), args.doc)
    except Failure as e:
        print("protocol_doc: FAILED: %s" % e, file=sys.stderr, flush=True)
        return 1
    print("protocol_doc: all checks passed", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
