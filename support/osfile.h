// Thin file layer over POSIX: an owning descriptor with positioned reads and writes,
// the Squish writer lock, directory listing, names looked up without regard to letter
// case, and the no-replace rename. The message area code talks to files only through this.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Whether the last component of a path may be a symbolic link to the file meant. Message
// files are opened with Links::Refuse: a link in a message directory must not hand out
// whatever it points at.
enum class Links { Follow, Refuse };

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

    // Opens an existing regular file; never creates one. The open itself never waits: a
    // FIFO or a device under the name would otherwise hold the caller until someone
    // writes to it. Anything but a regular file is refused, and with Links::Refuse so is
    // a symbolic link, whatever it points at.
    static OsFile openExisting(const std::string& path, Mode mode, Links links = Links::Follow);
    // Creates a new file write-only, failing when the name exists in any form, a dangling
    // symbolic link included. Its mode is 0666 less the process umask, as with any tool,
    // so that a tosser of the same group can read and export what the server writes (and
    // UMask=0027 of a service keeps it from everyone else). `nameTaken`, when given, tells
    // whether it failed for that reason.
    static OsFile createExclusive(const std::string& path, bool* nameTaken = nullptr);

    // Opens a file for appending, created (mode 0666 less the umask) when missing. Like
    // openExisting it never waits and takes regular files only (EINVAL otherwise).
    static OsFile openAppending(const std::string& path);

    bool isOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    // Length of the file, or -1.
    int64_t length() const;
    // Reads up to n bytes at offset; returns the count read (short only at end of file)
    // or -1 on error.
    int64_t readAt(int64_t offset, void* buffer, size_t n) const;
    // Writes all n bytes at offset; false on any failure.
    [[nodiscard]] bool writeAt(int64_t offset, const void* buffer, size_t n);
    // Sequential forms at the file position.
    int64_t read(void* buffer, size_t n);
    [[nodiscard]] bool write(const void* buffer, size_t n);
    [[nodiscard]] bool truncate(int64_t length);
    // One write of all n bytes, as a file opened for appending needs so that the bytes
    // never mix with another writer's; false (errno set, EIO for a short write) otherwise.
    [[nodiscard]] bool appendOnce(const void* buffer, size_t n);

    // Write lock on byte 0 (the lock Squish writers share), taken without waiting: Busy
    // when another program holds it. Released when the descriptor is closed.
    enum class LockResult { Locked, Busy, Failed };
    [[nodiscard]] LockResult tryLockFirstByte();

    // Closes the descriptor; false when close reports an error.
    bool close();

private:
    int fd_ = -1;
};

// True for the error codes of a process (EMFILE) or a system (ENFILE) out of descriptors.
bool isDescriptorShortage(int error);

bool fileExists(const std::string& path);
bool removeFile(const std::string& path);
// Renames within a file system, failing when `to` exists in any form; `targetExists`,
// when given, tells whether it failed for that reason.
bool renameNoReplace(const std::string& from, const std::string& to, bool* targetExists = nullptr);
// Creates a directory (mode 0777 less the umask) unless one is there; false (errno set)
// when it cannot, or the name is taken by something else.
bool makeDirectory(const std::string& path);
// Replaces a file's contents as one step: written to "PATH.new" first, flushed to the disk
// and renamed over PATH, so that a crash leaves either the old or the new contents. False
// (errno set) when any step fails; the old file is then as it was.
bool replaceFileContents(const std::string& path, const std::string& contents);
// The whole contents of a regular file of at most `maxBytes`; false (errno set, EFBIG for a
// larger file) when it cannot be read.
bool readSmallFile(const std::string& path, size_t maxBytes, std::string& contents);
// Names of the entries of a directory ("." and ".." left out); false when it cannot be read.
bool listDirectory(const std::string& dir, std::vector<std::string>& names);

// The kind of a directory entry as the directory itself reports it (no stat of the entry):
// Unknown where the file system does not say.
enum class EntryKind { Regular, Link, Other, Unknown };
// Calls `visit` for every entry but "." and ".."; an exception from `visit` passes through
// (the directory is closed). False when the directory cannot be read.
bool forEachEntry(const std::string& dir, const std::function<void(const char* name, EntryKind kind)>& visit);
// Whether the path names a regular file; with Links::Refuse a symbolic link never does.
bool isRegularFile(const std::string& path, Links links = Links::Follow);
// Whether the path names a directory (following links), and whether it names anything.
bool isDirectory(const std::string& path);
// Whether the process, with its effective user and groups, may do all of `rights` to the
// path, as its opens will be checked.
enum AccessRight : int { kMayRead = 4, kMayWrite = 2, kMaySearch = 1 };
bool mayAccess(const std::string& path, int rights);
std::string joinPath(const std::string& dir, const std::string& name);

// Names looked up in a directory without regard to letter case. `lowerName` is given in
// lower case; its lower-case and upper-case spellings are tried first, then the
// directory's entries.
// Opens the regular file for reading; `foundPath` receives its path. `listing` spares a
// directory read when the caller already has the entries.
OsFile openNoCase(const std::string& dir, const std::string& lowerName, std::string* foundPath,
                  const std::vector<std::string>* listing = nullptr, Links links = Links::Follow);
// Finds the regular file without opening it.
bool findRegularNoCase(const std::string& dir, const std::string& lowerName, std::string& foundPath,
                       Links links = Links::Follow);
// Whether the directory has an entry of any kind under the name.
bool existsNoCase(const std::string& dir, const std::string& lowerName);
