// A fresh folder under the system's temporary directory (under /tmp when that directory's
// path is long, so that area paths stay within their limits), removed with its content.
#pragma once
#include <string>
#include <vector>

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // A file of the folder; a settings file (*.INI) is made readable by its owner only.
    void write(const std::string& name, const std::string& content) const;
    std::string read(const std::string& name) const;
    void mkdir(const std::string& name) const;
    // Creates path()/name as a directory and returns its path.
    std::string subdir(const std::string& name) const;

private:
    std::string path_;
};

// A whole file's bytes ("" when it cannot be read), and a file written anew with these
// bytes (false when that fails).
std::string readFile(const std::string& path);
bool writeFile(const std::string& path, const std::string& content);
// The names in a folder, sorted, without "." and ".."; empty when it cannot be read.
std::vector<std::string> directoryNames(const std::string& dir);
