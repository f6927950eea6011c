// What an area operation came to, and why: the caller answers and logs the cause, and a
// test asserts which refusal happened.
#pragma once
#include <string>
#include <utility>

class [[nodiscard]] AreaResult {
public:
    enum class Code {
        Ok,
        NotFound,   // no such message (or no readable base where one was asked for)
        Forbidden,  // the caller may not do it (a delete of another user's message)
        Busy,       // another program holds the base or is in the middle of writing it: try later
        Damaged,    // the files are damaged where the operation would read or write
        IoError,    // the system refused a read, write, open or allocation
    };

    AreaResult() = default;
    static AreaResult ok() { return AreaResult(); }
    static AreaResult notFound(std::string reason) { return AreaResult(Code::NotFound, std::move(reason)); }
    static AreaResult forbidden(std::string reason) { return AreaResult(Code::Forbidden, std::move(reason)); }
    static AreaResult busy(std::string reason) { return AreaResult(Code::Busy, std::move(reason)); }
    static AreaResult damaged(std::string reason) { return AreaResult(Code::Damaged, std::move(reason)); }
    // `systemError` is the errno of the failed call (0 for none).
    static AreaResult ioError(std::string reason, int systemError = 0) {
        AreaResult r(Code::IoError, std::move(reason));
        r.systemError_ = systemError;
        return r;
    }

    bool isOk() const { return code_ == Code::Ok; }
    Code code() const { return code_; }
    // What happened, naming the area's files where it matters; empty for ok.
    const std::string& reason() const { return reason_; }
    int systemError() const { return systemError_; }

private:
    AreaResult(Code code, std::string reason) : code_(code), reason_(std::move(reason)) {}

    Code code_ = Code::Ok;
    std::string reason_;
    int systemError_ = 0;
};

// "not found", "forbidden", ...: the code as the console names it.
const char* areaResultName(AreaResult::Code code);
