// The session and command handling fed a byte stream as a client would send it, through
// the real handlers, on a scratch copy of two small areas (a Squish base and a *.MSG
// directory). The first input byte chooses whether the session starts logged in, since a
// fuzzer cannot answer the time-based challenge.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include <memory>
#include <vector>

#include "accounts/login_throttle.h"
#include "accounts/rights.h"
#include "config/config.h"
#include "core/services.h"
#include "fido/msgid.h"
#include "fuzz/fuzzkit.h"
#include "protocol/session.h"
#include "support/le.h"
#include "support/log.h"
#include "support/socket.h"
#include "wire/packets.h"

namespace {

std::string squishBase() { return scratchDir() + "/echo"; }
std::string msgDir() { return scratchDir() + "/net"; }

// A fresh empty Squish base and *.MSG directory holding one message each is made for
// every input, so that posts and deletes of one run do not leak into the next.
void resetAreas() {
    uint8_t header[256] = {};
    putU16(header, 256);
    putU32(header + 20, 1);    // next UMSGID
    putU32(header + 120, 256); // end of the frames
    putU16(header + 130, 28);
    writeBytes(squishBase() + ".SQD", header, sizeof header);
    writeBytes(squishBase() + ".SQI", nullptr, 0);
    removeTree(msgDir());
    mkdir(msgDir().c_str(), 0700);
}

// The users and areas of every run: an ordinary user, a super user, the two areas and,
// for some inputs, an area of an unknown format.
MCArray<rClientInfo> userList;
std::vector<mArea> allAreas;

void setUp() {
    silenceOutput();
    rClientInfo user;
    strcpy(user.name, "Fuzz User");
    strcpy(user.password, "secret");
    user.address = FidoAddr{2, 5020, 1, 0};
    userList.add(user);
    user.superUser = 1;
    strcpy(user.name, "Fuzz Boss");
    userList.add(user);
    allAreas.push_back(makeArea(AreaFormat::Squish, AreaType::Echomail, "ECHO", squishBase()));
    allAreas.push_back(makeArea(AreaFormat::Msg, AreaType::Netmail, "NETMAIL", msgDir()));
    mArea bad = makeArea(AreaFormat::Msg, AreaType::Netmail, "BROKEN", "");
    bad.format = AreaFormat(7);
    allAreas.push_back(bad);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = (setUp(), true);
    (void)once;
    if (size == 0 || size > 48 * 1024) return 0;
    resetAreas();

    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return 0;
    int bufferSize = 256 * 1024;
    setsockopt(sv[1], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    setsockopt(sv[0], SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &bufferSize, sizeof bufferSize);
    // The whole stream is queued and the client's side closed for writing, so the server
    // never waits for more than the input holds.
    fcntl(sv[1], F_SETFL, O_NONBLOCK);
    const uint8_t* stream = data + 1;
    size_t left = size - 1;
    while (left > 0) {
        ssize_t k = send(sv[1], stream, left, MSG_NOSIGNAL);
        if (k <= 0) break;
        stream += k;
        left -= size_t(k);
    }
    shutdown(sv[1], SHUT_WR);

    // Some inputs also see an area of an unknown format in the list.
    std::vector<mArea> areaList(allAreas.begin(), allAreas.begin() + ((data[0] & 4) ? 3 : 2));
    UserDirectory users(userList);
    RightsPolicy rights;
    LoginThrottle logins;
    MsgIdSerials serials;
    ServerSettings settings;
    settings.limits.maxRequestBuffer = 256 * 1024;  // some posts pass it
    RequestBudget requests;
    AreaNumbers areaNumbers{areaList};
    Services services{areaList, users, rights, logins, serials, settings, requests, areaNumbers};
    BinaryDoor door(services);
    // The clock is the target's own: every step is 100 ms later, so that login delays, held
    // hellos and deadlines all come due within the steps, the same way on every run.
    Now now{MonoTime() + std::chrono::hours(1), 1772690889};
    {
        auto session = std::make_unique<sessionClient>(door, sv[0], NetAddress::ipv4(0x0100007F, 40000), now.mono);
        if (data[0] & 1) {
            session->state = CLSS_LOGGED_IN;
            session->user = &users.at((data[0] & 2) ? 1 : 0);
        }
        // Replies pile up in the client's receive buffer; drain them between steps so that
        // the server's sends never stall.
        char sink[65536];
        for (int step = 0; step < 4096 && !session->closed(); ++step) {
            stepClient(*session, Readiness{true, true}, now);
            now.mono += std::chrono::milliseconds(100);
            now.wall += 1;
            while (recv(sv[1], sink, sizeof sink, 0) > 0) {
            }
        }
    }
    if (requests.total() != 0) abort();  // every buffered byte is given back
    close(sv[1]);
    return 0;
}
