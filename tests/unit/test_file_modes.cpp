// New files take the mode any tool gives them: 0666 less the process umask, so that the
// sysop decides with the umask (or a service's UMask=) who may read posted netmail.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "areas/tarnwick_area.h"
#include "common/temp_dir.h"
#include "support/le.h"
#include "support/osfile.h"

namespace {

// Sets the umask for the life of the object.
class UmaskScope {
public:
    explicit UmaskScope(mode_t mask) : old_(umask(mask)) {}
    ~UmaskScope() { umask(old_); }

private:
    mode_t old_;
};

mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : mode_t(-1);
}

TEST(FileModes, NewFilesHonourTheUmask) {
    struct Case {
        mode_t umask;
        mode_t mode;
    } cases[] = {{022, 0644}, {027, 0640}, {007, 0660}, {077, 0600}, {002, 0664}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.umask);
        TempDir dir;
        UmaskScope scope(c.umask);
        // The file layer itself.
        {
            OsFile f = OsFile::createExclusive(dir.file("plain"));
            ASSERT_TRUE(f.isOpen());
        }
        EXPECT_EQ(modeOf(dir.file("plain")), c.mode);

        // A posted *.MSG file, after its rename to the final name.
        dir.mkdir("netmail");
        CTarnwickArea area(dir.file("netmail"), 0);
        NewMessage m;
        m.fromName = "Sysop";
        m.toName = "Point";
        m.origAddr = {2, 5020, 1, 0};
        m.destAddr = {2, 5020, 2, 0};
        m.text = "Hello\r";
        ASSERT_TRUE(wallTimeNow(m.written));
        uint32_t stored = 0;
        ASSERT_TRUE(area.newMessage(m, stored).isOk());
        EXPECT_EQ(stored, 2u) << "1 is the tosser's high-water mark";
        EXPECT_EQ(modeOf(dir.file("netmail/2.msg")), c.mode);
    }
}

}  // namespace
