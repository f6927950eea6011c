// *.MSG directory areas: one directory per area, one file per message named by its
// decimal number with the extension .msg, each file a 190-byte header followed by the
// message text, and a "lastread" file holding the number of the last message read.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "areas/echoarea.h"
#include "support/array.h"
#include "support/osfile.h"

// The stored-message header at the start of every *.MSG file: the FidoNet stored-message
// layout, whose eight spare bytes at 176-183 hold the zone and point numbers. Integers are
// little-endian; the text fields are kept byte for byte as stored (a reader copies them up
// to their first zero byte).
struct msgFileHeader {
    char fromUserName[36] = {};
    char toUserName[36] = {};
    char subject[72] = {};
    char dateTime[20] = {};  // FidoNet date text
    uint16_t timesRead = 0;
    uint16_t destNode = 0;
    uint16_t origNode = 0;
    uint16_t cost = 0;
    uint16_t origNet = 0;
    uint16_t destNet = 0;
    uint16_t destZone = 0;
    uint16_t origZone = 0;
    uint16_t destPoint = 0;
    uint16_t origPoint = 0;
    uint16_t replyTo = 0;
    uint16_t attribute = 0;
    uint16_t nextReply = 0;
};
constexpr size_t kMsgFileHeaderSize = 190;
static_assert(kMsgFileHeaderSize == sizeof msgFileHeader::fromUserName + sizeof msgFileHeader::toUserName +
                                        sizeof msgFileHeader::subject + sizeof msgFileHeader::dateTime + 13 * 2);
void encodeMsgFileHeader(const msgFileHeader& h, uint8_t* out);
msgFileHeader decodeMsgFileHeader(const uint8_t* in);

// Room for the area directory; a longer configured path leaves the area without one.
constexpr size_t kAreaDirectorySize = 260;
// "No last-read mark".
constexpr uint16_t kNoLastRead = 0xFFFF;

class CTarnwickArea : public CEchoArea {
public:
    CTarnwickArea(const std::string& path, int32_t areaNumber);
    ~CTarnwickArea() override = default;

    AreaResult getMsgList(const SummaryVisitor& visit) override;
    AreaResult getAreaStats(AreaStats& stats) override;
    AreaResult getMessage(uint32_t msgNumber, StoredMessage& out) override;
    AreaResult newMessage(const NewMessage& message, uint32_t& stored) override;
    AreaResult deleteMsg(uint32_t msgNumber, const DeleteCheck& check) override;

    // Rebuilds msgNumbers from the *.msg names of the directory (any letter case) that
    // are regular files; symbolic links, FIFOs, directories and other entries are no
    // messages, but their numbers count as taken for new messages.
    virtual void scanDirectory();

    const char* getDirectory() const { return directory; }
    // The numbers found by the last scanDirectory, ascending, without duplicates.
    const CSortedArray<uint16_t>& getMsgNumbers() const { return msgNumbers; }

protected:
    char directory[kAreaDirectorySize];
    CSortedArray<uint16_t> msgNumbers;

private:
    // Where each element of msgNumbers has its message file, in the same order: one of
    // the FileForm values, or kOddCaseName + k for the name oddCaseNames[k] (the number's
    // own name in unusual letter case). Filled by scanDirectory.
    std::vector<int32_t> fileForms;
    std::vector<std::string> oddCaseNames;
    // Numbers that any *.msg entry takes, whatever its kind, and the highest of them
    // (-1 when there is none). Filled by scanDirectory.
    std::vector<bool> takenNumbers;
    int32_t highestTaken = -1;
    // Set when the last scan could not be completed for want of memory, and the error of a
    // folder that could not be listed.
    bool scanIncomplete = false;
    int scanError = 0;
    // What the last scan came to: ok also for a folder that is not there (it holds nothing).
    AreaResult scanResult() const;

    enum FileForm : int32_t { kNoOwnName = -1, kLowerName = 0, kUpperName = 1, kOddCaseName = 2 };

    // Scans the directory; names of entries called "lastread" in any letter case go to
    // `lastreadNames` when it is given.
    void scan(std::vector<std::string>* lastreadNames);
    std::string messageFileName(int32_t index) const;
    std::string pathOf(const std::string& name) const;
    // The messages a list shows, of the last scan, ascending: each number's file under its
    // own name that opens and is as long as a message may be. `visit` gets the number, the
    // open file and its path, and returns false to stop. Listing and counting both go
    // through here, so that they agree.
    AreaResult forEachListedFile(const std::function<bool(uint32_t number, const OsFile& file,
                                                          const std::string& path)>& visit);
    // Opens message `msgNumber`'s file (any letter case, never a symbolic link) for
    // reading; not found when there is none, an I/O error naming the file when it is
    // there but does not open.
    AreaResult openMessageFile(uint32_t msgNumber, OsFile& file, std::string& path);
    // Writes `bytes` under a new temporary name and moves it to the first free message
    // number from `first` on, which `stored` receives. Nothing stays behind when it fails.
    AreaResult storeNewMessage(const std::string& bytes, uint16_t first, uint32_t& stored);
    // "*.MSG folder PATH".
    std::string folderLabel() const;
};
