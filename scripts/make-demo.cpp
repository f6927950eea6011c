// Writes the message files of the demo node into a folder (demo/ in the repository):
//   echo/qtalk.SQD/.SQI/.SQL   Squish base of QUORVA.TALK: threads linked by MSGID/REPLY, one
//                              of them three replies deep with messages in CP866 and UTF-8,
//                              and a reply whose original is not in the base
//   echo/demotest.SQD/.SQI/.SQL Squish base of DEMO.TEST: two messages, none read yet
//   netmail/1.MSG ... 3.MSG    *.MSG netmail with INTL/FMPT/MSGID/REPLY kludges
//   netmail/lastread           last-read mark of the netmail area
// The settings file and the tosser configuration beside them are kept by hand. Every
// date and MSGID serial is fixed, so a rebuild gives the same bytes. Build and run it
// with scripts/make-demo.sh.
#include <iconv.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "areas/squish_format.h"
#include "areas/tarnwick_area.h"
#include "support/le.h"
#include "fido/fidodate.h"

namespace {

std::string outDir;

void writeFileOrDie(const std::string& relative, const std::vector<uint8_t>& bytes) {
    std::filesystem::path path = std::filesystem::path(outDir) / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        fprintf(stderr, "make-demo: cannot write %s\n", path.c_str());
        exit(1);
    }
    printf("  %s (%zu bytes)\n", relative.c_str(), bytes.size());
}

std::tm when(int year, int month, int day, int hour, int minute, int second) {
    std::tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return t;
}

const FidoAddr kUplink{2, 5020, 100, 0};
const FidoAddr kNode{2, 5020, 1234, 0};
const FidoAddr kPoint{2, 5020, 1234, 5};
const FidoAddr kNeighbour{2, 5020, 200, 0};  // another downlink of the uplink

// UTF-8 source text in the charset a message declares (iconv's name for it).
std::string encoded(const std::string& utf8, const char* charset) {
    iconv_t cd = iconv_open(charset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        fprintf(stderr, "make-demo: no conversion from UTF-8 to %s\n", charset);
        exit(1);
    }
    std::string out(utf8.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char* outPtr = out.data();
    size_t outLeft = out.size();
    size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
    iconv_close(cd);
    if (r == static_cast<size_t>(-1)) {
        fprintf(stderr, "make-demo: a demo text does not fit %s\n", charset);
        exit(1);
    }
    out.resize(out.size() - outLeft);
    return out;
}

// ---------------------------------------------------------------------------------------
// Squish echomail

struct EchoMessage {
    const char* from;
    const char* to;
    const char* subject;
    FidoAddr orig;
    std::tm written;
    int replyTo;  // index of the message it answers in the same base, -1 for none
    std::string msgId;     // value of the MSGID kludge
    std::string body;      // lines ended by "\r"
    const char* path;      // value of the PATH line
    const char* seenBy;    // value of the SEEN-BY line
    uint32_t attr;
    const char* chrs;          // value of the CHRS kludge; the body is written in its charset
    std::string lostOriginal;  // REPLY value naming a message that is not in the base, or ""
};

// The charset that iconv knows by the CHRS value's name.
const char* iconvCharset(const std::string& chrs) {
    if (chrs.rfind("CP866", 0) == 0) return "CP866";
    if (chrs.rfind("UTF-8", 0) == 0) return "UTF-8";
    return "ISO-8859-1";
}

std::string originText(const FidoAddr& a) {
    if (a == kUplink) return "Uplink of the demo node";
    if (a == kNeighbour) return "Petrov's station";
    return "Quorva demo node";
}

// Control information: a run of kludges with no line ends, closed by one zero byte.
std::string controlOf(const EchoMessage& m, const std::vector<EchoMessage>& all) {
    std::string c = "\x01MSGID: " + m.msgId;
    if (m.replyTo >= 0) c += "\x01REPLY: " + all[size_t(m.replyTo)].msgId;
    if (!m.lostOriginal.empty()) c += "\x01REPLY: " + m.lostOriginal;
    c += "\x01PID: QuorvaDemo 1.0";
    c += "\x01TZUTC: 0300";
    c += std::string("\x01" "CHRS: ") + m.chrs;
    c += '\0';
    return c;
}

std::string textOf(const EchoMessage& m) {
    std::string t = encoded(m.body, iconvCharset(m.chrs));
    t += "--- QuorvaDemo 1.0\r";
    t += " * Origin: " + originText(m.orig) + " (" +
         std::to_string(m.orig.zone) + ":" + std::to_string(m.orig.net) + "/" + std::to_string(m.orig.node) +
         (m.orig.point ? "." + std::to_string(m.orig.point) : "") + ")\r";
    t += std::string("SEEN-BY: ") + m.seenBy + "\r";
    t += std::string("\x01PATH: ") + m.path + "\r";
    t += '\0';
    return t;
}

// lastReadMark: UMSGID of the last message read, written to the .SQL file; -1 for no file.
void writeSquishBase(const std::string& basePath, const std::vector<EchoMessage>& messages, int64_t lastReadMark) {
    std::vector<uint8_t> sqd(kSquishBaseHeaderSize), sqi;
    std::vector<uint32_t> offsets;
    for (size_t i = 0; i < messages.size(); ++i) {
        const EchoMessage& m = messages[i];
        std::string control = controlOf(m, messages);
        std::string text = textOf(m);
        uint32_t offset = uint32_t(sqd.size());
        uint32_t msgLength = uint32_t(kSquishMsgHeaderSize + control.size() + text.size());

        SquishFrameHeader frame;
        frame.frameId = kSquishFrameId;
        frame.prevFrame = offsets.empty() ? 0 : offsets.back();
        frame.nextFrame = i + 1 < messages.size() ? offset + uint32_t(kSquishFrameHeaderSize) + msgLength : 0;
        frame.frameLength = msgLength;
        frame.msgLength = msgLength;
        frame.controlLength = uint32_t(control.size());
        frame.frameType = kSquishFrameNormal;

        SquishMsgHeader h;
        h.attr = m.attr;
        copyField(h.fromName, m.from, sizeof h.fromName);
        copyField(h.toName, m.to, sizeof h.toName);
        copyField(h.subject, m.subject, sizeof h.subject);
        h.origAddr = m.orig;
        h.destAddr = FidoAddr{};
        h.dateWritten = makeStamp(m.written);
        std::tm arrived = m.written;
        arrived.tm_min += 7;  // tossed a few minutes after it was written
        if (arrived.tm_min >= 60) {
            arrived.tm_min -= 60;
            arrived.tm_hour += 1;
        }
        h.dateArrived = makeStamp(arrived);
        h.replyTo = m.replyTo >= 0 ? uint32_t(m.replyTo + 1) : 0;
        size_t replies = 0;
        for (size_t j = 0; j < messages.size() && replies < 9; ++j)
            if (messages[j].replyTo == int(i)) h.replies[replies++] = uint32_t(j + 1);
        h.umsgid = uint32_t(i + 1);
        formatFidoDate(h.dateText, m.written);

        size_t at = sqd.size();
        sqd.resize(at + kSquishFrameHeaderSize + msgLength);
        encodeSquishFrameHeader(frame, sqd.data() + at);
        encodeSquishMsgHeader(h, sqd.data() + at + kSquishFrameHeaderSize);
        memcpy(sqd.data() + at + kSquishFrameAndMsgHeaderSize, control.data(), control.size());
        memcpy(sqd.data() + at + kSquishFrameAndMsgHeaderSize + control.size(), text.data(), text.size());
        offsets.push_back(offset);

        uint8_t record[kSqiRecordSize];
        encodeSqiRecord(sqifile{offset, h.umsgid, squishNameHash(h.toName)}, record);
        sqi.insert(sqi.end(), record, record + kSqiRecordSize);
    }

    SquishBaseHeader base;
    base.headerLength = uint16_t(kSquishBaseHeaderSize);
    base.numMsg = uint32_t(messages.size());
    base.highMsg = base.numMsg;
    base.highWater = 0;
    base.nextUmsgid = base.numMsg + 1;
    copyField(base.baseName, basePath.c_str(), sizeof base.baseName);
    base.beginFrame = offsets.empty() ? 0 : offsets.front();
    base.lastFrame = offsets.empty() ? 0 : offsets.back();
    base.endFrame = uint32_t(sqd.size());
    base.frameHeaderSize = uint16_t(kSquishFrameHeaderSize);
    encodeSquishBaseHeader(base, sqd.data());

    writeFileOrDie(basePath + ".SQD", sqd);
    writeFileOrDie(basePath + ".SQI", sqi);
    if (lastReadMark >= 0) {
        std::vector<uint8_t> sql(4);
        putU32(sql.data(), uint32_t(lastReadMark));
        writeFileOrDie(basePath + ".SQL", sql);
    }
}

// ---------------------------------------------------------------------------------------
// *.MSG netmail

struct NetMessage {
    const char* from;
    const char* to;
    const char* subject;
    FidoAddr orig, dest;
    std::tm written;
    uint16_t attribute;
    uint16_t timesRead;
    std::string msgId;
    std::string reply;  // value of the REPLY kludge, empty for none
    std::string body;
};

std::string addrNoPoint(const FidoAddr& a) {
    return std::to_string(a.zone) + ":" + std::to_string(a.net) + "/" + std::to_string(a.node);
}

void writeNetmail(const std::string& dir, uint16_t number, const NetMessage& m) {
    msgFileHeader h;
    copyField(h.fromUserName, m.from, sizeof h.fromUserName);
    copyField(h.toUserName, m.to, sizeof h.toUserName);
    copyField(h.subject, m.subject, sizeof h.subject);
    formatFidoDate(h.dateTime, m.written);
    h.timesRead = m.timesRead;
    h.destNode = m.dest.node;
    h.origNode = m.orig.node;
    h.origNet = m.orig.net;
    h.destNet = m.dest.net;
    h.destZone = m.dest.zone;
    h.origZone = m.orig.zone;
    h.destPoint = m.dest.point;
    h.origPoint = m.orig.point;
    h.attribute = m.attribute;

    std::string text = "\x01INTL " + addrNoPoint(m.dest) + " " + addrNoPoint(m.orig) + "\r";
    if (m.orig.point) text += "\x01" "FMPT " + std::to_string(m.orig.point) + "\r";
    if (m.dest.point) text += "\x01TOPT " + std::to_string(m.dest.point) + "\r";
    text += "\x01MSGID: " + m.msgId + "\r";
    if (!m.reply.empty()) text += "\x01REPLY: " + m.reply + "\r";
    text += "\x01PID: QuorvaDemo 1.0\r";
    text += m.body;
    text += '\0';

    std::vector<uint8_t> bytes(kMsgFileHeaderSize + text.size());
    encodeMsgFileHeader(h, bytes.data());
    memcpy(bytes.data() + kMsgFileHeaderSize, text.data(), text.size());
    writeFileOrDie(dir + "/" + std::to_string(number) + ".MSG", bytes);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: make-demo FOLDER\n");
        return 1;
    }
    outDir = argv[1];
    printf("make-demo: writing into %s\n", outDir.c_str());

    const uint32_t received = kSquishAttrUmsgidSet;
    const uint32_t localSent = kSquishNewMessageAttr | kSquishAttrSent;

    std::vector<EchoMessage> talk = {
        {"Demo Sysop", "All", "Welcome to QUORVA.TALK", kNode, when(2024, 3, 4, 19, 12, 40), -1,
         "2:5020/1234 65e6f1a2",
         "Hello All,\r\r"
         "this echo is about running a Quorva server next to the tosser: it\r"
         "reads the Squish bases and the netmail folder directly, so readers\r"
         "on other machines see the same messages the node sees.\r\r"
         "Questions and reports welcome.\r\r"
         "Demo\r\r",
         "5020/1234", "5020/100 1234", localSent, "LATIN-1 2", ""},
        {"Ann Reader", "Demo Sysop", "Re: Welcome to QUORVA.TALK", kPoint, when(2024, 3, 5, 8, 31, 2), 0,
         "2:5020/1234.5 65e6da17",
         "Hello Demo!\r\r"
         " DS> Questions and reports welcome.\r\r"
         "Does it need its own copy of the areas, or does it work on the\r"
         "tosser's files as they are?\r\r"
         "Ann\r\r",
         "5020/1234", "5020/100 1234", received, "LATIN-1 2", ""},
        {"Max Kern", "All", "Squish bases and *.MSG", kUplink, when(2024, 3, 5, 11, 2, 55), -1,
         "2:5020/100 65e6fd08",
         "Hi All.\r\r"
         "For the record: echomail here lives in Squish bases (.SQD data,\r"
         ".SQI index, .SQL lastread), netmail in a *.MSG folder, one file\r"
         "per message. Both are read and written in place.\r\r"
         "Max\r\r",
         "5020/100 5020/1234", "5020/100 1234", received, "LATIN-1 2", ""},
        {"Demo Sysop", "Ann Reader", "Re: Welcome to QUORVA.TALK", kNode, when(2024, 3, 5, 12, 47, 19), 1,
         "2:5020/1234 65e70a3c",
         "Hello Ann!\r\r"
         " AR> Does it need its own copy of the areas, or does it work on the\r"
         " AR> tosser's files as they are?\r\r"
         "On the files as they are. Posts get a MSGID with your address and\r"
         "land in the same base the tosser scans.\r\r"
         "Demo\r\r",
         "5020/1234", "5020/100 1234", localSent, "LATIN-1 2", ""},
        {"Ann Reader", "Max Kern", "Re: Squish bases and *.MSG", kPoint, when(2024, 3, 6, 9, 5, 44), 2,
         "2:5020/1234.5 65e8312e",
         "Hello Max!\r\r"
         " MK> Both are read and written in place.\r\r"
         "And the lastread marks? My reader shows three unread here.\r\r"
         "Ann\r\r",
         "5020/1234", "5020/100 1234", received, "LATIN-1 2", ""},
        {"Max Kern", "Ann Reader", "Re: Squish bases and *.MSG", kUplink, when(2024, 3, 6, 17, 20, 3), 4,
         "2:5020/100 65e8a5e1",
         "Hi Ann.\r\r"
         " AR> And the lastread marks?\r\r"
         "Read only: the server counts unread messages from them but never\r"
         "moves them, that stays the job of the reader on the node.\r\r"
         "Max\r\r",
         "5020/100 5020/1234", "5020/100 1234", received, "LATIN-1 2", ""},
        // A thread three replies deep. #9 was written before #8 but tossed after it.
        {"Max Kern", "All", "Charsets in echomail", kUplink, when(2024, 3, 7, 9, 15, 30), -1,
         "2:5020/100 65e95b32",
         "Hi All.\r\r"
         "An echo like this one carries text in more than one charset: the\r"
         "Russian-speaking nets write CP866, older mail is CP437, newer readers\r"
         "write UTF-8. The CHRS kludge says which one a message uses.\r\r"
         "Max\r\r",
         "5020/100 5020/1234", "5020/100 200 1234", received, "LATIN-1 2", ""},
        {"Ivan Petrov", "Max Kern", "Re: Charsets in echomail", kNeighbour, when(2024, 3, 7, 14, 40, 5), 6,
         "2:5020/200 65e9a7f5",
         "Привет, Max!\r\r"
         " MK> The CHRS kludge says which one a message uses.\r\r"
         "В наших эхах почти всё пишется в CP866, с кладжем CHRS: CP866 2.\r"
         "Если читалка его не понимает, вместо букв видна каша.\r\r"
         "Иван\r\r",
         "5020/200 5020/100 5020/1234", "5020/100 200 1234", received, "CP866 2", ""},
        {"Ann Reader", "Max Kern", "Re: Charsets in echomail", kPoint, when(2024, 3, 7, 12, 2, 47), 6,
         "2:5020/1234.5 65e98467",
         "Hello Max!\r\r"
         " MK> newer readers write UTF-8.\r\r"
         "Mine does — and says so in the kludge, so that names like Jürgen\r"
         "or Zoë keep their letters.\r\r"
         "Ann\r\r",
         "5020/1234", "5020/100 200 1234", received, "UTF-8 4", ""},
        {"Max Kern", "Ivan Petrov", "Re: Charsets in echomail", kUplink, when(2024, 3, 7, 18, 25, 10), 7,
         "2:5020/100 65e9dc4e",
         "Hi Ivan.\r\r"
         "So a reader that honours CHRS shows your text right on any terminal,\r"
         "and one that writes it lets yours show mine.\r\r"
         "Max\r\r",
         "5020/100 5020/1234", "5020/100 200 1234", received, "LATIN-1 2", ""},
        {"Ivan Petrov", "Max Kern", "Re: Charsets in echomail", kNeighbour, when(2024, 3, 8, 8, 10, 55), 9,
         "2:5020/200 65eaa03f",
         "Привет, Max!\r\r"
         " MK> So a reader that honours CHRS shows your text right on any terminal,\r\r"
         "Именно так: quorva-client показывает это письмо по-русски.\r\r"
         "Иван\r\r",
         "5020/200 5020/100 5020/1234", "5020/100 200 1234", received, "CP866 2", ""},
        // The message it answers was purged from the base before this one arrived.
        {"Ann Reader", "Ivan Petrov", "Re: Point software", kPoint, when(2024, 3, 8, 10, 30, 0), -1,
         "2:5020/1234.5 65eabe58",
         "Hello Ivan!\r\r"
         " IP> Which point software do you run?\r\r"
         "The husky tools, and Quorva for reading from the laptop.\r\r"
         "Ann\r\r",
         "5020/1234", "5020/100 200 1234", received, "LATIN-1 2", "2:5020/200 65d1c3a0"},
    };
    writeSquishBase("echo/qtalk", talk, 3);  // read up to #3: #4..#6 are unread

    std::vector<EchoMessage> test = {
        {"Max Kern", "All", "Test, please ignore", kUplink, when(2024, 2, 28, 22, 14, 9), -1, "2:5020/100 65dfa0c1",
         "Testing the new link. Please ignore.\r\r", "5020/100 5020/1234", "5020/100 1234", received, "LATIN-1 2", ""},
        {"Demo Sysop", "Max Kern", "Re: Test, please ignore", kNode, when(2024, 2, 29, 7, 58, 30), 0,
         "2:5020/1234 65e02b77", "Arrived fine here.\r\r", "5020/1234", "5020/100 1234", localSent, "LATIN-1 2", ""},
    };
    writeSquishBase("echo/demotest", test, 0);  // nothing read yet

    const uint16_t kPrivate = 0x0001, kReceived = 0x0004, kSent = 0x0008, kLocal = 0x0100;
    std::vector<NetMessage> netmail = {
        {"Max Kern", "Demo Sysop", "Link request", kUplink, kNode, when(2024, 3, 1, 10, 15, 0),
         uint16_t(kPrivate | kReceived), 1, "2:5020/100 65e1a0f3", "",
         "Hello Demo,\r\r"
         "your node is set up as a downlink of 2:5020/100 now; QUORVA.TALK\r"
         "and DEMO.TEST are linked. Tell me if anything is missing.\r\r"
         "Max\r"},
        {"Demo Sysop", "Max Kern", "Re: Link request", kNode, kUplink, when(2024, 3, 1, 12, 2, 41),
         uint16_t(kPrivate | kSent | kLocal), 0, "2:5020/1234 65e1b9a5", "2:5020/100 65e1a0f3",
         "Hello Max,\r\r"
         "both echoes arrive, thank you.\r\r"
         "Demo\r"},
        {"Ann Reader", "Demo Sysop", "Point setup", kPoint, kNode, when(2024, 3, 5, 21, 40, 12),
         uint16_t(kPrivate | kLocal), 0, "2:5020/1234.5 65e78b20", "",
         "Hello Demo,\r\r"
         "my point is polling fine now. Could you also give me the\r"
         "QUORVA.TALK echo?\r\r"
         "Ann\r"},
    };
    for (size_t i = 0; i < netmail.size(); ++i) writeNetmail("netmail", uint16_t(i + 1), netmail[i]);
    std::vector<uint8_t> lastread(2);
    putU16(lastread.data(), 1);  // #1 read: #2 and #3 are unread
    writeFileOrDie("netmail/lastread", lastread);
    return 0;
}
