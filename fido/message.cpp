#include "fido/message.h"

#include <cstring>

#include "fido/kludges.h"

void MessageSummary::setStoredFields(uint32_t msgNumber, const char* fromField, const char* toField,
                                     const char* subjectField, const char* dateField) {
    number = msgNumber;
    fromName.assign(fromField, strnlen(fromField, kNameFieldSize));
    toName.assign(toField, strnlen(toField, kNameFieldSize));
    subject.assign(subjectField, strnlen(subjectField, kSubjectFieldSize));
    memcpy(dateText, dateField, sizeof dateText);
}

void MessageSummary::setThreadKludges(std::string_view kludgeText) {
    ThreadKludges k = hashKludges(kludgeText);
    msgId.assign(k.msgId);
    reply.assign(k.reply);
    msgIdHash = k.msgIdHash;
    replyHash = k.replyHash;
}
