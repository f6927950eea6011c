#include "support/osfile.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "support/text.h"

OsFile& OsFile::operator=(OsFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

OsFile OsFile::openExisting(const std::string& path, Mode mode, Links links) {
    // Without O_NONBLOCK, opening a FIFO that sits under a message file's name would wait
    // for a writer and hold the whole server; for regular files the flag changes nothing.
    int flags = O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
    if (links == Links::Refuse) flags |= O_NOFOLLOW;
    switch (mode) {
    case Mode::ReadOnly: flags |= O_RDONLY; break;
    case Mode::ReadWrite: flags |= O_RDWR; break;
    case Mode::WriteOnly: flags |= O_WRONLY; break;
    }
    int fd;
    do fd = ::open(path.c_str(), flags);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0) {
        struct stat st {};
        // Only regular files are message files; a directory or a device is not.
        if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
            int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
            ::close(fd);
            errno = error;
            return OsFile();
        }
    }
    return OsFile(fd);
}

OsFile OsFile::openAppending(const std::string& path) {
    // Not blocking on the open: a FIFO under the name would otherwise hold the server.
    int fd;
    do fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return OsFile();
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return OsFile();
    }
    return OsFile(fd);
}

bool OsFile::appendOnce(const void* buffer, size_t n) {
    ssize_t written;
    do written = ::write(fd_, buffer, n);
    while (written < 0 && errno == EINTR);
    if (written == ssize_t(n)) return true;
    if (written >= 0) errno = EIO;
    return false;
}

OsFile OsFile::createExclusive(const std::string& path, bool* nameTaken) {
    int fd;
    // O_EXCL also fails on a symbolic link under the name, dangling or not.
    do fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    while (fd < 0 && errno == EINTR);
    if (nameTaken) *nameTaken = fd < 0 && errno == EEXIST;
    return OsFile(fd);
}

int64_t OsFile::length() const {
    struct stat st;
    if (fd_ < 0 || fstat(fd_, &st) != 0) return -1;
    return int64_t(st.st_size);
}

int64_t OsFile::readAt(int64_t offset, void* buffer, size_t n) const {
    if (fd_ < 0 || offset < 0) return -1;
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::pread(fd_, static_cast<char*>(buffer) + done, n - done, off_t(offset + int64_t(done)));
        if (k < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (k == 0) break;
        done += size_t(k);
    }
    return int64_t(done);
}

bool OsFile::writeAt(int64_t offset, const void* buffer, size_t n) {
    if (fd_ < 0 || offset < 0) return false;
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::pwrite(fd_, static_cast<const char*>(buffer) + done, n - done, off_t(offset + int64_t(done)));
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) return false;
        done += size_t(k);
    }
    return true;
}

int64_t OsFile::read(void* buffer, size_t n) {
    if (fd_ < 0) return -1;
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::read(fd_, static_cast<char*>(buffer) + done, n - done);
        if (k < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (k == 0) break;
        done += size_t(k);
    }
    return int64_t(done);
}

bool OsFile::write(const void* buffer, size_t n) {
    if (fd_ < 0) return false;
    size_t done = 0;
    while (done < n) {
        ssize_t k = ::write(fd_, static_cast<const char*>(buffer) + done, n - done);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (k == 0) return false;
        done += size_t(k);
    }
    return true;
}

bool OsFile::truncate(int64_t length) {
    if (fd_ < 0 || length < 0) return false;
    int r;
    do r = ::ftruncate(fd_, off_t(length));
    while (r != 0 && errno == EINTR);
    return r == 0;
}

OsFile::LockResult OsFile::tryLockFirstByte() {
    if (fd_ < 0) return LockResult::Failed;
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = 0;
    fl.l_len = 1;
    // An open-file-description lock conflicts with the classic record locks of other
    // programs and, unlike those, is not dropped when another descriptor of ours closes.
    for (;;) {
        if (fcntl(fd_, F_OFD_SETLK, &fl) == 0) return LockResult::Locked;
        if (errno == EINTR) continue;
        return (errno == EACCES || errno == EAGAIN) ? LockResult::Busy : LockResult::Failed;
    }
}

bool OsFile::close() {
    if (fd_ < 0) return true;
    int r = ::close(fd_);
    fd_ = -1;
    return r == 0 || errno == EINTR;
}

bool isDescriptorShortage(int error) { return error == EMFILE || error == ENFILE; }

bool fileExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

bool removeFile(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool renameNoReplace(const std::string& from, const std::string& to, bool* targetExists) {
    if (targetExists) *targetExists = false;
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno == EINVAL || errno == ENOSYS) {
        // File systems without RENAME_NOREPLACE: a hard link fails on an existing name too.
        if (::link(from.c_str(), to.c_str()) == 0) {
            ::unlink(from.c_str());
            return true;
        }
    }
    if (targetExists) *targetExists = errno == EEXIST;
    return false;
}

bool makeDirectory(const std::string& path) {
    if (::mkdir(path.c_str(), 0777) == 0) return true;
    if (errno != EEXIST) return false;
    if (isDirectory(path)) return true;
    errno = EEXIST;
    return false;
}

bool replaceFileContents(const std::string& path, const std::string& contents) {
    const std::string temporary = path + ".new";
    ::unlink(temporary.c_str());
    int fd;
    do {
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    OsFile file(fd);
    if (!file.write(contents.data(), contents.size()) || ::fsync(file.fd()) != 0 || !file.close() ||
        ::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    return true;
}

bool readSmallFile(const std::string& path, size_t maxBytes, std::string& contents) {
    contents.clear();
    OsFile file = OsFile::openExisting(path, OsFile::Mode::ReadOnly);
    if (!file.isOpen()) return false;
    const int64_t length = file.length();
    if (length < 0) return false;
    if (uint64_t(length) > maxBytes) {
        errno = EFBIG;
        return false;
    }
    contents.resize(size_t(length));
    const int64_t got = file.readAt(0, contents.data(), contents.size());
    if (got < 0) return false;
    contents.resize(size_t(got));
    return true;
}

bool listDirectory(const std::string& dir, std::vector<std::string>& names) {
    names.clear();
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return false;
    while (struct dirent* e = ::readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        names.emplace_back(e->d_name);
    }
    ::closedir(d);
    return true;
}

bool forEachEntry(const std::string& dir, const std::function<void(const char* name, EntryKind kind)>& visit) {
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return false;
    struct Closer {
        DIR* d;
        ~Closer() { ::closedir(d); }
    } closer{d};
    while (struct dirent* e = ::readdir(d)) {
        if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0) continue;
        EntryKind kind = EntryKind::Other;
        switch (e->d_type) {
        case DT_REG: kind = EntryKind::Regular; break;
        case DT_LNK: kind = EntryKind::Link; break;
        case DT_UNKNOWN: kind = EntryKind::Unknown; break;
        default: break;
        }
        visit(e->d_name, kind);
    }
    return true;
}

bool isRegularFile(const std::string& path, Links links) {
    struct stat st;
    int r = links == Links::Refuse ? ::lstat(path.c_str(), &st) : ::stat(path.c_str(), &st);
    return r == 0 && S_ISREG(st.st_mode);
}

bool isDirectory(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool mayAccess(const std::string& path, int rights) {
    int mode = ((rights & kMayRead) ? R_OK : 0) | ((rights & kMayWrite) ? W_OK : 0) | ((rights & kMaySearch) ? X_OK : 0);
    return ::faccessat(AT_FDCWD, path.c_str(), mode, AT_EACCESS) == 0;
}

std::string joinPath(const std::string& dir, const std::string& name) { return dir + "/" + name; }

OsFile openNoCase(const std::string& dir, const std::string& lowerName, std::string* foundPath,
                  const std::vector<std::string>* listing, Links links) {
    std::string upperName = toUpperAscii(lowerName);
    for (const std::string& name : {lowerName, upperName}) {
        OsFile f = OsFile::openExisting(joinPath(dir, name), OsFile::Mode::ReadOnly, links);
        if (f.isOpen()) {
            if (foundPath) *foundPath = joinPath(dir, name);
            return f;
        }
    }
    std::vector<std::string> own;
    if (!listing) {
        if (!listDirectory(dir, own)) return OsFile();
        listing = &own;
    }
    for (const std::string& name : *listing) {
        if (name == lowerName || name == upperName || !equalsNoCase(name, lowerName)) continue;
        OsFile f = OsFile::openExisting(joinPath(dir, name), OsFile::Mode::ReadOnly, links);
        if (f.isOpen()) {
            if (foundPath) *foundPath = joinPath(dir, name);
            return f;
        }
    }
    return OsFile();
}

bool findRegularNoCase(const std::string& dir, const std::string& lowerName, std::string& foundPath, Links links) {
    std::string upperName = toUpperAscii(lowerName);
    for (const std::string& name : {lowerName, upperName}) {
        if (isRegularFile(joinPath(dir, name), links)) {
            foundPath = joinPath(dir, name);
            return true;
        }
    }
    std::vector<std::string> names;
    if (!listDirectory(dir, names)) return false;
    for (const std::string& name : names) {
        if (name == lowerName || name == upperName || !equalsNoCase(name, lowerName)) continue;
        if (isRegularFile(joinPath(dir, name), links)) {
            foundPath = joinPath(dir, name);
            return true;
        }
    }
    return false;
}

bool existsNoCase(const std::string& dir, const std::string& lowerName) {
    if (fileExists(joinPath(dir, lowerName)) || fileExists(joinPath(dir, toUpperAscii(lowerName)))) return true;
    std::vector<std::string> names;
    if (!listDirectory(dir, names)) return false;
    for (const std::string& name : names)
        if (equalsNoCase(name, lowerName)) return true;
    return false;
}
