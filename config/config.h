// The settings file (port, users, the tosser configuration's name) and the area lines of
// the tosser configuration, read once at start-up.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>

#include "support/array.h"
#include "wire/fidoaddr.h"
#include "wire/packets.h"

// One configured message area; its number is its index in areaList.
struct mArea {
    char name[36] = {};   // area tag, no terminator when 36 characters long
    char path[260] = {};  // *.MSG directory or Squish base path without extension
    int32_t format = 0;   // 1 *.MSG directory, 2 Squish base
    int32_t type = 0;     // 1 netmail, 2 echomail
};
bool arrayElementEquals(const mArea& a, const mArea& b);

constexpr int32_t AREA_FORMAT_MSG = 1;
constexpr int32_t AREA_FORMAT_SQUISH = 2;

// One registered user.
struct rClientInfo {
    char name[36] = {};
    char password[36] = {};  // all 36 bytes are the login key
    FidoAddr address;
    int32_t superUser = 0;  // may delete any message
};
bool arrayElementEquals(const rClientInfo& a, const rClientInfo& b);

// The program's name and version, as the PID kludge, the tearline and the default Origin
// text of posted messages name them.
constexpr char kProgramName[] = "Quorva";
constexpr char kProgramVersion[] = "1.0.1";

// What the settings file gives besides the users and the areas.
constexpr size_t kPortTextSize = 32;
struct ServerSettings {
    // The listenPort text, at most 31 characters.
    char portText[kPortTextSize] = "9029";

    // Echomail posts: the text of the Origin line the server adds ("origin", the rest of
    // its line).
    std::string origin = std::string(kProgramName) + " " + kProgramVersion;
    // The tosser's echo toss log: the tags of the echo areas posted to are appended there
    // ("echoTossLog"); empty for none.
    std::string echoTossLog;
};

// A line of up to 255 characters (the rest of a longer line comes as the next line).
constexpr int kConfigLineMax = 255;

// Reads configuration text with the usual translation: CR before LF dropped, Ctrl-Z ends
// the file.
class ConfigReader {
public:
    explicit ConfigReader(FILE* f) : file(f) {}
    // One line into buffer (at least 256 bytes); its length, or -1 at the end of the file.
    int readConfigLine(char* buffer);

private:
    int next();
    FILE* file;
    bool ended = false;
    int pending = -1;
};

// Splits text in place at any of the separators; the words point into the text.
int splitTokens(MCArray<char*>& tokenList, const char* separators, char* text);

// Reads the settings file: the port, the users (appended to `users`) and the areas of the
// tosser configurations it names (`areas` is emptied first). False when the file cannot
// be opened.
bool loadSettings(const char* settingsPath, ServerSettings& settings, MCArray<mArea>& areas,
                  MCArray<rClientInfo>& users);
// Appends the EchoArea and NetArea lines of a tosser configuration to `areas`.
void loadTosserAreas(const char* fileName, MCArray<mArea>& areas);
