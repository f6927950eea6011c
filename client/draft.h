// The reply's draft: a file in the temporary folder that $VISUAL (or $EDITOR) edits, and
// that is removed unless it must be kept for the person who wrote into it.
#pragma once
#include <string>

namespace qclient::cli {

class DraftFile {
public:
    // Creates the file in $TMPDIR (or /tmp) with `content`.
    explicit DraftFile(const std::string& content);
    ~DraftFile();
    DraftFile(const DraftFile&) = delete;
    DraftFile& operator=(const DraftFile&) = delete;

    const std::string& path() const { return path_; }
    void keep(bool on = true) { keep_ = on; }
    std::string read() const;

private:
    std::string path_;
    bool keep_ = false;
};

// Runs $VISUAL (or $EDITOR) on the draft through the shell, as other Unix programs do; the
// interrupt and quit keys go to the editor while it runs. A failed editor keeps the draft.
void runEditor(DraftFile& draft);

}  // namespace qclient::cli
