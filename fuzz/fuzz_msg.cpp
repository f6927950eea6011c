// The *.MSG reader and writer on arbitrary files and names, among which symbolic links
// (to a file outside the area, to a message inside it, dangling), FIFOs, directories and
// leftover temporary files. Nothing outside the area may ever be read through a link, and
// a write that reports failure must leave the directory as it was.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>

#include "areas/tarnwick_area.h"
#include "fuzz/fuzzkit.h"

namespace {

// A complete message file outside the area; its marker must never reach a client.
const char kSecretMarker[] = "NEVER-SERVED-SECRET";

std::string secretFile() {
    std::string header(190, '\0');
    memcpy(&header[72], kSecretMarker, sizeof kSecretMarker - 1);  // subject
    return header + kSecretMarker + "\r" + std::string(1, '\0');
}

bool holdsSecret(const char* data, size_t size) {
    return std::string(data, size).find(kSecretMarker) != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    InputCutter in(data, size);
    std::string dir = scratchDir() + "/netmail";
    std::string outside = scratchDir() + "/outside.msg";
    removeTree(dir);
    mkdir(dir.c_str(), 0700);
    std::string secret = secretFile();
    writeBytes(outside, reinterpret_cast<const uint8_t*>(secret.data()), secret.size());
    uint8_t files = in.byte() % 6;
    // Each name is made once: a second entry of the same name would be written through the
    // link made for the first and change the file outside the area by the harness's own hand.
    std::set<std::string> taken;
    for (uint8_t i = 0; i < files; ++i) {
        std::string name = in.part();
        std::string content = in.part();
        // Names are single path components; "/" and NUL cannot occur in them.
        for (char& c : name)
            if (c == '/' || c == 0) c = '_';
        if (name.empty() || name == "." || name == ".." || name.size() > 200) continue;
        if (!taken.insert(name).second) continue;
        std::string path = dir + "/" + name;
        // The top bits of the content's first byte choose what kind of entry it becomes.
        switch (content.empty() ? 0 : uint8_t(content[0]) >> 5) {
        case 4: (void)symlink(outside.c_str(), path.c_str()); break;
        case 5: (void)symlink((dir + "/absent").c_str(), path.c_str()); break;
        case 6: (void)mkfifo(path.c_str(), 0600); break;
        case 7: (void)mkdir(path.c_str(), 0700); break;
        default: writeBytes(path, reinterpret_cast<const uint8_t*>(content.data()), content.size());
        }
    }
    uint8_t actions = in.byte();
    uint32_t number = in.u32();

    CTarnwickArea area(dir, 1);
    std::vector<pktMsgHeader> list = listHeaders(area);
    for (const pktMsgHeader& h : list) require(!holdsSecret(h.subject, sizeof h.subject), "a link was listed");
    AreaStats stats;
    (void)area.getAreaStats(stats);
    MCArray<char> message;
    for (size_t i = 0; i < list.size() && i < 8; ++i) fetch(area, list[i].msgNumber, message);
    if (fetch(area, number, message))
        require(!holdsSecret(message.getData(), size_t(message.getCount())), "a link was followed by a fetch");
    FidoAddr requester{2, 5020, 1, 0};
    if (actions & 1) {
        std::string before = directoryImage(dir);
        if (!deleteAs(area, number, requester, (actions & 2) != 0).isOk())
            require(directoryImage(dir) == before, "a delete that failed changed the directory");
    }
    if (actions & 4) {
        NewMessage record;
        record.origAddr = requester;
        record.destAddr = FidoAddr{2, 5020, 2, uint16_t(actions)};
        std::string text = in.rest();
        std::string before = directoryImage(dir);
        if (!postText(area, record, text, 0).isOk())
            require(directoryImage(dir) == before, "a post that failed changed the directory");
    }
    require(readBytes(outside) == secret, "the file outside the area was changed");
    return 0;
}
