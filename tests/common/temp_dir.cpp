#include "common/temp_dir.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

TempDir::TempDir() {
    std::error_code ec;
    std::string base = std::filesystem::temp_directory_path(ec).string();
    // Area paths are limited in length; a long temporary folder would make them too long.
    if (ec || base.empty() || base.size() > 100) base = "/tmp";
    std::string pattern = base + "/quorva-test-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) throw std::runtime_error("cannot create a temporary directory");
    path_ = buf.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    // Entries may have lost their write bits in a test; give them back before removal.
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& content) const {
    writeFile(file(name), content);
    // Settings files hold passwords: their owner alone reads them, as on a sysop's node
    // (the server warns about one that others may read).
    if (name.size() >= 4 && name.compare(name.size() - 4, 4, ".INI") == 0) chmod(file(name).c_str(), 0600);
}
std::string TempDir::read(const std::string& name) const { return readFile(file(name)); }
void TempDir::mkdir(const std::string& name) const { std::filesystem::create_directories(file(name)); }

std::string TempDir::subdir(const std::string& name) const {
    mkdir(name);
    return file(name);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), std::streamsize(content.size()));
    return bool(out);
}

std::vector<std::string> directoryNames(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
