#include "core/desk.h"

#include <errno.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "core/post_rules.h"
#include "support/log.h"

namespace {

// The user as the post and delete lines name them: name and address, control bytes of
// the name shown as "?".
struct UserLabel {
    explicit UserLabel(const rClientInfo& u) {
        size_t n = strnlen(u.name, sizeof u.name);
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = static_cast<unsigned char>(u.name[i]);
            name[i] = (c < 0x20 || c == 0x7F) ? '?' : char(c);
        }
        name[n] = 0;
        const FidoAddr& a = u.address;
        snprintf(address, sizeof address, "%u:%u/%u.%u", a.zone, a.net, a.node, a.point);
    }
    char name[37];
    char address[32];
};

// "post: user NAME, ADDRESS, area TAG, message #N" and the same for a delete.
void logAreaWrite(const char* what, const rClientInfo& user, const mArea& area, uint32_t msgNumber) {
    UserLabel u(user);
    logLine("%s: user %s, %s, area %s, message #%u\n", what, u.name, u.address, area.name.c_str(),
            unsigned(msgNumber));
}

}  // namespace

AreaResult UserDeleteCheck::allows(const MessageOwnership& owner) const {
    DeleteVerdict v = rights_.mayDelete(user_, owner);
    if (v == DeleteVerdict::Allowed) return AreaResult::ok();
    return AreaResult::forbidden(deleteVerdictText(v));
}

void reportAreaError(const Services& services, int32_t areaNumber, int systemError, const char* format, ...) {
    // Two paths and a reason can pass any fixed size: the text is measured first.
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    int n = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? size_t(n) : 0, '\0');
    if (n > 0) vsnprintf(text.data(), text.size() + 1, format, again);
    va_end(again);
    if (services.hasArea(areaNumber))
        reportError(systemError, "area %s: %s", services.areaList[size_t(areaNumber)].name.c_str(), text.c_str());
    else
        reportError(systemError, "area number %d: %s", int(areaNumber), text.c_str());
}

void reportRefusal(const Services& services, const rClientInfo& user, int32_t areaNumber, const char* what,
                   const AreaResult& result) {
    UserLabel u(user);
    const int systemError = result.code() == AreaResult::Code::IoError ? result.systemError() : 0;
    reportAreaError(services, areaNumber, systemError, "fail to %s: user %s, %s: %s: %s", what, u.name, u.address,
                    areaResultName(result.code()), result.reason().c_str());
}

std::unique_ptr<CEchoArea> openConfiguredArea(const Services& services, int32_t areaNumber) {
    if (!services.hasArea(areaNumber)) return nullptr;
    return createArea(services.areaList[size_t(areaNumber)], areaNumber);
}

namespace {

bool seesEverything(const Services& services, const rClientInfo& user, int32_t areaNumber) {
    if (!services.hasArea(areaNumber) || services.areaList[size_t(areaNumber)].type != AreaType::Netmail) return true;
    return services.rights.seesAllNetmail(user);
}

}  // namespace

bool visibleTo(const Services& services, const rClientInfo& user, int32_t areaNumber, const MessageSummary& message) {
    if (!services.hasArea(areaNumber) || services.areaList[size_t(areaNumber)].type != AreaType::Netmail) return true;
    return services.rights.maySeeNetmail(user, message);
}

AreaResult statsFor(const Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                    AreaStats& stats) {
    AreaResult r = area.getAreaStats(stats);
    if (!r.isOk() || seesEverything(services, user, areaNumber)) return r;
    AreaStats own;
    own.hasLastRead = stats.hasLastRead;
    own.lastRead = stats.lastRead;
    r = area.getMsgList([&](const MessageSummary& m) {
        if (!services.rights.maySeeNetmail(user, m)) return true;
        ++own.messages;
        if (!own.hasLastRead || m.number > own.lastRead) ++own.unread;
        return true;
    });
    if (r.isOk()) stats = own;
    return r;
}

AreaResult postMessage(Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                       NewMessage message, std::time_t wall, uint32_t& stored) {
    stored = 0;
    const mArea& target = services.areaList[size_t(areaNumber)];
    const bool netmail = target.type == AreaType::Netmail;
    const WallTime now = wallTimeAt(wall);
    const ServerSettings& settings = services.settings;
    preparePost(message, user, services.rights, netmail, now, settings);
    message.msgIdSerial = services.serials.next(now.utc);
    AreaResult r = area.newMessage(message, stored);
    if (!r.isOk()) return r;
    if (!netmail && !settings.echoTossLog.empty() && !noteEchoToss(settings.echoTossLog, target.name))
        reportError(errno, "cannot list %s in the echo toss log %s", target.name.c_str(), settings.echoTossLog.c_str());
    logAreaWrite("post", user, target, stored);
    return r;
}

AreaResult deleteMessage(Services& services, const rClientInfo& user, int32_t areaNumber, CEchoArea& area,
                         uint32_t msgNumber) {
    UserDeleteCheck check(services.rights, user);
    AreaResult r = area.deleteMsg(msgNumber, check);
    if (r.isOk()) logAreaWrite("delete", user, services.areaList[size_t(areaNumber)], msgNumber);
    return r;
}
