// FidoNet messages as this server knows them, whatever stores them and whatever door
// serves them: the summary of a message list, a stored message as fetched, a new message
// to store, and what tells whose a message is before it may be deleted.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fido/fidoaddr.h"
#include "fido/fidodate.h"
#include "support/clock.h"

// Sizes of the name and subject fields of stored messages; longer texts are cut there.
constexpr size_t kNameFieldSize = 36;
constexpr size_t kSubjectFieldSize = 72;

// One message of a list.
struct MessageSummary {
    uint32_t number = 0;  // the UMSGID in a Squish base, the file number in a *.MSG folder
    // The stored fields up to their first zero byte (other tools leave stray bytes after
    // it), at most 36, 36 and 72 bytes, in the message's own charset.
    std::string fromName, toName, subject;
    // The FidoNet date text as stored ("05 Mar 24  19:12:00"), not necessarily terminated.
    char dateText[kFidoDateSize] = {};
    // Where it comes from and goes to, as the message shows them (all zero where the format
    // keeps none).
    FidoAddr origAddr, destAddr;
    // The values of the MSGID and REPLY kludges (empty without one) and their hashes, by
    // which a reply is linked to the message it answers (0 without one).
    std::string msgId, reply;
    uint32_t msgIdHash = 0, replyHash = 0;

    // The packed date-time of the date text.
    uint32_t written() const { return parseFidoDate(dateText); }

    // The parts a stored header gives: the 36-, 36- and 72-byte name and subject fields up
    // to their first zero byte, and the 20-byte date text.
    void setStoredFields(uint32_t msgNumber, const char* fromField, const char* toField, const char* subjectField,
                         const char* dateField);
    // The MSGID and REPLY values and hashes of the message's kludges.
    void setThreadKludges(std::string_view kludgeText);
};

// A message as fetched.
struct StoredMessage {
    MessageSummary summary;   // its addresses too
    uint32_t attributes = 0;  // the stored attribute word
    // The kludges a Squish base keeps apart from the text (its control information: ^A
    // kludges one after another), exactly as stored; empty for a *.MSG file, whose kludge
    // lines are part of its text.
    std::string control;
    // The text as stored, lines ended by CR: in a Squish base the bytes its stored lengths
    // give (ended by a zero byte; readers stop at the first one), in a *.MSG file the bytes
    // up to its first zero byte.
    std::string text;
};

// A message a door asks an area to store.
struct NewMessage {
    std::string fromName, toName, subject;  // cut to their fields when stored
    FidoAddr origAddr, destAddr;            // the origin is also the address of the MSGID kludge
    uint32_t attributes = 0;  // kept by a *.MSG folder (its low 16 bits); a Squish base sets its own
    // Kludge lines (each ^A ... CR) at the start, then the body; lines end with CR; no zero byte.
    std::string text;
    WallTime written;          // the message's date
    uint32_t msgIdSerial = 0;  // the serial of the MSGID kludge the area writes
};

// What a message shows of whose it is: its attribute word and the address of its MSGID.
struct MessageOwnership {
    uint32_t attributes = 0;
    bool hasMsgId = false;
    FidoAddr msgIdAddress;  // all zero without a MSGID
};
