// The configured message areas: what each one is (tag, path, storage format, type), the
// factory that makes the area object for one, and the look at its files that start-up and
// --check report.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "areas/echoarea.h"

// How an area is stored.
enum class AreaFormat : int32_t {
    Msg = 1,     // a *.MSG folder, one file per message (CTarnwickArea)
    Squish = 2,  // a Squish message base: .SQD, .SQI and .SQL files (CSquishArea)
};
// What an area carries, as clients are told.
enum class AreaType : int32_t {
    Netmail = 1,
    Echomail = 2,
};

// Longest tag and path kept: a longer tag is cut, a path that does not fit leaves the
// area without files.
constexpr size_t kAreaTagSize = 36;
constexpr size_t kAreaPathSize = 260;

// One configured message area; its number is its index in the area list.
struct mArea {
    std::string name;  // the area tag, at most 36 characters
    std::string path;  // the *.MSG folder, or the Squish base path without extension
    AreaFormat format = AreaFormat::Squish;
    AreaType type = AreaType::Echomail;
};

// A configured area from the words of its line: the tag cut to 36 characters and the path
// to 260 (such a path is too long to be used, and the area is then served as empty).
mArea makeArea(AreaFormat format, AreaType type, std::string_view tag, std::string_view path);

// The area object for a configured area, numbered `areaNumber`; nullptr for a format
// this server does not know.
std::unique_ptr<CEchoArea> createArea(const mArea& area, int32_t areaNumber);

// What is found at a configured area's path.
struct AreaState {
    std::string kind;     // "*.MSG folder PATH" or "Squish base PATH"
    bool exists = false;  // the folder, or both the .SQD and the .SQI file of the base
    bool readable = false;
    bool writable = false;
    std::string problem;  // why the area cannot be served as it should; empty when all is well
};

// Looks at the folder of a *.MSG area (there, a folder, listable, and open to new files)
// or at the .SQD and .SQI files of a Squish base (found as the area finds them), with the
// rights of the running process.
AreaState inspectArea(const mArea& area);
