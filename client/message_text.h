// The fields and text of messages as quorva-client handles them: header fields and
// addresses for display, the charset a fetched message is in, and what is posted
// converted into the message's charset.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fido/charset.h"
#include "fido/fidoaddr.h"
#include "wire/packets.h"

namespace qclient::cli {

constexpr size_t kNameField = sizeof pktMsgHeader::fromName;
constexpr size_t kSubjectField = sizeof pktMsgHeader::subject;

// "zone:net/node.point".
std::string addrText(const FidoAddr& a);
bool isZero(const FidoAddr& a);

// Text of a fixed field: up to its first zero byte, at most the field size.
std::string fieldText(const char* field, size_t size);

// Names and subjects of the message list, which come without the message's CHRS kludge.
std::string headerText(const std::string& bytes, const Charset* given);

// The charset a fetched message is in: the one its CHRS kludge names, else the given one,
// else CP437. An unknown name is reported in `unknownName` and the default is used.
const Charset& messageCharset(const std::vector<std::string>& lines, const Charset* given, std::string& unknownName);

// The packed date-time without its seconds (the time word keeps them only in steps of two).
std::string packedDateText(uint32_t v);
// "0x0101 (private, local)".
std::string attrText(uint16_t attr);

// UTF-8 in the charset of the message about to be posted.
std::string utf8ToCharset(const std::string& utf8, const Charset& to, const std::string& what, bool multiLine);
// A field of the header about to be posted, in its charset and checked against its size.
std::string headerField(const std::string& localeText, const Charset& to, const std::string& what, size_t size);
// A field taken from the message that a reply answers, cut to its size at a character.
std::string cutField(const std::string& bytes, const Charset& charset, size_t size);
// Message text with LF and CR LF line ends turned into the CR that FidoNet text uses.
std::string withCrLineEnds(const std::string& in);

}  // namespace qclient::cli
