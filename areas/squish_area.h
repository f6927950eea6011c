// A message area stored as a Squish message base: the .SQD data file (base header and
// message frames), the .SQI index and the .SQL last-read file, shared with the tosser
// and other Squish tools. Messages are named by their UMSGID. Every operation opens the
// files it needs and closes them before it returns; nothing is cached in the object.
#pragma once
#include <cstdint>
#include <string>

#include "areas/echoarea.h"
#include "areas/squish_format.h"
#include "support/array.h"
#include "support/osfile.h"

// Longest usable file name, terminating zero included.
constexpr size_t kSquishMaxPath = 260;

class CSquishArea : public CEchoArea {
public:
    CSquishArea(const char* path, int32_t areaNumber);
    ~CSquishArea() override;

    bool getMsgList(MCArray<pktMsgHeader>& out) override;
    bool getAreaStats(const char* areaPath, uint32_t counts[2]) override;
    bool getMessage(uint32_t msgNumber, MCArray<char>& out) override;
    bool newMessage(pktMessage* record, const char* text, const WallTime& now) override;
    bool deleteMsg(uint32_t msgNumber, const FidoAddr* requester, bool mayDeleteAny) override;

    // Opens the .SQD and .SQI files of basePath for reading and writing, each under the
    // name that exists (upper-case extension first, then lower-case). False, with both
    // closed, when either cannot be opened or the name would not fit.
    [[nodiscard]] bool openBase();
    void closeBase();
    // Reads the whole index into `index`, sorted by UMSGID, in one sequential pass.
    // Records that name no frame (frame offset 0: the blank records other tools leave,
    // zero padding, another writer's unfinished record) are left out.
    [[nodiscard]] bool loadIndex(MCArray<sqifile>& index);
    static int compareUmsgid(const sqifile* a, const sqifile* b);
    // Writes the index record of a new message right after the last record that names a
    // frame: over the first of the records without one that end the index, or after the
    // last whole record when there are none.
    [[nodiscard]] bool appendIndexRecord(uint32_t frameOffset, uint32_t umsgid, const char* toName);

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

protected:
    char basePath[kSquishMaxPath] = {};
    OsFile dataFile;
    OsFile indexFile;

private:
    // Index of the record with the given UMSGID in the sorted index, or -1.
    static int32_t findUmsgid(const MCArray<sqifile>& index, uint32_t umsgid);
    // Finds the index record of a UMSGID in the open index file without loading it whole:
    // a binary search of the file (which Squish writers keep in ascending order), and a
    // scan of every record when that finds nothing, so an index out of order is served too.
    bool findIndexRecord(uint32_t umsgid, sqifile& record);
    // Reads and checks the frame header and message header of a message frame.
    bool readMessageHeaders(uint32_t frameOffset, int64_t fileLength, SquishFrameHeader& frame,
                            SquishMsgHeader& msg);
    // The same, reading into `raw` (at least the two headers long) as many bytes as it
    // holds; `extra` tells how many arrived after the headers.
    bool readMessageHeaders(uint32_t frameOffset, int64_t fileLength, SquishFrameHeader& frame,
                            SquishMsgHeader& msg, uint8_t* raw, size_t rawSize, size_t& extra);
    // Opens the base and takes the writer lock without waiting. When another program holds
    // it, the write is deferred (writeDeferred()) and the result is false.
    bool openBaseForWriting();
    // Before a write, with the lock held. Another writer in the middle of a write shows
    // as its unfinished index record at the end of the index, or as the header's last
    // frame and the last index record out of step by just one link (the frame linked and
    // its record not yet written, or the other way round). The write is then deferred.
    // Out of step in any other way is damage, and the write is refused. Both return true
    // when the write may go on. `maxRecord` is the index record with the highest UMSGID
    // when the caller has the index loaded (nullptr: found on demand).
    bool deferForUnfinishedRecord(const IndexTail& tail);
    bool checkLastFrameAgainstIndex(const SquishBaseHeader& base, const IndexTail& tail, int64_t fileLength,
                                    const sqifile* maxRecord);
    // Refuses the write for damage, naming the base: "Squish base PATH: WHAT".
    bool refuseDamaged(const std::string& what);
    std::string baseLabel() const;
    // Writes one index record at a position counted in records.
    bool writeIndexRecord(int64_t position, const sqifile& record);
};

// Opens base + upper-case extension, or base + lower-case extension when the first does
// not open. `extension` is given in upper case, with its dot (".SQD").
OsFile openSquishFile(const std::string& base, const char* extension, OsFile::Mode mode);
