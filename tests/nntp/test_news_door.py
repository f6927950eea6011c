#!/usr/bin/env python3
"""The news door end to end, through Python's nntplib and a raw socket.

Each test class copies the demo node to a temporary folder, starts the real server there
with its own settings file (the news door on a port the system picks, the binary door on a
free loopback port) and talks NNTP to it as docs/nntp.md describes the door:

    Commands        every reader command, before and after login, on both area formats
    Login           AUTHINFO USER/PASS: name spellings, refusals after the delay, the cap
    NetmailPrivacy  what a user who is not super sees of the netmail
    Posting         bodies in every transfer encoding, charsets, replies, netmail,
                    cancels and the refused articles
    Renumbering     the husky packer renumbers a Squish base under the door
    PlainAuth       AUTHINFO from an address outside loopback (in a network namespace), in
                    clear and after STARTTLS
    Tls             NNTPS on nntpsPort and STARTTLS on the plain port, the server's
                    certificate checked against the test CA alone

    python3 test_news_door.py --server BUILD/quorva --demo SOURCE/demo [--make-cert BUILD/make-cert]
                              [unittest args]

The husky tools come from HUSKY_BIN_DIR, else --husky-dir, else tests/common/hpt_husky_dir.sh;
without them Renumbering skips. The tests inside TLS take their certificates from make-cert's
test set and skip without --make-cert. PlainAuth needs root (a network namespace of its own)
and skips otherwise. The exit status is 77 when every test that ran was skipped.
"""

import argparse
import atexit
import base64
import ctypes
import datetime
import os
import re
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import warnings

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree
with warnings.catch_warnings():
    warnings.simplefilter("ignore", DeprecationWarning)
    import nntplib  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER = None     # the server binary (--server)
DEMO = None       # the demo node (--demo)
HUSKY_DIR = None  # the husky tools as the build found them (--husky-dir)
MAKE_CERT = None  # the test certificates' maker (--make-cert)

START_WAIT = 30.0   # seconds for the server to say it listens
REPLY_WAIT = 60.0   # seconds for any one reply (a refused login is answered late)
LINE_WAIT = 15.0    # seconds for a console line the test waits for
SKIPPED_ALL = 77    # exit status when every test was skipped (CTest's SKIP_RETURN_CODE)

SYSOP = ("Demo Sysop", "demo")
ANN = ("Ann Reader", "reader")
CARL = ("Carl Cap", "cap")  # no netmail of his own; the per-user cap is tried on him
FAIL_DELAY = 0.3            # loginFailDelay of every test server

GROUPS = ["fido.netmail", "fido.quorva.talk", "fido.demo.test"]
# The demo node as shipped, seen by the sysop: group -> (count, low, high).
DEMO_COUNTS = {"fido.netmail": (3, 1, 3), "fido.quorva.talk": (12, 1, 12), "fido.demo.test": (2, 1, 2)}
TALK_1 = "<MSGID_2=3A5020=2F1234_65e6f1a2@fidonet.org>"      # QUORVA.TALK #1, Demo Sysop
TALK_3 = "<MSGID_2=3A5020=2F100_65e6fd08@fidonet.org>"       # QUORVA.TALK #3, Max Kern
NETMAIL_1 = "<MSGID_2=3A5020=2F100_65e1a0f3@fidonet.org>"    # Max Kern to Demo Sysop
NETMAIL_3 = "<MSGID_2=3A5020=2F1234.5_65e78b20@fidonet.org>"  # Ann Reader to Demo Sysop

BASE_SETTINGS = [
    "nntpPort 0",
    "nntpGroupPrefix fido.",
    "squishCfg squish.cfg",
    "stateDir state",
    "loginFailDelay %g" % FAIL_DELAY,
    "loginDelayMax 1",
    "nntpMaxPerUser 3",
    "user Demo Sysop,demo,2:5020/1234.0,super",
    "user Ann Reader,reader,2:5020/1234.5",
    "user Carl Cap,cap,2:5020/1234.7",
    "user Twin User,first,2:5020/1234.8",
    "user Twin User,second,2:5020/1234.9",
]


def free_port(host="127.0.0.1"):
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def husky_bin_dir():
    """The folder of the husky tools, or None."""
    folder = os.environ.get("HUSKY_BIN_DIR") or HUSKY_DIR
    if not folder:
        try:
            found = subprocess.run(["bash", os.path.join(HERE, "..", "common", "hpt_husky_dir.sh")],
                                   capture_output=True, text=True, timeout=30)
        except (OSError, subprocess.TimeoutExpired):
            return None
        folder = found.stdout.strip() if found.returncode == 0 else ""
    return folder if folder and os.access(os.path.join(folder, "sqpack"), os.X_OK) else None


_certificates = None


def certificates():
    """The folder of make-cert's test set, made once per run: ca.pem, and server.pem with its
    key for the names localhost, 127.0.0.1 and ::1 (and others the tests here do not use)."""
    global _certificates
    if _certificates is None:
        if not MAKE_CERT:
            raise unittest.SkipTest("no --make-cert: the tests inside TLS need the test certificates")
        folder = tempfile.mkdtemp(prefix="quorva-news-certs-")
        atexit.register(shutil.rmtree, folder, True)
        done = subprocess.run([MAKE_CERT, "test-set", folder], capture_output=True, text=True, timeout=120)
        if done.returncode != 0:
            raise AssertionError("make-cert test-set failed:\n" + done.stdout + done.stderr)
        _certificates = folder
    return _certificates


def certificate_settings():
    """The settings that give the server the test certificate (STARTTLS on the plain port)."""
    folder = certificates()
    return ["tlsCertificate " + os.path.join(folder, "server.pem"), "tlsKey " + os.path.join(folder, "server.key")]


def trusting_test_ca():
    """A client's context that trusts the test CA and nothing else, and checks the name."""
    return ssl.create_default_context(cafile=os.path.join(certificates(), "ca.pem"))


# --- the server -----------------------------------------------------------------------

class NewsServer:
    """The real server on a copy of the demo node, its console kept line by line."""

    def __init__(self, extra_settings=(), address="127.0.0.1", prepare=None):
        self.folder = tempfile.mkdtemp(prefix="quorva-news-")
        shutil.copytree(DEMO, self.folder, dirs_exist_ok=True)
        if prepare:
            prepare(self.folder)
        self.address = address
        self.extra = list(extra_settings)
        self.proc = None
        self.lines = []            # (stream, text) in the order read
        self.changed = threading.Condition()
        self.nntp_port = None
        self.nntps_port = None  # with nntpsPort in the settings

    def start(self):
        for _attempt in range(5):
            self.lines = []
            settings = os.path.join(self.folder, "news.INI")
            with open(settings, "w", encoding="utf-8") as f:
                f.write("listenPort %d\nlistenAddress %s\n" % (free_port(self.address), self.address))
                f.write("\n".join(BASE_SETTINGS + self.extra) + "\n")
            os.chmod(settings, 0o600)
            self.proc = subprocess.Popen([SERVER, "-c", settings], cwd=self.folder, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            self.readers = [threading.Thread(target=self._read, args=(pipe, name), daemon=True)
                            for pipe, name in ((self.proc.stdout, "out"), (self.proc.stderr, "err"))]
            for r in self.readers:
                r.start()
            # The NNTPS port's line follows the news door's when the settings name one.
            wants_tls = any(setting.startswith("nntpsPort") for setting in self.extra)
            self.nntp_port = self._port_after(r"news door: \d+ groups?, listening on ")
            self.nntps_port = self._port_after(r"news door over TLS: listening on ") if wants_tls else None
            if self.nntp_port and (self.nntps_port or not wants_tls) and self.proc.poll() is None:
                return
            self.stop()
            if "bind" not in self.console("err"):  # only a port taken meanwhile is tried again
                break
        raise AssertionError("the server did not start:\n" + self.console())

    def _port_after(self, prefix):
        """The port of the console line `prefix` ADDRESS:PORT; 0 when it did not come."""
        line = self.wait_line(prefix + r"\S+", START_WAIT, stream="out")
        found = line and re.search(prefix + r"\S*:(\d+)", line)
        return int(found.group(1)) if found else 0

    def _read(self, pipe, name):
        for raw in pipe:
            with self.changed:
                self.lines.append((name, raw.decode("utf-8", "replace").rstrip("\r\n")))
                self.changed.notify_all()
        with self.changed:
            self.lines.append((name, None))  # the end of that stream
            self.changed.notify_all()

    def mark(self):
        with self.changed:
            return len(self.lines)

    def wait_line(self, pattern, limit=LINE_WAIT, since=0, stream=None):
        """The first console line from `since` on that matches; None when none came in time."""
        expression = re.compile(pattern)
        deadline = time.monotonic() + limit
        with self.changed:
            while True:
                ended = 0
                for name, text in self.lines[since:]:
                    if stream and name != stream:
                        continue
                    if text is None:
                        ended += 1
                    elif expression.search(text):
                        return text
                if ended == (1 if stream else 2):
                    return None
                left = deadline - time.monotonic()
                if left <= 0:
                    return None
                self.changed.wait(left)

    def console(self, stream=None):
        with self.changed:
            return "\n".join(t for n, t in self.lines if t is not None and (stream is None or n == stream))

    def stop(self):
        """Stops the server; its exit status (None when it was not running)."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for r in self.readers:
            r.join(timeout=30)
        self.proc.stdout.close()
        self.proc.stderr.close()
        status, self.proc = self.proc.returncode, None
        return status

    def remove(self):
        self.stop()
        shutil.rmtree(self.folder, ignore_errors=True)

    def finish(self):
        """Stops and removes the server; it must have exited with 0, as after any SIGTERM (a
        sanitizer's finding makes it exit otherwise)."""
        status = self.stop()
        errors = self.console("err")
        self.remove()
        if status not in (0, None):
            raise AssertionError("the server exited with %s after SIGTERM:\n%s" % (status, errors[-3000:]))


# --- clients --------------------------------------------------------------------------

class Raw:
    """NNTP over a socket of its own: one command line, its status line, its block. Inside TLS
    from the first byte with `context` (NNTPS), or after STARTTLS."""

    def __init__(self, port, host="127.0.0.1", source=None, context=None):
        self.sock = socket.create_connection((host, port), timeout=REPLY_WAIT,
                                             source_address=(source, 0) if source else None)
        self.file = self.sock.makefile("rb")
        if context:
            self.wrap(context, host)
        self.greeting = self.line()

    def wrap(self, context, hostname):
        """The handshake on this connection; what follows goes inside TLS. `hostname` is the
        name the server's certificate must carry."""
        self.file.close()
        self.sock = context.wrap_socket(self.sock, server_hostname=hostname)
        self.file = self.sock.makefile("rb")

    def starttls(self, context, hostname="127.0.0.1"):
        """STARTTLS, and the handshake after its 382; the status line."""
        status = self.cmd("STARTTLS")
        if status.startswith("382"):
            self.wrap(context, hostname)
        return status

    def line(self):
        raw = self.file.readline()
        if not raw:
            raise ConnectionError("the server closed the connection")
        return raw.decode("utf-8", "replace").rstrip("\r\n")

    def send(self, data):
        self.sock.sendall(data)

    def cmd(self, text):
        self.send(text.encode("utf-8") + b"\r\n")
        return self.line()

    def block(self):
        lines = []
        while True:
            line = self.line()
            if line == ".":
                return lines
            lines.append(line[1:] if line.startswith("..") else line)

    # The replies that a block follows (211 only after LISTGROUP).
    BLOCK_REPLIES = ("100", "101", "215", "220", "221", "222", "224", "225", "231")

    def long(self, text):
        """A command that answers with a block: (status line, lines); no lines on a refusal."""
        status = self.cmd(text)
        listgroup = status.startswith("211") and text.upper().startswith("LISTGROUP")
        return status, (self.block() if status[:3] in self.BLOCK_REPLIES or listgroup else [])

    def login(self, user, password):
        status = self.cmd("AUTHINFO USER " + user)
        if status.startswith("381"):
            status = self.cmd("AUTHINFO PASS " + password)
        return status

    def quit(self):
        """QUIT, and the connection closed as a reader closes it (a closing session holds its
        place among the logins waiting until the reader has gone)."""
        status = self.cmd("QUIT")
        ended = self.at_end()
        self.close()
        return status == "205 Bye" and ended

    def at_end(self):
        """True when the server closed the connection (nothing more arrives)."""
        return self.file.read(1) == b""

    def close(self):
        self.file.close()
        self.sock.close()


def header_fields(lines):
    """The header lines of an article as {lower-case name: [values]}, continuations unfolded."""
    fields, last = {}, None
    for line in lines:
        if isinstance(line, bytes):
            line = line.decode("utf-8", "replace")
        if line == "":
            break
        if line[:1] in (" ", "\t") and last is not None:
            fields[last][-1] += line
            continue
        name, _, value = line.partition(":")
        last = name.strip().lower()
        fields.setdefault(last, []).append(value.strip())
    return fields


def split_article(lines):
    """(header fields, body lines as text) of ARTICLE's lines."""
    blank = lines.index(b"")
    return header_fields(lines[:blank]), [l.decode("utf-8") for l in lines[blank + 1:]]


class ServerTest(unittest.TestCase):
    """A test class with one server for all its tests."""

    SETTINGS = ()
    server = None

    @classmethod
    def prepare(cls, folder):
        """Changes the copy of the demo node before the server starts."""

    @classmethod
    def setUpClass(cls):
        cls.server = NewsServer(cls.SETTINGS, prepare=cls.prepare)
        try:
            cls.server.start()
        except BaseException:
            cls.server.remove()
            raise

    @classmethod
    def tearDownClass(cls):
        cls.server.finish()

    def news(self, who=SYSOP):
        """An nntplib session logged in as `who` (a name and password), closed after the test."""
        client = nntplib.NNTP("127.0.0.1", self.server.nntp_port, user=who[0], password=who[1],
                              timeout=REPLY_WAIT)
        self.addCleanup(self._quit, client)
        return client

    def raw(self, who=None):
        client = Raw(self.server.nntp_port)
        self.addCleanup(client.close)
        if who:
            self.assertTrue(client.login(*who).startswith("281"), "login of %s" % who[0])
        return client

    @staticmethod
    def _quit(client):
        try:
            client.quit()
        except (nntplib.NNTPError, OSError, EOFError, ValueError, AttributeError):
            pass

    def counts(self, client, group):
        _resp, count, low, high, _name = client.group(group)
        return count, low, high


# --- every command ---------------------------------------------------------------------

class Commands(ServerTest):
    """The reader commands on the demo node as shipped, read by the sysop."""

    def test_capabilities_before_and_after_login(self):
        c = self.raw()
        status, before = c.long("CAPABILITIES")
        self.assertTrue(status.startswith("101"), status)
        for line in ("VERSION 2", "READER", "AUTHINFO USER", "HDR", "OVER MSGID",
                     "LIST ACTIVE NEWSGROUPS OVERVIEW.FMT HEADERS"):
            self.assertIn(line, before)
        self.assertNotIn("POST", before)
        self.assertTrue(any(l.startswith("IMPLEMENTATION ") for l in before), before)
        self.assertTrue(c.login(*SYSOP).startswith("281 Authentication accepted (Posting Allowed)"))
        _status, after = c.long("CAPABILITIES")
        self.assertIn("POST", after)
        self.assertFalse([l for l in after if l.startswith("AUTHINFO")], after)
        for lines in (before, after):
            self.assertFalse([l for l in lines if "NEWNEWS" in l or l.startswith(("IHAVE", "STREAMING"))])

    def test_mode_reader_date_help_before_login(self):
        c = self.raw()
        self.assertTrue(c.cmd("MODE READER").startswith("200"))
        self.assertTrue(c.cmd("mode reader").startswith("200"), "commands count in any letter case")
        date = c.cmd("DATE")
        self.assertRegex(date, r"^111 \d{14}$")
        told = datetime.datetime.strptime(date[4:], "%Y%m%d%H%M%S").replace(tzinfo=datetime.timezone.utc)
        self.assertLess(abs((told - datetime.datetime.now(datetime.timezone.utc)).total_seconds()), 120)
        status, text = c.long("HELP")
        self.assertTrue(status.startswith("100"), status)
        for command in ("ARTICLE", "AUTHINFO USER", "GROUP", "LISTGROUP", "OVER", "XOVER", "XHDR", "POST", "QUIT"):
            self.assertTrue(any(command in l for l in text), "HELP lacks %s" % command)
        self.assertTrue(c.login(*SYSOP).startswith("281"))
        self.assertTrue(c.cmd("MODE READER").startswith("200"))
        self.assertEqual(c.cmd("QUIT"), "205 Bye")
        self.assertTrue(c.at_end(), "the connection stays open after QUIT")

    def test_reading_commands_need_login(self):
        c = self.raw()
        for command in ("LIST", "LIST NEWSGROUPS", "GROUP fido.demo.test", "LISTGROUP fido.demo.test",
                        "ARTICLE 1", "HEAD 1", "BODY 1", "STAT 1", "ARTICLE " + TALK_1, "NEXT", "LAST",
                        "OVER 1-2", "XOVER 1-2", "HDR Subject 1-2", "XHDR Subject 1-2",
                        "NEWGROUPS 19900101 000000 GMT", "POST"):
            with self.subTest(command=command):
                self.assertEqual(c.cmd(command), "480 Authentication required")
        self.assertTrue(c.cmd("DATE").startswith("111"), "the session goes on")

    def test_unknown_commands_and_long_lines(self):
        c = self.raw(SYSOP)
        self.assertTrue(c.cmd("FROBNICATE now").startswith("500"))
        self.assertTrue(c.cmd("NEWNEWS * 19900101 000000").startswith("500"), "NEWNEWS is not served")
        self.assertTrue(c.cmd("IHAVE <a@b>").startswith("500"))
        self.assertTrue(c.cmd("").startswith("500"))
        # "MODE READER" padded with blanks to a line of n bytes, its CRLF included.
        for size, code in ((512, "200"), (513, "501"), (514, "501"), (600, "501"), (5000, "501")):
            with self.subTest(bytes=size):
                c.send(b"MODE READER" + b" " * (size - 13) + b"\r\n")
                self.assertTrue(c.line().startswith(code), "a line of %d bytes" % size)
                self.assertTrue(c.cmd("DATE").startswith("111"), "the session goes on")
        # A long line in two pieces, the first one after a command that is answered.
        c.send(b"DATE\r\nMODE READER" + b" " * 400)
        self.assertTrue(c.line().startswith("111"))
        c.send(b" " * 400 + b"\r\n")
        self.assertTrue(c.line().startswith("501"))
        self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("211 2 1 2"))

    def test_list_with_wildmats(self):
        c = self.raw(SYSOP)
        status, active = c.long("LIST")
        self.assertTrue(status.startswith("215"), status)
        self.assertEqual(sorted(active), sorted("%s %d %d y" % (g, DEMO_COUNTS[g][2], DEMO_COUNTS[g][1])
                                               for g in GROUPS))
        self.assertEqual(c.long("LIST ACTIVE")[1], active)
        for wildmat, expected in (("fido.*.test", ["fido.demo.test"]),
                                  ("fido.*,!fido.netmail", ["fido.quorva.talk", "fido.demo.test"]),
                                  ("*talk,*mail", ["fido.netmail", "fido.quorva.talk"]),
                                  ("?ido.demo.tes?", ["fido.demo.test"]),
                                  ("alt.*", [])):
            with self.subTest(wildmat=wildmat):
                _s, lines = c.long("LIST ACTIVE " + wildmat)
                self.assertEqual(sorted(l.split()[0] for l in lines), sorted(expected))
                _s, lines = c.long("LIST NEWSGROUPS " + wildmat)
                self.assertEqual(sorted(l.split("\t")[0] for l in lines), sorted(expected))
        _s, described = c.long("LIST NEWSGROUPS")
        self.assertEqual(sorted(described), sorted(["fido.netmail\tNETMAIL (netmail)",
                                                    "fido.quorva.talk\tQUORVA.TALK (echomail)",
                                                    "fido.demo.test\tDEMO.TEST (echomail)"]))
        self.assertTrue(c.cmd("LIST DISTRIBUTIONS").startswith("503"))

    def test_list_overview_fmt_and_headers(self):
        c = self.raw(SYSOP)
        status, lines = c.long("LIST OVERVIEW.FMT")
        self.assertTrue(status.startswith("215"), status)
        self.assertEqual(lines, ["Subject:", "From:", "Date:", "Message-ID:", "References:", "Bytes:", "Lines:"])
        status, lines = c.long("LIST HEADERS")
        self.assertTrue(status.startswith("215"), status)
        self.assertEqual(lines, [":", ":bytes", ":lines"])

    def test_group_and_listgroup(self):
        n = self.news()
        for group in GROUPS:
            self.assertEqual(self.counts(n, group), DEMO_COUNTS[group])
        c = self.raw(SYSOP)
        self.assertTrue(c.cmd("GROUP fido.no.such").startswith("411"))
        self.assertTrue(c.cmd("GROUP").startswith("501"))
        self.assertTrue(c.cmd("LISTGROUP").startswith("412"), "LISTGROUP without a group selected")
        for argument, numbers in (("fido.quorva.talk", range(1, 13)), ("fido.quorva.talk 3-5", [3, 4, 5]),
                                  ("fido.quorva.talk 10-", [10, 11, 12]), ("fido.quorva.talk 7", [7]),
                                  ("fido.quorva.talk 13-", []), ("fido.quorva.talk 5-3", []),
                                  ("fido.netmail 2-9", [2, 3]), ("fido.demo.test", [1, 2])):
            with self.subTest(listgroup=argument):
                status, lines = c.long("LISTGROUP " + argument)
                group = argument.split()[0]
                count, low, high = DEMO_COUNTS[group]
                self.assertEqual(status, "211 %d %d %d %s list follows" % (count, low, high, group))
                self.assertEqual(lines, [str(i) for i in numbers])
        status, lines = c.long("LISTGROUP")
        self.assertEqual(lines, ["1", "2"], "LISTGROUP of the selected group")
        self.assertTrue(c.cmd("LISTGROUP fido.demo.test x-y").startswith("501"))

    def test_article_head_body_stat(self):
        """By number and by Message-ID, in an echomail (Squish) and the netmail (*.MSG) group."""
        n = self.news()
        for group, number, message_id, subject in (("fido.quorva.talk", 1, TALK_1, "Welcome to QUORVA.TALK"),
                                                   ("fido.netmail", 1, NETMAIL_1, "Link request")):
            with self.subTest(group=group):
                n.group(group)
                resp, art = n.article(number)
                self.assertEqual(resp, "220 %d %s" % (number, message_id))
                fields, body = split_article(art.lines)
                self.assertEqual(fields["message-id"], [message_id])
                self.assertEqual(fields["subject"], [subject])
                self.assertEqual(fields["newsgroups"], [group])
                self.assertEqual(fields["xref"], ["fidonet.org %s:%d" % (group, number)])
                self.assertEqual(fields["content-type"][0].split(";")[0], "text/plain")
                self.assertIn("x-ftn-msgid", fields)
                self.assertTrue(body, "an empty body")
                resp, head = n.head(number)
                self.assertEqual(resp, "221 %d %s" % (number, message_id))
                self.assertEqual(head.lines, art.lines[:art.lines.index(b"")])
                resp, text = n.body(number)
                self.assertEqual(resp, "222 %d %s" % (number, message_id))
                self.assertEqual(text.lines, art.lines[art.lines.index(b"") + 1:])
                self.assertEqual(n.stat(number)[:2], ("223 %d %s" % (number, message_id), number))
                # By Message-ID: number 0, the same article, in any selected group.
                n.group("fido.demo.test")
                resp, by_id = n.article(message_id)
                self.assertEqual(resp, "220 0 " + message_id)
                self.assertEqual(by_id.lines, art.lines)
                self.assertEqual(n.head(message_id)[1].lines, head.lines)
                self.assertEqual(n.body(message_id)[1].lines, text.lines)
                self.assertEqual(n.stat(message_id)[0], "223 0 " + message_id)
        # A body in CP866 (its CHRS kludge) arrives as UTF-8.
        n.group("fido.quorva.talk")
        _resp, body = n.body(8)
        self.assertIn("Привет, Max!", [l.decode("utf-8") for l in body.lines])

    def test_refusals_of_article_commands(self):
        c = self.raw(SYSOP)
        self.assertTrue(c.cmd("STAT 1").startswith("412"), "no group selected")
        self.assertTrue(c.cmd("NEXT").startswith("412"))
        self.assertTrue(c.cmd("ARTICLE").startswith("412"))
        self.assertTrue(c.cmd("OVER 1-2").startswith("412"))
        self.assertTrue(c.cmd("STAT " + TALK_1).startswith("223 0 "), "a Message-ID needs no group")
        self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("211"))
        for command in ("ARTICLE 99", "HEAD 99", "BODY 99", "STAT 99", "STAT 0"):
            with self.subTest(command=command):
                self.assertTrue(c.cmd(command).startswith("423"))
        for command in ("ARTICLE <nowhere@example.org>", "HEAD <MSGID_2=3A5020=2F100_deadbeef@fidonet.org>",
                        "BODY <NOMSGID_DEMO.TEST_1_12345678@fidonet.org>", "STAT <x@y>"):
            with self.subTest(command=command):
                self.assertTrue(c.cmd(command).startswith("430"))
        self.assertTrue(c.cmd("STAT abc").startswith("501"))
        self.assertTrue(c.cmd("OVER 50-60").startswith("423"))
        # A group with no article the user sees: no current article (420).
        d = self.raw(CARL)
        self.assertEqual(d.cmd("GROUP fido.netmail"), "211 0 4 3 fido.netmail")
        for command in ("STAT", "ARTICLE", "NEXT", "LAST", "OVER", "HDR Subject"):
            with self.subTest(command=command):
                self.assertTrue(d.cmd(command).startswith("420"))

    def test_next_and_last(self):
        c = self.raw(SYSOP)
        self.assertTrue(c.cmd("GROUP fido.quorva.talk").startswith("211 12 1 12"))
        self.assertTrue(c.cmd("LAST").startswith("422"))
        self.assertEqual(c.cmd("STAT"), "223 1 " + TALK_1, "GROUP makes the first article current")
        seen = [1]
        while True:
            status = c.cmd("NEXT")
            if status.startswith("421"):
                break
            self.assertRegex(status, r"^223 \d+ <[^>]+>$")
            seen.append(int(status.split()[1]))
        self.assertEqual(seen, list(range(1, 13)))
        self.assertTrue(c.cmd("STAT").startswith("223 12 "))
        self.assertTrue(c.cmd("LAST").startswith("223 11 "))
        self.assertTrue(c.cmd("STAT 3").startswith("223 3 "))
        self.assertEqual(c.cmd("NEXT").split()[:2], ["223", "4"], "STAT by number makes it current")
        self.assertTrue(c.cmd("GROUP fido.netmail").startswith("211"))
        self.assertTrue(c.cmd("NEXT").startswith("223 2 "), "NEXT in the *.MSG folder")

    def test_over_and_xover_match_the_articles(self):
        """Every field of every overview line, Bytes and Lines as ARTICLE really sends them."""
        n = self.news()
        c = self.raw(SYSOP)
        for group in GROUPS:
            with self.subTest(group=group):
                _count, low, high = self.counts(n, group)
                _resp, lines = n.xover(low, high)
                self.assertEqual([l[0] for l in lines], list(range(low, high + 1)))
                self.assertTrue(c.cmd("GROUP " + group).startswith("211"))
                status, over = c.long("OVER %d-%d" % (low, high))
                self.assertTrue(status.startswith("224"), status)
                _s, xover = c.long("XOVER %d-" % low)
                self.assertEqual(over, xover)
                for line, (number, fields) in zip(over, lines):
                    raw_fields = line.split("\t")
                    self.assertEqual(len(raw_fields), 8, line)
                    self.assertEqual(raw_fields[0], str(number))
                    _resp, art = n.article(number)
                    head, body = split_article(art.lines)
                    for name in ("subject", "from", "date", "message-id", "references"):
                        self.assertEqual(fields[name], head.get(name, [""])[0], "%s of %d" % (name, number))
                    sent = sum(len(l) + 2 for l in art.lines)
                    self.assertEqual((int(fields[":bytes"]), int(fields[":lines"])), (sent, len(body)),
                                     "Bytes and Lines of %d" % number)
                    status, one = c.long("OVER " + fields["message-id"])
                    self.assertEqual(one, ["0\t" + "\t".join(raw_fields[1:])], "OVER by Message-ID")
        self.assertTrue(c.cmd("GROUP fido.quorva.talk").startswith("211"))
        status, current = c.long("OVER")
        self.assertEqual([l.split("\t")[0] for l in current], ["1"], "OVER of the current article")

    def test_hdr_and_xhdr(self):
        n = self.news()
        n.group("fido.quorva.talk")
        subjects = {num: n.head(num)[1] for num in (2, 3, 4)}
        c = self.raw(SYSOP)
        self.assertTrue(c.cmd("GROUP fido.quorva.talk").startswith("211"))
        status, hdr = c.long("HDR Subject 2-4")
        self.assertTrue(status.startswith("225"), status)
        self.assertEqual(hdr, ["%d %s" % (num, header_fields(h.lines)["subject"][0]) for num, h in subjects.items()])
        status, xhdr = c.long("XHDR subject 2-4")
        self.assertTrue(status.startswith("221"), status)
        self.assertEqual(xhdr, hdr, "XHDR gives what HDR gives, the field in any letter case")
        _s, refs = c.long("HDR References 1-2")
        self.assertEqual(refs, ["1 ", "2 " + TALK_1], "a field an article lacks is empty")
        _s, sizes = c.long("HDR :bytes 2-3")
        _s, lines = c.long("HDR :lines 2-3")
        _resp, over = n.xover(2, 3)
        self.assertEqual(sizes, ["%d %s" % (num, o[":bytes"]) for num, o in over])
        self.assertEqual(lines, ["%d %s" % (num, o[":lines"]) for num, o in over])
        _s, one = c.long("HDR Message-ID " + TALK_1)
        self.assertEqual(one, ["0 " + TALK_1])
        _resp, pairs = n.xhdr("from", "1")
        self.assertEqual(pairs, [("1", "Demo Sysop <Demo_Sysop@f1234.n5020.z2.fidonet.org>")])
        self.assertTrue(c.cmd("HDR").startswith("501"))

    def test_newgroups(self):
        c = self.raw(SYSOP)
        status, lines = c.long("NEWGROUPS 19900101 000000 GMT")
        self.assertTrue(status.startswith("231"), status)
        self.assertEqual(sorted(l.split()[0] for l in lines), sorted(GROUPS), "every group is new since 1990")
        self.assertEqual(c.long("NEWGROUPS 900101 000000")[1], lines, "a two-digit year, local time")
        tomorrow = datetime.datetime.now(datetime.timezone.utc) + datetime.timedelta(days=1)
        status, lines = c.long(tomorrow.strftime("NEWGROUPS %Y%m%d %H%M%S GMT"))
        self.assertTrue(status.startswith("231"))
        self.assertEqual(lines, [])
        self.assertTrue(c.cmd("NEWGROUPS yesterday").startswith("501"))


# --- the login ---------------------------------------------------------------------------

class Login(ServerTest):

    def test_names_as_readers_write_them(self):
        for user, password in (("Demo Sysop", "demo"), ("Demo_Sysop", "demo"), ("demo sysop", "demo"),
                               ("DEMO_SYSOP", "demo"), ("Ann_Reader@2:5020/1234.5", "reader"),
                               ("Ann Reader@2:5020/1234.5", "reader"), ("Twin_User@2:5020/1234.8", "first"),
                               ("twin user@2:5020/1234.9", "second"), ("Carl Cap", "cap")):
            with self.subTest(user=user):
                c = self.raw()
                self.assertEqual(c.login(user, password), "281 Authentication accepted (Posting Allowed)")
                self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("211"))
                self.assertTrue(c.quit())

    def test_refused_logins_get_481_after_the_delay(self):
        # name, password, what the console says of it (an unknown name fails like a wrong
        # password for the client)
        for user, password, console in (
                ("Demo Sysop", "wrong", r"user Demo Sysop, 2:5020/1234(\.0)? authentication failed"),
                ("Nobody Here", "demo", r"news user Nobody Here not found"),
                ("Twin User", "first", r"news user Twin User: several users have that name"),
                ("Ann_Reader@2:5020/1234.6", "reader", r"news user Ann_Reader@2:5020/1234\.6 not found"),
                ("Twin_User@2:5020/1234.8", "second", r"user Twin User, 2:5020/1234\.8 authentication failed")):
            with self.subTest(user=user):
                mark = self.server.mark()
                c = self.raw()
                self.assertEqual(c.cmd("AUTHINFO USER " + user), "381 Password required")
                began = time.monotonic()
                self.assertEqual(c.cmd("AUTHINFO PASS " + password), "481 Authentication failed")
                self.assertGreaterEqual(time.monotonic() - began, FAIL_DELAY * 0.9)
                self.assertIsNotNone(self.server.wait_line(console, since=mark), "no console line " + console)
                self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("480"), "still not logged in")
                self.assertTrue(c.login(*ANN).startswith("281"), "the session may log in after all")
                self.assertTrue(c.quit())

    def test_authinfo_out_of_sequence(self):
        c = self.raw()
        self.assertTrue(c.cmd("AUTHINFO PASS demo").startswith("482"))
        self.assertTrue(c.cmd("AUTHINFO SASL PLAIN").startswith("501"))
        self.assertTrue(c.cmd("AUTHINFO USER").startswith("501"))
        self.assertTrue(c.login(*SYSOP).startswith("281"))
        self.assertTrue(c.cmd("AUTHINFO USER Ann_Reader").startswith("502"))

    def test_sessions_per_user(self):
        sessions = [self.raw(CARL) for _ in range(3)]  # nntpMaxPerUser 3
        mark = self.server.mark()
        extra = self.raw()
        self.assertEqual(extra.login(*CARL), "481 Too many connections for this user (at most 3)")
        self.assertIsNotNone(self.server.wait_line(r"Carl Cap, 2:5020/1234.7 already has 3 news sessions",
                                                   since=mark))
        self.assertTrue(self.raw().login(*ANN).startswith("281"), "the cap is per user")
        self.assertTrue(sessions[0].quit())
        self.assertTrue(extra.login(*CARL).startswith("281"), "a session ended makes room")


# --- netmail privacy ----------------------------------------------------------------------

class NetmailPrivacy(ServerTest):

    def test_ann_sees_only_her_own_netmail(self):
        n = self.news(ANN)
        self.assertEqual(self.counts(n, "fido.netmail"), (1, 3, 3))
        _resp, over = n.xover(1, 3)
        self.assertEqual([(num, o["message-id"]) for num, o in over], [(3, NETMAIL_3)])
        _resp, listed = n.list("fido.netmail")
        self.assertEqual([(g.group, g.first, g.last) for g in listed], [("fido.netmail", "3", "3")])
        self.assertEqual(n.article(3)[1].message_id, NETMAIL_3)
        c = self.raw(ANN)
        self.assertTrue(c.cmd("GROUP fido.netmail").startswith("211 1 3 3"))
        _status, numbers = c.long("LISTGROUP")
        self.assertEqual(numbers, ["3"])
        for number in (1, 2):
            self.assertTrue(c.cmd("ARTICLE %d" % number).startswith("423"), "netmail #%d by number" % number)
            self.assertTrue(c.cmd("HEAD %d" % number).startswith("423"))
        for message_id in (NETMAIL_1, "<MSGID_2=3A5020=2F1234_65e1b9a5@fidonet.org>"):
            self.assertTrue(c.cmd("ARTICLE " + message_id).startswith("430"), message_id)
            self.assertTrue(c.cmd("STAT " + message_id).startswith("430"))
        self.assertTrue(c.long("OVER " + NETMAIL_1)[0].startswith("430"))
        self.assertTrue(c.cmd("LAST").startswith("422"), "nothing before her own")
        # Echomail is everyone's.
        self.assertEqual(self.counts(n, "fido.quorva.talk"), (12, 1, 12))

    def test_the_sysop_sees_all_netmail(self):
        n = self.news(SYSOP)
        self.assertEqual(self.counts(n, "fido.netmail"), (3, 1, 3))
        self.assertEqual(n.article(NETMAIL_1)[1].message_id, NETMAIL_1)
        _resp, over = n.xover(1, 3)
        self.assertEqual([num for num, _o in over], [1, 2, 3])


# --- posting ------------------------------------------------------------------------------

def article_text(group, subject, body, headers=()):
    """An article as a newsreader sends it: bytes, CRLF line ends."""
    lines = ["Newsgroups: " + group, "Subject: " + subject, "From: Someone <someone@example.org>"]
    lines += list(headers)
    text = "\r\n".join(lines) + "\r\n\r\n"
    data = text.encode("ascii") + (body if isinstance(body, bytes) else body.encode("utf-8"))
    return data


class Posting(ServerTest):
    """Posts as Ann (and the sysop), each found again through the door."""

    # DEMO.TEST takes Cyrillic (CP866); every other area is in the default CP437.
    SETTINGS = ("areaCharset DEMO.TEST CP866",)
    serial = 0

    def unique_id(self):
        Posting.serial += 1
        return "<post%d.%d@reader.example>" % (Posting.serial, os.getpid())

    def post(self, client, data):
        """The status line of a post: 240, or the refusal's text."""
        try:
            return client.post(data)
        except nntplib.NNTPError as e:
            return str(e)

    def all_counts(self, client):
        return {g: self.counts(client, g) for g in GROUPS}

    def posted(self, client, message_id):
        """The stored post a newsreader's Message-ID finds: (header fields, body lines)."""
        _resp, art = client.article(message_id)
        return split_article(art.lines)

    def test_bodies_in_every_encoding(self):
        n = self.news(ANN)
        cases = [
            # name, extra headers, body bytes, subject as sent, the subject and text stored
            ("8bit UTF-8", ["Content-Type: text/plain; charset=UTF-8", "Content-Transfer-Encoding: 8bit"],
             "Grüße aus Köln, ½ Liter.\r\n\r\nZweiter Absatz.\r\n".encode("utf-8"), "Plain 8bit",
             "Plain 8bit", ["Grüße aus Köln, ½ Liter.", "", "Zweiter Absatz."]),
            ("7bit without MIME headers", [], b"Just ASCII.\r\n.A line starting with a dot.\r\n",
             "No MIME", "No MIME", ["Just ASCII.", ".A line starting with a dot."]),
            ("quoted-printable", ["MIME-Version: 1.0", "Content-Type: text/plain; charset=utf-8",
                                  "Content-Transfer-Encoding: quoted-printable"],
             b"Sch=C3=B6ne Gr=C3=BC=C3=9Fe, a soft=\r\n break.\r\nA=3Db\r\n", "QP",
             "QP", ["Schöne Grüße, a soft break.", "A=b"]),
            ("base64 in Latin-1", ["Content-Type: text/plain; charset=ISO-8859-1",
                                   "Content-Transfer-Encoding: base64"],
             base64.encodebytes("Café crème\r\nà la carte\r\n".encode("latin-1")), "Base64",
             "Base64", ["Café crème", "à la carte"]),
            ("format=flowed", ["Content-Type: text/plain; charset=UTF-8; format=flowed"],
             b"This paragraph was \r\nbroken by the \r\nreader.\r\n> Quoted and \r\n> flowed.\r\n\r\n-- \r\nAnn\r\n",
             "Flowed", "Flowed", ["This paragraph was broken by the reader.", "> Quoted and flowed.", "",
                                  "-- ", "Ann"]),
            ("format=flowed; delsp=yes", ["Content-Type: text/plain; charset=UTF-8; format=flowed; delsp=yes"],
             b"Word split in the mid \r\ndle.\r\n", "Delsp", "Delsp", ["Word split in the middle."]),
            ("RFC 2047 subject", ["Content-Type: text/plain; charset=UTF-8"], b"Text.\r\n",
             "=?UTF-8?Q?Gr=C3=BC=C3=9Fe_?= =?ISO-8859-1?B?YXVzIEv2bG4=?=", "Grüße aus Köln", ["Text."]),
        ]
        before = self.counts(n, "fido.quorva.talk")
        for name, headers, body, subject, stored_subject, stored_text in cases:
            with self.subTest(case=name):
                message_id = self.unique_id()
                data = article_text("fido.quorva.talk", subject, body, headers + ["Message-ID: " + message_id])
                self.assertEqual(self.post(n, data), "240 Article received OK")
                fields, text = self.posted(n, message_id)
                self.assertEqual(nntplib.decode_header(fields["subject"][0]), stored_subject)
                self.assertEqual(text[:len(stored_text)], stored_text)
                self.assertTrue(text[len(stored_text)].startswith("--- "), "the tearline follows the text")
                self.assertRegex(text[-1], r"^ \* Origin: .*\(2:5020/1234\.5\)$")
                self.assertEqual(fields["x-ftn-chrs"], ["CP437 2"])
                self.assertEqual(nntplib.decode_header(fields["from"][0]),
                                 "Ann Reader <Ann_Reader@p5.f1234.n5020.z2.fidonet.org>",
                                 "the sender is the user, whatever From says")
                self.assertEqual(fields["x-comment-to"], ["All"])
                self.assertTrue(fields["x-ftn-msgid"][0].startswith("2:5020/1234.5 "))
        count, low, high = self.counts(n, "fido.quorva.talk")
        self.assertEqual(count, before[0] + len(cases))
        self.assertEqual(high, before[2] + len(cases))

    def test_charset_of_the_area(self):
        n = self.news(ANN)
        message_id = self.unique_id()
        text = "Привет из новостей!"
        data = article_text("fido.demo.test", "Cyrillic", text + "\r\n",
                            ["Content-Type: text/plain; charset=UTF-8", "Message-ID: " + message_id])
        self.assertEqual(self.post(n, data), "240 Article received OK")
        fields, body = self.posted(n, message_id)
        self.assertEqual(fields["x-ftn-chrs"], ["CP866 2"])
        self.assertEqual(body[0], text)
        with open(os.path.join(self.server.folder, "echo", "demotest.SQD"), "rb") as f:
            self.assertIn(text.encode("cp866"), f.read(), "the base holds the text in CP866")
        for group, body_text, subject, named in (
                ("fido.demo.test", "Un café, s'il vous plaît.", "Accent", "U+00E9 'é' in the text (line 1)"),
                ("fido.quorva.talk", "Жук", "Beetle", "U+0416 'Ж' in the text (line 1)"),
                ("fido.quorva.talk", "Fine text", "=?UTF-8?B?0JbRg9C6?=", "U+0416 'Ж' in the subject"),
                ("fido.quorva.talk", "Two lines\r\nthen €", "Euro", "U+20AC '€' in the text (line 2)")):
            with self.subTest(group=group, subject=subject):
                before = self.all_counts(n)
                charset = "CP866" if group == "fido.demo.test" else "CP437"
                data = article_text(group, subject, body_text + "\r\n", ["Content-Type: text/plain; charset=UTF-8"])
                self.assertEqual(self.post(n, data), "441 the character %s cannot be written in %s, the charset "
                                                     "of this group" % (named, charset))
                self.assertEqual(self.all_counts(n), before)

    def test_reply_answers_the_message_it_references(self):
        n = self.news(ANN)
        original, _ = self.posted(n, TALK_3)  # Max Kern's "Squish bases and *.MSG"
        message_id = self.unique_id()
        data = article_text("fido.quorva.talk", "Re: Squish bases and *.MSG", "Answered from a newsreader.\r\n",
                            ["References: <earlier@example.org> " + TALK_3, "Message-ID: " + message_id])
        self.assertEqual(self.post(n, data), "240 Article received OK")
        fields, body = self.posted(n, message_id)
        self.assertEqual(fields["x-ftn-reply"], original["x-ftn-msgid"])
        self.assertEqual(fields["references"], [TALK_3])
        self.assertEqual(fields["x-comment-to"], ["Max Kern"])
        self.assertEqual(body[0], "Answered from a newsreader.")
        # An addressee of the reader's own choosing, without a reply.
        message_id = self.unique_id()
        data = article_text("fido.quorva.talk", "To Ivan", "Hello.\r\n",
                            ["X-Comment-To: =?UTF-8?B?SXZhbiBQZXRyb3Y=?=", "Message-ID: " + message_id])
        self.assertEqual(self.post(n, data), "240 Article received OK")
        fields, _ = self.posted(n, message_id)
        self.assertEqual(fields["x-comment-to"], ["Ivan Petrov"])
        self.assertNotIn("x-ftn-reply", fields)

    def test_netmail(self):
        ann = self.news(ANN)
        sysop = self.news(SYSOP)
        before = self.counts(sysop, "fido.netmail")
        refused = article_text("fido.netmail", "No addressee", "Hello, whoever.\r\n")
        self.assertEqual(self.post(ann, refused), '441 a new netmail needs the addressee as its first line: '
                                                  '"To: Name, Z:N/F.P"')
        self.assertEqual(self.counts(sysop, "fido.netmail"), before)
        # A new netmail names its addressee on its first line.
        message_id = self.unique_id()
        data = article_text("fido.netmail", "Point question", "To: Demo Sysop, 2:5020/1234\r\n\r\nHello boss.\r\n",
                            ["Message-ID: " + message_id])
        self.assertEqual(self.post(ann, data), "240 Article received OK")
        fields, body = self.posted(sysop, message_id)
        self.assertEqual(fields["x-comment-to"], ["Demo Sysop"])
        self.assertEqual(body[0], "Hello boss.", "the To: line and the blank after it leave the text")
        self.assertIn("INTL 2:5020/1234 2:5020/1234", fields["x-ftn-kludge"])
        self.assertIn("FMPT 5", fields["x-ftn-kludge"])
        self.assertEqual(self.counts(sysop, "fido.netmail")[0], before[0] + 1)
        # The sysop's reply goes to its sender, Ann at her point, and only she (and he) sees it.
        reply_id = self.unique_id()
        data = article_text("fido.netmail", "Re: Point question", "Answered.\r\n",
                            ["References: " + message_id, "Message-ID: " + reply_id])
        self.assertEqual(self.post(sysop, data), "240 Article received OK")
        fields, _ = self.posted(ann, reply_id)
        self.assertEqual(fields["x-comment-to"], ["Ann Reader"])
        self.assertEqual(fields["x-ftn-reply"], self.posted(ann, message_id)[0]["x-ftn-msgid"])
        self.assertIn("TOPT 5", fields["x-ftn-kludge"])
        carl = self.news(CARL)
        self.assertEqual(self.counts(carl, "fido.netmail")[0], 0, "Carl sees neither")
        with self.assertRaises(nntplib.NNTPTemporaryError):
            carl.stat(reply_id)

    def test_refused_articles(self):
        n = self.news(ANN)
        for name, data, reason in (
                ("crosspost", article_text("fido.demo.test,fido.quorva.talk", "Both", "x\r\n"),
                 "crossposts are not allowed"),
                ("crosspost with blanks", article_text("fido.demo.test, fido.netmail", "Both", "x\r\n"),
                 "crossposts are not allowed"),
                ("HTML", article_text("fido.demo.test", "Html", "<p>x</p>\r\n", ["Content-Type: text/html"]),
                 "only text/plain articles are taken"),
                ("multipart", article_text("fido.demo.test", "Parts", "--b\r\n\r\nx\r\n--b--\r\n",
                                           ['Content-Type: multipart/mixed; boundary="b"']),
                 "only text/plain articles are taken"),
                ("Supersedes", article_text("fido.demo.test", "New", "x\r\n", ["Supersedes: " + TALK_1]),
                 "Supersedes is not supported: post a new article"),
                ("newgroup", article_text("fido.demo.test", "cmsg newgroup fido.new", "x\r\n",
                                          ["Control: newgroup fido.new"]),
                 "control messages other than cancel are not supported"),
                ("no such group", article_text("fido.no.such", "Where", "x\r\n"), "no such group: fido.no.such"),
                ("empty", b"", "the article is empty"),
                ("blank lines only", b"\r\n\r\n", "the article is empty")):
            with self.subTest(case=name):
                before = self.all_counts(n)
                self.assertEqual(self.post(n, data), "441 " + reason)
                self.assertEqual(self.all_counts(n), before, "nothing is stored")
        self.assertTrue(n.date(), "the session goes on")

    def test_cancel(self):
        ann = self.news(ANN)
        sysop = self.news(SYSOP)
        mine = self.unique_id()
        self.assertEqual(self.post(ann, article_text("fido.demo.test", "Oops", "Sent too soon.\r\n",
                                                     ["Message-ID: " + mine])), "240 Article received OK")
        before = self.counts(ann, "fido.demo.test")
        ours = ann.stat(mine)[2]  # the door's own Message-ID of the post
        cancel = article_text("fido.demo.test", "cancel " + ours, "Cancelled.\r\n", ["Control: cancel " + ours])
        self.assertEqual(self.post(ann, cancel), "240 Article received OK")
        self.assertEqual(self.counts(ann, "fido.demo.test")[0], before[0] - 1)
        for gone in (mine, ours):
            with self.assertRaises(nntplib.NNTPTemporaryError, msg=gone) as refused:
                ann.stat(gone)
            self.assertTrue(str(refused.exception).startswith("430"))
        # Another user's message stays.
        theirs = self.unique_id()
        self.assertEqual(self.post(sysop, article_text("fido.demo.test", "Sysop's", "Mine.\r\n",
                                                       ["Message-ID: " + theirs])), "240 Article received OK")
        theirs_own = sysop.stat(theirs)[2]
        before = self.counts(ann, "fido.demo.test")
        refusal = self.post(ann, article_text("fido.demo.test", "cancel", "x\r\n", ["Control: cancel " + theirs_own]))
        self.assertTrue(refusal.startswith("441 cancel refused"), refusal)
        self.assertEqual(self.counts(ann, "fido.demo.test"), before)
        self.assertEqual(ann.stat(theirs)[2], theirs_own)
        # The sysop may cancel any.
        self.assertEqual(self.post(sysop, article_text("fido.demo.test", "cancel", "x\r\n",
                                                       ["Control: cancel " + theirs_own])), "240 Article received OK")
        self.assertEqual(self.counts(ann, "fido.demo.test")[0], before[0] - 1)

    def test_cancelled_netmail_number_is_not_given_again(self):
        """A *.MSG folder names the next post after its top file: the door numbers on above it."""
        ann = self.news(ANN)
        first = self.unique_id()
        self.assertEqual(self.post(ann, article_text("fido.netmail", "First", "To: Demo Sysop, 2:5020/1234\r\n\r\n"
                                                     "One.\r\n", ["Message-ID: " + first])), "240 Article received OK")
        _count, _low, high = self.counts(ann, "fido.netmail")
        ours = ann.stat(first)[2]
        self.assertEqual(ann.stat(high)[2], ours, "the post is the top article")
        self.assertEqual(self.post(ann, article_text("fido.netmail", "cancel", "x\r\n", ["Control: cancel " + ours])),
                         "240 Article received OK")
        self.counts(ann, "fido.netmail")  # the door walks the folder without the post
        second = self.unique_id()
        mark = self.server.mark()
        self.assertEqual(self.post(ann, article_text("fido.netmail", "Second", "To: Demo Sysop, 2:5020/1234\r\n\r\n"
                                                     "Two.\r\n", ["Message-ID: " + second])), "240 Article received OK")
        _count, low, new_high = self.counts(ann, "fido.netmail")
        self.assertGreater(new_high, high)
        self.assertGreater(low, high, "every article is numbered above what readers have seen")
        with self.assertRaises(nntplib.NNTPTemporaryError):
            ann.stat(high)
        self.assertEqual(ann.stat(new_high)[2], ann.stat(second)[2])
        self.assertIsNotNone(self.server.wait_line(r"area NETMAIL: its messages were renumbered", since=mark))


# --- a renumbering by the husky packer ----------------------------------------------------

class Renumbering(ServerTest):
    """sqpack packs QUORVA.TALK under the running door after three messages were cancelled."""

    @classmethod
    def setUpClass(cls):
        cls.husky = husky_bin_dir()
        if not cls.husky:
            raise unittest.SkipTest("the husky tools (sqpack) were not found: set HUSKY_BIN_DIR to their folder")
        super().setUpClass()

    @classmethod
    def prepare(cls, folder):
        # The husky tools open a base's files by lower-case names, as their tosser makes them.
        for extension in ("SQD", "SQI", "SQL"):
            name = os.path.join(folder, "echo", "qtalk.")
            if os.path.exists(name + extension):
                os.rename(name + extension, name + extension.lower())

    def sqpack(self):
        folder = self.server.folder
        os.makedirs(os.path.join(folder, "husky-log"), exist_ok=True)
        config = os.path.join(folder, "husky.cfg")
        with open(config, "w", encoding="ascii") as f:
            f.write("address 2:5020/1234\n")
            f.write("logfiledir %s\n" % os.path.join(folder, "husky-log"))
            f.write("echoarea QUORVA.TALK %s -b squish\n" % os.path.join(folder, "echo", "qtalk"))
        done = subprocess.run([os.path.join(self.husky, "sqpack"), "-c", config, "QUORVA.TALK"], cwd=folder,
                              capture_output=True, text=True, timeout=120)
        log = ""
        try:
            with open(os.path.join(folder, "husky-log", "sqpack.log"), encoding="latin-1") as f:
                log = f.read()
        except OSError:
            pass
        self.assertEqual(done.returncode, 0, done.stdout + done.stderr + log)
        self.assertRegex(log, r"new\s+msg:\s+9\b", "sqpack did not pack the base")

    def test_packed_base_gets_numbers_above_the_old_ones(self):
        n = self.news(SYSOP)
        self.assertEqual(self.counts(n, "fido.quorva.talk"), (12, 1, 12))
        _resp, over = n.over((1, 12))
        before = {num: o["message-id"] for num, o in over}
        cancelled = (1, 2, 5)
        for number in cancelled:
            data = article_text("fido.quorva.talk", "cancel", "x\r\n", ["Control: cancel " + before[number]])
            self.assertEqual(n.post(data), "240 Article received OK")
        self.assertEqual(self.counts(n, "fido.quorva.talk"), (9, 3, 12))
        kept = [before[num] for num in sorted(before) if num not in cancelled]

        mark = self.server.mark()
        self.sqpack()
        count, low, high = self.counts(n, "fido.quorva.talk")
        self.assertEqual((count, low, high), (9, 13, 21), "the articles are numbered on above 12")
        warning = self.server.wait_line(r"area QUORVA\.TALK: its messages were renumbered.*numbered from 13 on",
                                        since=mark)
        self.assertIsNotNone(warning, "no console warning:\n" + self.server.console())
        _resp, listed = n.list("fido.quorva.talk")
        self.assertEqual([(g.first, g.last) for g in listed], [("13", "21")])
        _resp, over = n.over((1, 100))
        self.assertEqual([(num, o["message-id"]) for num, o in over], list(zip(range(13, 22), kept)))
        for number in range(1, 13):
            with self.assertRaises(nntplib.NNTPTemporaryError, msg="old number %d" % number):
                n.stat(number)
        self.assertEqual(n.stat(kept[0])[2], kept[0])
        # The numbering outlives the server.
        self._quit(n)
        self.assertEqual(self.server.stop(), 0)
        self.server.start()
        n = self.news(SYSOP)
        self.assertEqual(self.counts(n, "fido.quorva.talk"), (9, 13, 21))
        self.assertEqual(n.stat(15)[2], kept[2])


# --- inside TLS ----------------------------------------------------------------------------

class Tls(ServerTest):
    """The door with the test certificate: NNTPS on nntpsPort, STARTTLS on the plain port."""

    @classmethod
    def setUpClass(cls):
        cls.SETTINGS = certificate_settings() + ["nntpsPort 0"]
        super().setUpClass()

    def nntps(self, who):
        """An nntplib session over NNTPS logged in as `who`, closed after the test."""
        client = nntplib.NNTP_SSL("127.0.0.1", self.server.nntps_port, user=who[0], password=who[1],
                                  ssl_context=trusting_test_ca(), timeout=REPLY_WAIT)
        self.addCleanup(self._quit, client)
        return client

    def raw_nntps(self):
        return self.closing(Raw(self.server.nntps_port, context=trusting_test_ca()))

    def closing(self, client):
        self.addCleanup(client.close)
        return client

    def test_nntps_reads_and_posts(self):
        n = self.nntps(ANN)
        self.assertIn(n.sock.version(), ("TLSv1.2", "TLSv1.3"))
        self.assertIn("POST", n.getcapabilities())
        self.assertEqual(self.counts(n, "fido.quorva.talk"), DEMO_COUNTS["fido.quorva.talk"])
        _resp, over = n.over((1, 3))
        over = dict(over)
        self.assertEqual((over[1]["message-id"], over[3]["message-id"]), (TALK_1, TALK_3))
        resp, art = n.article(3)
        self.assertEqual(resp, "220 3 " + TALK_3)
        self.assertEqual(header_fields(art.lines)["subject"], [over[3]["subject"]])
        mine = "<nntps.%d@reader.example>" % os.getpid()
        self.assertEqual(n.post(article_text("fido.demo.test", "Sent over NNTPS", "Inside TLS.\r\n",
                                             ["Message-ID: " + mine])), "240 Article received OK")
        count, _low, high = self.counts(n, "fido.demo.test")
        self.assertEqual(count, DEMO_COUNTS["fido.demo.test"][0] + 1)
        _resp, art = n.article(mine)
        fields, body = split_article(art.lines)
        self.assertEqual((fields["subject"], body[0]), (["Sent over NNTPS"], "Inside TLS."))
        _resp, newest = n.over((high, high))
        self.assertEqual(newest[0][1]["message-id"], fields["message-id"][0], "the post is the newest article")

    def test_starttls_then_login(self):
        n = nntplib.NNTP("127.0.0.1", self.server.nntp_port, timeout=REPLY_WAIT)
        self.addCleanup(self._quit, n)
        before = n.getcapabilities()
        self.assertIn("STARTTLS", before)
        self.assertEqual(before.get("AUTHINFO"), ["USER"], "a loopback reader may log in in clear")
        n.starttls(trusting_test_ca())
        after = n.getcapabilities()  # asked anew inside TLS
        self.assertNotIn("STARTTLS", after)
        self.assertEqual(after.get("AUTHINFO"), ["USER"])
        n.login(*ANN)
        self.assertIn(n.sock.version(), ("TLSv1.2", "TLSv1.3"))
        n.group("fido.quorva.talk")
        self.assertEqual(n.stat(1)[2], TALK_1)
        self.assertNotIn("STARTTLS", n.getcapabilities())

    def test_starttls_refused(self):
        bare = NewsServer()  # no certificate
        self.addCleanup(bare.finish)
        bare.start()

        def after_starttls():
            c = self.raw()
            self.assertEqual(c.starttls(trusting_test_ca()), "382 Continue with TLS negotiation")
            return c

        for name, client, reply in (
                ("inside NNTPS", self.raw_nntps, "502 Already using TLS"),
                ("after STARTTLS", after_starttls, "502 Already using TLS"),
                ("after login", lambda: self.raw(SYSOP), "502 STARTTLS is not allowed after authentication"),
                ("without a certificate", lambda: self.closing(Raw(bare.nntp_port)),
                 "580 Can not initiate TLS negotiation (no certificate is configured)")):
            with self.subTest(case=name):
                c = client()
                _status, capabilities = c.long("CAPABILITIES")
                self.assertNotIn("STARTTLS", capabilities)
                self.assertEqual(c.cmd("STARTTLS"), reply)
                self.assertTrue(c.cmd("DATE").startswith("111"), "the session goes on")

    def test_what_came_in_clear_does_not_count_inside_tls(self):
        """A line sent in clear behind STARTTLS, before the handshake, is not taken as if it had
        come inside TLS: no reply to it arrives there, and its AUTHINFO USER has no effect; nor
        has the AUTHINFO USER before STARTTLS."""
        c = self.raw()
        self.assertEqual(c.cmd("AUTHINFO USER Demo_Sysop"), "381 Password required")
        c.send(b"STARTTLS\r\nAUTHINFO USER Demo_Sysop\r\n")
        self.assertEqual(c.line(), "382 Continue with TLS negotiation")
        c.wrap(trusting_test_ca(), "127.0.0.1")
        self.assertTrue(c.cmd("DATE").startswith("111"))
        self.assertEqual(c.cmd("AUTHINFO PASS demo"), "482 Authentication commands issued out of sequence")
        self.assertTrue(c.login(*SYSOP).startswith("281"), "a login sent inside TLS is taken")

# --- AUTHINFO from outside loopback ------------------------------------------------------

OUTSIDE = "198.51.100.7"  # an address of the test's own network namespace (TEST-NET-2)
CLONE_NEWNET = 0x40000000


class PlainAuth(unittest.TestCase):
    """In a network namespace of its own, with OUTSIDE on its loopback device: a client there is
    no loopback peer. The namespace holds nothing but the servers and clients of this test."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0:
            raise unittest.SkipTest("a network namespace of the test's own needs root")
        if not shutil.which("ip"):
            raise unittest.SkipTest("the ip command (iproute2) is missing")
        libc = ctypes.CDLL(None, use_errno=True)
        cls.home = os.open("/proc/self/ns/net", os.O_RDONLY)
        if libc.unshare(CLONE_NEWNET) != 0:
            error = ctypes.get_errno()
            os.close(cls.home)
            raise unittest.SkipTest("no network namespace to be had: %s" % os.strerror(error))
        cls.libc = libc
        try:
            for command in (["ip", "link", "set", "lo", "up"], ["ip", "addr", "add", OUTSIDE + "/32", "dev", "lo"]):
                done = subprocess.run(command, capture_output=True, text=True, timeout=30)
                if done.returncode != 0:
                    raise unittest.SkipTest("%s: %s" % (" ".join(command), done.stderr.strip()))
        except BaseException:
            cls.leave()
            raise

    @classmethod
    def leave(cls):
        cls.libc.setns(cls.home, CLONE_NEWNET)
        os.close(cls.home)

    @classmethod
    def tearDownClass(cls):
        cls.leave()

    def serve(self, settings):
        server = NewsServer(settings, address="0.0.0.0")
        self.addCleanup(server.finish)
        server.start()
        return server

    def client(self, server, source):
        c = Raw(server.nntp_port, host=source, source=source)
        self.addCleanup(c.close)
        return c

    def test_authinfo_in_clear_is_refused_outside_loopback(self):
        server = self.serve([])
        c = self.client(server, OUTSIDE)
        _status, capabilities = c.long("CAPABILITIES")
        self.assertFalse([l for l in capabilities if l.startswith("AUTHINFO")], capabilities)
        self.assertEqual(c.cmd("AUTHINFO USER Demo_Sysop"), "483 Encryption or stronger authentication required")
        self.assertTrue(c.cmd("AUTHINFO PASS demo").startswith("483"))
        self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("480"))
        self.assertTrue(c.cmd("DATE").startswith("111"), "the session goes on")
        home = self.client(server, "127.0.0.1")
        self.assertTrue(home.login(*SYSOP).startswith("281"), "loopback in the same namespace logs in")

    def test_starttls_lets_authinfo_in_from_outside(self):
        server = self.serve(certificate_settings())
        c = self.client(server, OUTSIDE)
        _status, capabilities = c.long("CAPABILITIES")
        self.assertIn("STARTTLS", capabilities)
        self.assertFalse([l for l in capabilities if l.startswith("AUTHINFO")], capabilities)
        self.assertEqual(c.cmd("AUTHINFO USER Demo_Sysop"), "483 Encryption or stronger authentication required")
        # The certificate names localhost, not the address the client reached.
        self.assertEqual(c.starttls(trusting_test_ca(), "localhost"), "382 Continue with TLS negotiation")
        _status, capabilities = c.long("CAPABILITIES")
        self.assertIn("AUTHINFO USER", capabilities)
        self.assertNotIn("STARTTLS", capabilities)
        self.assertTrue(c.login(*SYSOP).startswith("281"))
        self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("211 2 1 2"))
        self.assertIsNotNone(server.wait_line(r"^%s:\d+ .*news user: Demo Sysop" % re.escape(OUTSIDE)),
                             server.console())

    def test_nntp_plain_auth_yes_takes_it_from_anywhere(self):
        server = self.serve(["nntpPlainAuth yes"])
        c = self.client(server, OUTSIDE)
        _status, capabilities = c.long("CAPABILITIES")
        self.assertIn("AUTHINFO USER", capabilities)
        self.assertTrue(c.login(*SYSOP).startswith("281"))
        self.assertTrue(c.cmd("GROUP fido.demo.test").startswith("211 2 1 2"))
        self.assertIsNotNone(server.wait_line(r"^%s:\d+ .*news user: Demo Sysop" % re.escape(OUTSIDE)),
                             "the console names the peer:\n" + server.console())


# --- running -------------------------------------------------------------------------------

def main():
    global SERVER, DEMO, HUSKY_DIR, MAKE_CERT
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0], add_help=False)
    parser.add_argument("--server", required=True, help="the quorva server binary")
    parser.add_argument("--demo", required=True, help="the demo node folder")
    parser.add_argument("--husky-dir", default="", help="the folder of the husky tools")
    parser.add_argument("--make-cert", default="", help="the make-cert program (test certificates)")
    args, rest = parser.parse_known_args()
    SERVER = os.path.abspath(args.server)
    DEMO = os.path.abspath(args.demo)
    HUSKY_DIR = args.husky_dir or None
    MAKE_CERT = os.path.abspath(args.make_cert) if args.make_cert else None
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    result = program.result
    if not result.wasSuccessful():
        return 1
    if result.testsRun > 0 and len(result.skipped) == result.testsRun:
        return SKIPPED_ALL
    if result.testsRun == 0 and result.skipped:  # a class skipped in setUpClass
        return SKIPPED_ALL
    return 0


if __name__ == "__main__":
    sys.exit(main())
