// The echomail of the benchmarks' large Squish areas: a few writers on 5 March 2024 in
// the afternoon, threads of seven, every message with MSGID, REPLY and PID and a short
// body. Header only: each benchmark is a program of its own.
#pragma once
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

#include "squish_base_writer.h"
#include "fido/fidodate.h"
#include "support/le.h"

namespace bench {

inline SquishMessage echoMessage(uint32_t i) {
    static const char* const kNames[] = {"Alex Petrov", "Jan de Vries", "Maria Rossi", "Tom Berg", "Ken Ito"};
    char control[160];
    snprintf(control, sizeof control, "\x01MSGID: 2:5020/%u %08x\x01REPLY: 2:5020/%u %08x\x01PID: Bench 1.0",
             100 + i % 900, 0x65000000u + i, 100 + (i / 2) % 900, 0x65000000u + i / 2);
    SquishMessage m;
    SquishMsgHeader& h = m.header;
    h.attr = kSquishAttrUmsgidSet;
    copyField(h.fromName, kNames[i % 5], sizeof h.fromName);
    copyField(h.toName, i % 3 ? "All" : kNames[(i + 2) % 5], sizeof h.toName);
    const std::string subject = "Thread number " + std::to_string(i / 7) + " about the tosser set-up";
    copyField(h.subject, subject.c_str(), sizeof h.subject);
    std::tm written{};
    written.tm_year = 124;
    written.tm_mon = 2;
    written.tm_mday = 5;
    written.tm_hour = 13;
    written.tm_min = int(i % 60);
    written.tm_sec = int(i % 59);
    h.dateWritten = h.dateArrived = makeStamp(written);
    formatFidoDate(h.dateText, written);
    m.control = control;
    m.text = "Hello All!\r\rA short message body for the list benchmark.\r\r--- Bench\r";
    return m;
}

}  // namespace bench
