"""A small Quorva client, written from docs/protocol.md alone.

Standard library only. It packs and unpacks the packet header and the records itself,
answers the login challenge with HMAC-MD5, and expands compressed replies with its own
LZW12 decoder. It shares no code with the server or with the C++ client library.
"""

import hashlib
import hmac
import socket
import struct

# Command ids, client to server.
CID_C_PING = 2
CID_C_LOGOUT = 3
CID_C_GETAREALIST = 4
CID_C_GETMSGLIST = 5
CID_C_GETMESSAGE = 6
CID_C_NEWMESSAGE = 7
CID_C_DELETEMSG = 9
CID_C_HELLO = 10
CID_C_AUTH = 11

# Reply ids, server to client.
CID_S_OK = 0
CID_S_FAIL = 1
CID_S_AREALIST = 2
CID_S_MSGLIST = 3
CID_S_MESSAGE = 4
CID_S_CHALLENGE = 5

REPLY_NAMES = {
    CID_S_OK: "CID_S_OK",
    CID_S_FAIL: "CID_S_FAIL",
    CID_S_AREALIST: "CID_S_AREALIST",
    CID_S_MSGLIST: "CID_S_MSGLIST",
    CID_S_MESSAGE: "CID_S_MESSAGE",
    CID_S_CHALLENGE: "CID_S_CHALLENGE",
}

PKT_SIZE_COMPRESSED = 0x80000000

HEADER = struct.Struct("<II")            # cmd, dataSize
AREA_INFO = struct.Struct("<36sIIi")     # name, msgCount, unreadCount, type
MSG_HEADER = struct.Struct("<I36s36s72sIII")  # msgNumber .. replyHash
ADDR = struct.Struct("<HHHH")            # zone, net, node, point
MESSAGE_TAIL = struct.Struct("<8s8siIH")  # origAddr, destAddr, areaNumber, reserved, attributes
HELLO_SIZE = 84
MESSAGE_SIZE = 186

assert HEADER.size == 8
assert AREA_INFO.size == 48
assert MSG_HEADER.size == 160
assert MSG_HEADER.size + MESSAGE_TAIL.size == MESSAGE_SIZE

AREA_NETMAIL = 1
AREA_ECHOMAIL = 2


class ProtocolError(Exception):
    """The server's bytes do not follow the protocol document."""


class ConnectionClosed(ProtocolError):
    """The server closed the connection."""


# --- text fields and addresses ---------------------------------------------------------

def text_field(text, size):
    """A fixed-size text field: the bytes, NUL-padded; a text that fills it has no NUL."""
    raw = text.encode("latin-1") if isinstance(text, str) else bytes(text)
    return raw[:size].ljust(size, b"\0")


def field_text(raw):
    """The text of a fixed-size field: up to its first NUL, or the whole field."""
    end = raw.find(b"\0")
    return (raw if end < 0 else raw[:end]).decode("latin-1")


def parse_addr(text):
    """zone:net/node[.point] as a tuple of four numbers."""
    zone, rest = text.split(":", 1)
    net, rest = rest.split("/", 1)
    node, _, point = rest.partition(".")
    return (int(zone), int(net), int(node), int(point or 0))


def addr_text(addr):
    return "%d:%d/%d.%d" % tuple(addr)


def pack_addr(addr):
    return ADDR.pack(*addr)


def unpack_addr(raw):
    return tuple(ADDR.unpack(raw))


# --- packed date-time -----------------------------------------------------------------

def unpack_date(value):
    """The packed date-time as (year, month, day, hour, minute, second)."""
    day = value & 0x1F
    month = (value >> 5) & 0x0F
    year = 1980 + ((value >> 9) & 0x7F)
    second = ((value >> 16) & 0x1F) * 2
    minute = (value >> 21) & 0x3F
    hour = (value >> 27) & 0x1F
    return (year, month, day, hour, minute, second)


# --- the kludge hash ------------------------------------------------------------------

def _kludge_crc_table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0xEDB88320 if c & 1 else c >> 1
        table.append(c ^ (0x84 if i < 32 else 0x83))
    return table


_CRC_TABLE = _kludge_crc_table()


def kludge_hash(value):
    """The hash of a MSGID or REPLY value, as msgIdHash and replyHash carry it."""
    c = 0xFFFFFFFF
    for b in value.encode("latin-1") if isinstance(value, str) else value:
        c = (c >> 8) ^ _CRC_TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


# --- LZW12 ------------------------------------------------------------------------------

LZW_CLEAR = 256
LZW_END = 257
LZW_FIRST = 258
LZW_LAST = 4094


def lzw12_decode(stream, expected_length=None, stats=None):
    """Expands an LZW12 stream. Raises ProtocolError for a stream that breaks the rules.
    When `stats` is a dict, it receives the number of codes read at each width and the
    number of clear codes."""
    bits = int.from_bytes(stream, "little")   # bits beyond the last byte read as zero
    total_bits = len(stream) * 8
    pos = 0

    def read(width):
        nonlocal pos
        if pos >= total_bits:
            raise ProtocolError("LZW12 stream ends without the end code")
        code = (bits >> pos) & ((1 << width) - 1)
        pos += width
        return code

    if read(9) != LZW_CLEAR:
        raise ProtocolError("LZW12 stream does not start with the clear code")
    table = [bytes([i]) for i in range(256)] + [b"", b""]
    next_code = LZW_FIRST
    previous = None
    out = bytearray()
    if stats is not None:
        stats.update({9: 1, 10: 0, 11: 0, 12: 0, "clears": 1})
    while True:
        if next_code < 512:
            width = 9
        elif next_code < 1024:
            width = 10
        elif next_code < 2048:
            width = 11
        else:
            width = 12
        code = read(width)
        if stats is not None:
            stats[width] += 1
            stats["clears"] += code == LZW_CLEAR
        if code == LZW_CLEAR:
            del table[LZW_FIRST:]
            next_code = LZW_FIRST
            previous = None
            continue
        if code == LZW_END:
            break
        if previous is None:
            if code > 255:
                raise ProtocolError("LZW12: code %d right after a clear code" % code)
            entry = table[code]
        else:
            if next_code > LZW_LAST - 1:
                raise ProtocolError("LZW12: no clear code after entry %d" % (LZW_LAST - 1))
            if code < next_code:
                entry = table[code]
                table.append(previous + entry[:1])
            elif code == next_code:
                entry = previous + previous[:1]   # the code being defined right now
                table.append(entry)
            else:
                raise ProtocolError("LZW12: code %d beyond the next code %d" % (code, next_code))
            next_code += 1
        out += entry
        if expected_length is not None and len(out) > expected_length:
            raise ProtocolError("LZW12: more data than announced")
        previous = entry
    if len(stream) > (pos + 7) // 8:
        raise ProtocolError("LZW12: %d bytes after the end code" % (len(stream) - (pos + 7) // 8))
    if expected_length is not None and len(out) != expected_length:
        raise ProtocolError("LZW12: %d bytes decoded, %d announced" % (len(out), expected_length))
    return bytes(out)


# --- records ----------------------------------------------------------------------------

def unpack_area_info(raw):
    name, msg_count, unread_count, area_type = AREA_INFO.unpack(raw)
    return {"name": field_text(name), "msgCount": msg_count, "unreadCount": unread_count, "type": area_type}


def unpack_msg_header(raw):
    number, from_name, to_name, subject, date, msgid_hash, reply_hash = MSG_HEADER.unpack(raw)
    return {
        "msgNumber": number,
        "fromName": field_text(from_name),
        "toName": field_text(to_name),
        "subject": field_text(subject),
        "dateWritten": date,
        "msgIdHash": msgid_hash,
        "replyHash": reply_hash,
    }


def pack_message(from_name="", to_name="", subject="", orig=(0, 0, 0, 0), dest=(0, 0, 0, 0),
                 area=0, attributes=0):
    head = MSG_HEADER.pack(0, text_field(from_name, 36), text_field(to_name, 36),
                           text_field(subject, 72), 0, 0, 0)
    return head + MESSAGE_TAIL.pack(pack_addr(orig), pack_addr(dest), area, 0, attributes)


def unpack_message(raw):
    message = unpack_msg_header(raw[:MSG_HEADER.size])
    orig, dest, area, _reserved, attributes = MESSAGE_TAIL.unpack(raw[MSG_HEADER.size:MESSAGE_SIZE])
    message.update(origAddr=unpack_addr(orig), destAddr=unpack_addr(dest), areaNumber=area,
                   attributes=attributes)
    return message


def split_lines(raw):
    """The lines of a fetched message: each is followed by CR and NUL."""
    lines = []
    start = 0
    while start < len(raw):
        end = raw.find(b"\r\0", start)
        if end < 0:
            raise ProtocolError("fetched text does not end with CR NUL: %r" % raw[start:start + 40])
        lines.append(raw[start:end].decode("latin-1"))
        start = end + 2
    return lines


def hello_record(name, addr):
    """84 bytes: the name, 36 zero bytes where no password goes, the address, 4 zero bytes."""
    record = text_field(name, 36) + bytes(36) + pack_addr(addr) + bytes(4)
    assert len(record) == HELLO_SIZE
    return record


def login_digest(password, challenge):
    """HMAC-MD5 of the challenge, keyed with the password zero-padded to 36 bytes."""
    key = text_field(password, 36)
    return hmac.new(key, challenge, hashlib.md5).digest()


# --- the connection ---------------------------------------------------------------------

class Reply:
    def __init__(self, cmd, raw_size, data, stats=None):
        self.cmd = cmd
        self.raw_size = raw_size
        self.data = data
        self.stats = stats  # what the LZW12 decoder met, for a compressed reply

    @property
    def compressed(self):
        return bool(self.raw_size & PKT_SIZE_COMPRESSED)

    @property
    def name(self):
        return REPLY_NAMES.get(self.cmd, "reply %d" % self.cmd)


class Client:
    def __init__(self, host, port, timeout=60.0):
        self.sock = socket.create_connection((host, port), timeout=timeout)
        self.sock.settimeout(timeout)

    def close(self):
        if self.sock is not None:
            self.sock.close()
            self.sock = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def send(self, cmd, data=b""):
        self.sock.sendall(HEADER.pack(cmd, len(data)) + data)

    def _read_exact(self, n):
        chunks = []
        while n > 0:
            chunk = self.sock.recv(min(n, 1 << 16))
            if not chunk:
                raise ConnectionClosed("the server closed the connection")
            chunks.append(chunk)
            n -= len(chunk)
        return b"".join(chunks)

    def read_reply(self):
        cmd, size = HEADER.unpack(self._read_exact(HEADER.size))
        if size & PKT_SIZE_COMPRESSED:
            block = self._read_exact(size & ~PKT_SIZE_COMPRESSED)
            if len(block) < 4:
                raise ProtocolError("compressed block of %d bytes" % len(block))
            (length,) = struct.unpack("<I", block[:4])
            stats = {}
            return Reply(cmd, size, lzw12_decode(block[4:], length, stats), stats)
        return Reply(cmd, size, self._read_exact(size))

    def expect(self, *wanted):
        reply = self.read_reply()
        if reply.cmd not in wanted:
            raise ProtocolError("expected %s, got %s" % (
                " or ".join(REPLY_NAMES.get(w, str(w)) for w in wanted), reply.name))
        return reply

    def wait_closed(self):
        """True when the server closes the connection (anything it still sends is dropped)."""
        try:
            while self.sock.recv(4096):
                pass
            return True
        except (socket.timeout, OSError):
            return False

    # -- login

    def hello(self, name, addr):
        """Sends the hello; returns the 20-byte challenge, or None for CID_S_FAIL."""
        self.send(CID_C_HELLO, hello_record(name, addr))
        reply = self.expect(CID_S_CHALLENGE, CID_S_FAIL)
        if reply.cmd == CID_S_FAIL:
            return None
        if len(reply.data) != 20:
            raise ProtocolError("challenge of %d bytes" % len(reply.data))
        return reply.data

    def answer(self, digest):
        """Sends the 16-byte answer; True for CID_S_OK, False for CID_S_FAIL."""
        self.send(CID_C_AUTH, digest)
        return self.expect(CID_S_OK, CID_S_FAIL).cmd == CID_S_OK

    def login(self, name, password, addr):
        challenge = self.hello(name, addr)
        return challenge is not None and self.answer(login_digest(password, challenge))

    # -- commands

    def ping(self):
        self.send(CID_C_PING)
        self.expect(CID_S_OK)

    def logout(self):
        self.send(CID_C_LOGOUT)
        self.expect(CID_S_OK)

    def get_area_list(self):
        self.send(CID_C_GETAREALIST)
        reply = self.expect(CID_S_AREALIST)
        if len(reply.data) % AREA_INFO.size:
            raise ProtocolError("area list of %d bytes" % len(reply.data))
        return reply, [unpack_area_info(reply.data[i:i + AREA_INFO.size])
                       for i in range(0, len(reply.data), AREA_INFO.size)]

    def get_msg_list(self, area):
        self.send(CID_C_GETMSGLIST, struct.pack("<i", area))
        reply = self.expect(CID_S_MSGLIST)
        if len(reply.data) % MSG_HEADER.size:
            raise ProtocolError("message list of %d bytes" % len(reply.data))
        return reply, [unpack_msg_header(reply.data[i:i + MSG_HEADER.size])
                       for i in range(0, len(reply.data), MSG_HEADER.size)]

    def get_message(self, area, number):
        """(reply, record, lines), or (reply, None, None) for CID_S_FAIL."""
        self.send(CID_C_GETMESSAGE, struct.pack("<iI", area, number))
        reply = self.expect(CID_S_MESSAGE, CID_S_FAIL)
        if reply.cmd == CID_S_FAIL:
            return reply, None, None
        if len(reply.data) < MESSAGE_SIZE:
            raise ProtocolError("message of %d bytes" % len(reply.data))
        return reply, unpack_message(reply.data), split_lines(reply.data[MESSAGE_SIZE:])

    def post(self, record, text):
        """True for CID_S_OK, False for CID_S_FAIL. Lines of `text` end with CR."""
        body = text.encode("latin-1") if isinstance(text, str) else bytes(text)
        self.send(CID_C_NEWMESSAGE, record + body + b"\0")
        return self.expect(CID_S_OK, CID_S_FAIL).cmd == CID_S_OK

    def delete(self, area, number):
        self.send(CID_C_DELETEMSG, struct.pack("<iI", area, number))
        return self.expect(CID_S_OK, CID_S_FAIL).cmd == CID_S_OK
