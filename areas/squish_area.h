// A message area stored as a Squish message base: the .SQD data file (base header and
// message frames), the .SQI index and the .SQL last-read file, shared with the tosser
// and other Squish tools. Messages are named by their UMSGID. Every operation opens the
// files it needs and closes them before it returns; nothing is cached in the object.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "areas/echoarea.h"
#include "areas/squish_format.h"
#include "support/array.h"
#include "support/osfile.h"

// Longest usable file name, terminating zero included.
constexpr size_t kSquishMaxPath = 260;

class CSquishArea : public CEchoArea {
public:
    CSquishArea(const std::string& path, int32_t areaNumber);
    ~CSquishArea() override;

    AreaResult getMsgList(const SummaryVisitor& visit) override;
    AreaResult getAreaStats(AreaStats& stats) override;
    AreaResult getMessage(uint32_t msgNumber, StoredMessage& out) override;
    // The mark is the message's index record: its position in the .SQI file, its UMSGID
    // and frame offset. It is left only where the index holds its records in UMSGID order
    // (as Squish writers keep it), and taken only while that record is still there: the
    // walk then reads the index on from it, in the file's order, without loading the rest.
    // New messages come after it; a delete before it moves it, and the walk finds its
    // place as usual.
    AreaResult readMessages(uint32_t from, const MessageVisitor& visit, WalkMark* mark = nullptr) override;
    AreaResult newMessage(const NewMessage& message, uint32_t& stored) override;
    AreaResult deleteMsg(uint32_t msgNumber, const DeleteCheck& check) override;

    // Opens the .SQD and .SQI files of basePath (for reading and writing unless `mode`
    // says otherwise), each under the name it is found by (squishFilePath). Not ok, with
    // both closed, when either cannot be opened (not found when one is missing) or the
    // name would not fit.
    AreaResult openBase(OsFile::Mode mode = OsFile::Mode::ReadWrite);
    void closeBase();
    // Reads the whole index into `index`, sorted by UMSGID. Records that name no frame
    // (frame offset 0: the blank records other tools leave, zero padding, another writer's
    // unfinished record) are left out.
    [[nodiscard]] bool loadIndex(MCArray<sqifile>& index);
    // The same; `inFileOrder` tells whether the file held the records in UMSGID order
    // already.
    [[nodiscard]] bool loadIndex(MCArray<sqifile>& index, bool& inFileOrder);
    static int compareUmsgid(const sqifile* a, const sqifile* b);

protected:
    char basePath[kSquishMaxPath] = {};
    OsFile dataFile;
    OsFile indexFile;
    // The names the open files were found by, for the reasons of what goes wrong with them.
    std::string dataPath;
    std::string indexPath;

private:
    class LockedBase;

    // The end of the index as a writer needs it: the last record that names a frame, and
    // whether another writer's unfinished record (frame offset 0 with a UMSGID) follows it.
    struct IndexTail {
        bool found = false;  // some record names a frame
        sqifile last;        // the last such record in file order
        int64_t position = -1;
        bool unfinished = false;
        sqifile unfinishedRecord;
        int64_t unfinishedPosition = -1;
    };
    // Reads the index of the open base backwards from its end up to the last record that
    // names a frame.
    [[nodiscard]] bool readIndexTail(IndexTail& tail);
    // Index of the record with the given UMSGID in the sorted index, or -1.
    static int32_t findUmsgid(const MCArray<sqifile>& index, uint32_t umsgid);
    // Finds the index record of a UMSGID in the open index file without loading it whole:
    // a binary search of the file (which Squish writers keep in ascending order), and a
    // scan of every record when that finds nothing, so an index out of order is served too.
    AreaResult findIndexRecord(uint32_t umsgid, sqifile& record);
    // Reads and checks the frame header and message header of the frame of message
    // `umsgid`. Damaged, saying what is wrong with the frame, when it cannot be split into
    // its parts; an I/O error when the read fails.
    AreaResult readMessageHeaders(uint32_t umsgid, uint32_t frameOffset, int64_t fileLength,
                                  SquishFrameHeader& frame, SquishMsgHeader& msg);
    // The same check of the `got` bytes read at the frame (fewer than the two headers
    // where the file ends).
    AreaResult decodeMessageHeaders(uint32_t umsgid, uint32_t frameOffset, int64_t fileLength, const uint8_t* raw,
                                    size_t got, SquishFrameHeader& frame, SquishMsgHeader& msg) const;
    // The control information and text of a frame whose headers were read, into `out`
    // (with its summary).
    AreaResult readMessageBody(uint32_t umsgid, uint32_t frameOffset, const SquishFrameHeader& frame,
                               const SquishMsgHeader& msg, StoredMessage& out);
    // The messages a list shows, of the open base: each index record that names a frame
    // whose headers can be read, ascending by UMSGID. `visit` gets the record, the
    // headers and the bytes read after them; false from it ends the walk. Listing and
    // counting both go through here, so that they always agree.
    struct ListedFrame {
        const sqifile& record;
        const SquishFrameHeader& frame;
        const SquishMsgHeader& msg;
        const uint8_t* after;  // `extra` bytes that followed the headers in the file
        size_t extra;
    };
    // Records below UMSGID `from` are passed over without reading their frames. Frames
    // that lie one after another are read together (64 KiB at most): `extra` may
    // then reach into the frames that follow. With `mark`, see readMessages.
    AreaResult forEachListedFrame(const std::function<bool(const ListedFrame&)>& visit, uint32_t from = 0,
                                  WalkMark* mark = nullptr);
    class FrameReader;
    // The records of `records` in turn, their frames read through `reader`; the index of
    // the record whose visit returned false, or -1.
    int32_t visitFrames(const sqifile* records, int32_t count, FrameReader& reader,
                        const std::function<bool(const ListedFrame&)>& visit);
    // The walk from a mark: the index read from the marked record on while it holds that
    // record and ascending UMSGIDs after it. True when the walk is over: `visit` ended it
    // (the mark is left at its record) or the index did. False when the mark does not fit
    // (nothing was visited then) or the order breaks off; `resumeFrom` is then where a
    // walk of the whole index goes on.
    bool walkFromMark(WalkMark& mark, FrameReader& reader, const std::function<bool(const ListedFrame&)>& visit,
                      uint32_t& resumeFrom);
    // "Squish base PATH".
    std::string baseLabel() const;
    // A write refused for damage, naming the base: "Squish base PATH: WHAT; nothing was written".
    AreaResult damaged(const std::string& what) const;
    // Writes one index record at a position counted in records.
    bool writeIndexRecord(int64_t position, const sqifile& record);
};

// The name under which a base's file with this extension is found: the base path with the
// upper-case extension (".SQD") when a file of that name exists, else with the lower-case
// one. Every reader of a base finds its files this way.
std::string squishFilePath(const std::string& base, const char* extension);
// Opens the file found under that name.
OsFile openSquishFile(const std::string& base, const char* extension, OsFile::Mode mode);
