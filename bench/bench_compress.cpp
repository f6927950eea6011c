// LZW12 speed and ratio, each text measured in the same run:
//  - one 20 MB block of each sample text (the echomail-like sample, English echomail with a
//    vocabulary of thousands of words, Russian echomail in CP866): the server's coder, the
//    reference coder it must match byte for byte (the CRC-keyed tree coder), the client's
//    decoder, and `compress -b12` (ncompress, LZW with 12-bit codes) when it is installed,
//    run on a file holding the same block; a table of the coder against compress -b12
//    closes the run;
//  - reply-sized blocks (1 KiB, 16 KiB and 4 MiB) coded and decoded in process; short
//    replies show what a call costs beyond its bytes.
// MB/s are of uncompressed data (1 MB = 10^6 bytes), from CPU time, best of a few passes.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "lzw_oracle/echomail_text.h"
#include "lzw_oracle/lzw12_reference.h"
#include "support/lzw12.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kBlockSize = 20'000'000;
constexpr int kPasses = 5;

// CPU time of this thread: the machine may be shared, and the coder never waits.
double cpuNow() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double mbPerSecond(size_t bytes, double seconds) { return double(bytes) / 1e6 / seconds; }

// Best CPU time of `passes` runs of `step`.
template <typename F>
double bestOf(int passes, F&& step) {
    double best = 1e30;
    for (int pass = 0; pass < passes; ++pass) {
        const double start = cpuNow();
        step();
        best = std::min(best, cpuNow() - start);
    }
    return best;
}

// ---------------------------------------------------------------------------------------
// compress -b12 as a separate program

std::optional<std::string> findInPath(const char* program) {
    const char* path = getenv("PATH");
    if (!path) return std::nullopt;
    std::string all = path;
    size_t from = 0;
    while (from <= all.size()) {
        size_t to = all.find(':', from);
        if (to == std::string::npos) to = all.size();
        std::string candidate = (to > from ? all.substr(from, to - from) : std::string(".")) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
        from = to + 1;
    }
    return std::nullopt;
}

struct ExternalRun {
    double wall = 0, cpu = 0;  // seconds
    size_t outputBytes = 0;
};

// Runs `program -b12` with stdin from `input` and stdout to `output`; the child's user and
// system time come from wait4.
std::optional<ExternalRun> runCompress(const std::string& program, const std::string& input, const std::string& output) {
    const auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid < 0) return std::nullopt;
    if (pid == 0) {
        int in = open(input.c_str(), O_RDONLY);
        int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0) _exit(126);
        execl(program.c_str(), program.c_str(), "-b12", static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid) return std::nullopt;
    ExternalRun run;
    run.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto secondsOf = [](const timeval& tv) { return double(tv.tv_sec) + double(tv.tv_usec) * 1e-6; };
    run.cpu = secondsOf(usage.ru_utime) + secondsOf(usage.ru_stime);
    // Exit status 2 only says the output did not shrink; it is still written.
    if (!WIFEXITED(status) || (WEXITSTATUS(status) != 0 && WEXITSTATUS(status) != 2)) return std::nullopt;
    struct stat st{};
    if (stat(output.c_str(), &st) != 0) return std::nullopt;
    run.outputBytes = size_t(st.st_size);
    return run;
}

// ---------------------------------------------------------------------------------------
// The 20 MB block

// The coder and compress -b12 on one text, for the closing table; 0 when not measured.
struct Figures {
    const char* name;
    double coder = 0, compress = 0;  // MB/s
};

Figures oneBlock(const char* name, const Bytes& text) {
    printf("One block of %zu bytes of %s (best of %d passes, CPU time)\n", text.size(), name, kPasses);
    Figures figures{name};
    const int32_t length = int32_t(text.size());

    LZW12 coder;
    Bytes stream(text.size() + 2);
    const uint32_t n = coder.compress(text.data(), length, stream.data());
    if (n == 0) {
        printf("  the coder declined the block\n");
        return figures;
    }

    LZW12Reference reference;
    Bytes referenceStream(text.size() + 2);
    uint32_t referenceLength = 0;
    const double referenceTime =
        bestOf(1, [&] { referenceLength = reference.compress(text.data(), length, referenceStream.data()); });
    const bool identical = referenceLength == n && memcmp(referenceStream.data(), stream.data(), n) == 0;

    Bytes decoded;
    bool decodedOk = true;
    const double decodeTime = bestOf(kPasses, [&] {
        decodedOk = decodedOk && lzw12Decode(stream.data(), n, uint32_t(text.size()), decoded) && decoded == text;
    });

    // The coder and compress -b12 take turns, pass by pass, so that both meet the same
    // moments of a shared machine.
    const std::optional<std::string> program = findInPath("compress");
    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    const std::string input = (dir / ("quorva-bench-" + std::to_string(getpid()) + ".txt")).string();
    const std::string output = input + ".Z";
    if (program) {
        std::ofstream f(input, std::ios::binary | std::ios::trunc);
        f.write(reinterpret_cast<const char*>(text.data()), std::streamsize(text.size()));
    }
    double coderTime = 1e30;
    std::optional<ExternalRun> best;
    bool compressFailed = false;
    for (int pass = 0; pass < kPasses; ++pass) {
        coderTime = std::min(coderTime, bestOf(1, [&] { coder.compress(text.data(), length, stream.data()); }));
        if (!program || compressFailed) continue;
        std::optional<ExternalRun> run = runCompress(*program, input, output);
        compressFailed = !run;
        if (run && (!best || run->cpu < best->cpu)) best = run;
    }
    if (program) {
        std::error_code ec;
        std::filesystem::remove(input, ec);
        std::filesystem::remove(output, ec);
    }

    const double ours = mbPerSecond(text.size(), coderTime);
    figures.coder = ours;
    printf("  %-27s %8.1f MB/s   stream %9u bytes (%.3f of the input)\n", "LZW12::compress", ours, n,
           double(n) / double(text.size()));
    printf("  %-27s %8.1f MB/s   %s (run once)\n", "reference coder (CRC tree)", mbPerSecond(text.size(), referenceTime),
           identical ? "same stream, byte for byte" : "STREAM DIFFERS");
    printf("  %-27s %8.1f MB/s   %s\n", "lzw12Decode", mbPerSecond(text.size(), decodeTime),
           decodedOk ? "gives the block back" : "DECODE MISMATCH");
    if (!program) {
        printf("  %-27s not found in PATH: not measured (Debian package ncompress)\n", "compress -b12");
    } else if (compressFailed || !best) {
        printf("  %-27s (%s) failed to run: not measured\n", "compress -b12", program->c_str());
    } else {
        const double theirs = mbPerSecond(text.size(), best->cpu);
        figures.compress = theirs;
        printf("  %-27s %8.1f MB/s   output %9zu bytes (%.3f of the input); CPU %.3f s, wall %.3f s\n",
               "compress -b12", theirs, best->outputBytes, double(best->outputBytes) / double(text.size()), best->cpu,
               best->wall);
        printf("  LZW12::compress / compress -b12: %.2fx (MB/s by CPU time)\n", ours / theirs);
        printf("  reference coder / compress -b12: %.2fx\n", mbPerSecond(text.size(), referenceTime) / theirs);
    }
    printf("  lzw12Decode / LZW12::compress: %.2fx\n", mbPerSecond(text.size(), decodeTime) / ours);
    return figures;
}

// ---------------------------------------------------------------------------------------
// Reply-sized blocks

void inBlocks(const char* name, const Bytes& data, size_t blockSize) {
    LZW12 coder;
    const size_t blocks = data.size() / blockSize;
    const size_t total = blocks * blockSize;
    std::vector<Bytes> streams(blocks, Bytes(blockSize + 2));
    std::vector<uint32_t> lengths(blocks);

    const double coderTime = bestOf(kPasses, [&] {
        for (size_t i = 0; i < blocks; ++i)
            lengths[i] = coder.compress(data.data() + i * blockSize, int32_t(blockSize), streams[i].data());
    });

    size_t coded = 0, streamBytes = 0, sent = 0;
    for (size_t i = 0; i < blocks; ++i) {
        const bool used = lengths[i] != 0 && 4 + lengths[i] < blockSize;  // the block must be shorter
        coded += used;
        streamBytes += used ? lengths[i] : 0;
        sent += used ? 4 + lengths[i] : blockSize;
    }

    Bytes out;
    bool decodedOk = true;
    const double decodeTime = coded == 0 ? 0 : bestOf(kPasses, [&] {
        for (size_t i = 0; i < blocks; ++i) {
            if (lengths[i] == 0) continue;
            decodedOk = decodedOk && lzw12Decode(streams[i].data(), lengths[i], uint32_t(blockSize), out) &&
                        memcmp(out.data(), data.data() + i * blockSize, blockSize) == 0;
        }
    });

    printf("  %-13s %7zu-byte blocks x %5zu: compress %7.1f MB/s", name, blockSize, blocks,
           mbPerSecond(total, coderTime));
    if (coded)
        printf(", decode %7.1f MB/s%s", mbPerSecond(coded * blockSize, decodeTime), decodedOk ? "" : " MISMATCH");
    else
        printf(", decode       -     ");
    printf(", coded %zu/%zu, stream/input %.3f, sent/input %.3f\n", coded, blocks,
           coded ? double(streamBytes) / double(coded * blockSize) : 0.0, double(sent) / double(total));
}

}  // namespace

int main() {
    struct Text {
        const char* name;
        std::vector<uint8_t> (*generate)(std::mt19937&, size_t);
    };
    const Text texts[] = {
        {"echomail text", echomailText},
        {"English echomail, many words", manyWordsEchomailText},
        {"Russian echomail in CP866", cp866EchomailText},
    };
    std::vector<Figures> table;
    Bytes sample;
    for (const Text& t : texts) {
        std::mt19937 rng(1);
        const Bytes text = t.generate(rng, kBlockSize);
        table.push_back(oneBlock(t.name, text));
        printf("\n");
        if (sample.empty()) sample = text;
    }

    printf("LZW12::compress against compress -b12 (MB/s by CPU time, same run)\n");
    printf("  %-30s %10s %15s %7s\n", "text", "coder", "compress -b12", "ratio");
    for (const Figures& f : table) {
        if (f.compress > 0 && f.coder > 0)
            printf("  %-30s %10.1f %15.1f %6.2fx\n", f.name, f.coder, f.compress, f.coder / f.compress);
        else
            printf("  %-30s %10.1f %15s %7s\n", f.name, f.coder, "-", "-");
    }

    std::mt19937 rng(1);
    Bytes noise(size_t(4) << 20);
    for (auto& x : noise) x = uint8_t(rng());
    printf("\nReply-sized blocks, in process (best of %d passes, CPU time)\n", kPasses);
    for (size_t blockSize : {size_t(1) << 10, size_t(16) << 10, size_t(4) << 20})
        inBlocks("message text", sample, blockSize);
    inBlocks("random bytes", noise, size_t(16) << 10);
    return 0;
}
