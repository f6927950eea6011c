#include "areas/area_settings.h"

#include <new>

#include "areas/squish_area.h"
#include "areas/tarnwick_area.h"
#include "support/osfile.h"

mArea makeArea(AreaFormat format, AreaType type, std::string_view tag, std::string_view path) {
    mArea a;
    a.name.assign(tag.substr(0, kAreaTagSize));
    a.path.assign(path.substr(0, kAreaPathSize));
    a.format = format;
    a.type = type;
    return a;
}

std::unique_ptr<CEchoArea> createArea(const mArea& area, int32_t areaNumber) {
    switch (area.format) {
    case AreaFormat::Msg: return std::unique_ptr<CEchoArea>(new (std::nothrow) CTarnwickArea(area.path, areaNumber));
    case AreaFormat::Squish: return std::unique_ptr<CEchoArea>(new (std::nothrow) CSquishArea(area.path, areaNumber));
    }
    return nullptr;
}

namespace {

void inspectMsgFolder(const std::string& path, AreaState& s) {
    s.kind = "*.MSG folder " + path;
    if (!fileExists(path)) {
        s.problem = s.kind + " is missing";
        return;
    }
    if (!isDirectory(path)) {
        s.problem = path + " is not a folder";
        return;
    }
    s.exists = true;
    // Listing needs read and search; new messages, renames and deletes need write too.
    s.readable = mayAccess(path, kMayRead | kMaySearch);
    s.writable = mayAccess(path, kMayWrite | kMaySearch);
    if (!s.readable)
        s.problem = s.kind + " is not readable";
    else if (!s.writable)
        s.problem = s.kind + " is not writable: posts and deletes will fail";
}

void inspectSquishBase(const std::string& path, AreaState& s) {
    s.kind = "Squish base " + path;
    // The files as the area finds them; only regular files count.
    std::string sqd = squishFilePath(path, ".SQD"), sqi = squishFilePath(path, ".SQI");
    bool haveSqd = isRegularFile(sqd), haveSqi = isRegularFile(sqi);
    if (!haveSqd || !haveSqi) {
        const char* missing = !haveSqd && !haveSqi ? "its .SQD and .SQI files"
                              : !haveSqd           ? "its .SQD file"
                                                   : "its .SQI file";
        s.problem = s.kind + " is missing " + missing;
        size_t slash = path.find_last_of('/');
        std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
        if (!isDirectory(folder)) s.problem += " (and its folder " + folder + ")";
        return;
    }
    s.exists = true;
    s.readable = mayAccess(sqd, kMayRead) && mayAccess(sqi, kMayRead);
    s.writable = mayAccess(sqd, kMayWrite) && mayAccess(sqi, kMayWrite);
    if (!s.readable)
        s.problem = s.kind + " is not readable";
    else if (!s.writable)
        s.problem = s.kind + " is not writable: posts and deletes will fail";
}

}  // namespace

AreaState inspectArea(const mArea& area) {
    AreaState s;
    switch (area.format) {
    case AreaFormat::Msg: inspectMsgFolder(area.path, s); return s;
    case AreaFormat::Squish: inspectSquishBase(area.path, s); return s;
    }
    s.kind = "unknown format " + std::to_string(int(area.format)) + " at " + area.path;
    s.problem = s.kind;
    return s;
}
