// Thin file layer over POSIX: an owning descriptor with positioned reads and writes,
// the Squish writer lock, directory listing and the no-replace rename. The message area
// code talks to files only through this.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class OsFile {
public:
    enum class Mode { ReadOnly, ReadWrite, WriteOnly };

    OsFile() = default;
    explicit OsFile(int fd) : fd_(fd) {}
    OsFile(OsFile&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    OsFile& operator=(OsFile&& other) noexcept;
    OsFile(const OsFile&) = delete;
    OsFile& operator=(const OsFile&) = delete;
    ~OsFile() { close(); }

    // Opens an existing file; never creates one.
    static OsFile openExisting(const std::string& path, Mode mode);
    // Creates a new file write-only, failing when the name exists (owner read and write).
    static OsFile createExclusive(const std::string& path);

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Length of the file, or -1.
    int64_t length() const;
    // Reads up to n bytes at offset; returns the count read (short only at end of file)
    // or -1 on error.
    int64_t readAt(int64_t offset, void* buffer, size_t n) const;
    // Writes all n bytes at offset; false on any failure.
    bool writeAt(int64_t offset, const void* buffer, size_t n);
    // Sequential forms at the file position.
    int64_t read(void* buffer, size_t n);
    bool write(const void* buffer, size_t n);
    bool truncate(int64_t length);

    // Write lock on byte 0 (the lock Squish writers share), waiting at most timeoutMs.
    // Released when the descriptor is closed.
    bool lockFirstByte(int timeoutMs);

    // Closes the descriptor; false when close reports an error.
    bool close();

private:
    int fd_ = -1;
};

bool fileExists(const std::string& path);
bool removeFile(const std::string& path);
// Renames within a file system, failing when `to` exists.
bool renameNoReplace(const std::string& from, const std::string& to);
// Names of the entries of a directory ("." and ".." left out); false when it cannot be read.
bool listDirectory(const std::string& dir, std::vector<std::string>& names);
// ASCII letter-case-blind comparison of two names.
bool equalsNoCase(const std::string& a, const std::string& b);
