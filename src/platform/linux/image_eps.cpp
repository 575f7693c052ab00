#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <regex>
#include <thread>
#include <vector>

#include "platform/linux/image_backends.h"
#include "platform/linux/leptonica_support.h"

extern char** environ;

namespace lumidex::platform::linux_detail {
namespace {

struct BoundingBox {
    double width = 0;
    double height = 0;
};

// The %%BoundingBox comment of the PostScript text (the PostScript section of a DOS EPS binary).
std::optional<BoundingBox> readBoundingBox(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(256 * 1024, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.size() >= 12 && head.compare(0, 4, "\xc5\xd0\xd3\xc6") == 0) {
        auto le32 = [&](std::size_t at) {
            uint32_t v = 0;
            for (std::size_t i = 0; i < 4; ++i) v |= uint32_t{static_cast<uint8_t>(head[at + i])} << (8 * i);
            return v;
        };
        const std::size_t offset = le32(4);
        if (offset >= head.size()) return std::nullopt;
        head.erase(0, offset);
    }
    static const std::regex kBox(R"(%%(?:HiRes)?BoundingBox:[ \t]*(-?[0-9.]+)[ \t]+(-?[0-9.]+)[ \t]+(-?[0-9.]+)[ \t]+(-?[0-9.]+))");
    std::smatch match;
    if (!std::regex_search(head, match, kBox)) return std::nullopt;
    try {
        const double llx = std::stod(match[1]), lly = std::stod(match[2]);
        const double urx = std::stod(match[3]), ury = std::stod(match[4]);
        if (!(urx > llx) || !(ury > lly)) return std::nullopt;
        return BoundingBox{urx - llx, ury - lly};
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

class TempFile {
public:
    TempFile() {
        std::error_code ec;
        std::string pattern = (std::filesystem::temp_directory_path(ec) / "lumidex-eps-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        if (fd >= 0) {
            ::close(fd);
            path_ = pattern;
        }
    }
    ~TempFile() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove(path_, ec);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

struct ChildOutcome {
    bool started = false;
    bool timedOut = false;
    int exitStatus = -1;
    int spawnErrno = 0;
};

ChildOutcome runWithTimeout(const std::vector<std::string>& args, std::chrono::milliseconds timeout) {
    ChildOutcome outcome;
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd : {0, 1, 2}) posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = args[0].find('/') == std::string::npos
                       ? posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ)
                       : posix_spawn(&pid, args[0].c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) {
        outcome.spawnErrno = rc;
        return outcome;
    }
    outcome.started = true;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid) break;
        if (done < 0 && errno != EINTR) return outcome;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            outcome.timedOut = true;
            return outcome;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    outcome.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    return outcome;
}

}  // namespace

ImageDecodeResult decodeEps(const std::filesystem::path& path, const ImageDecodeOptions& options) {
    ImageDecodeResult result;
    // Up to four times the point size like rendered pages, the longer side at most 4096 pixels.
    double dpi = 150;
    if (const auto box = readBoundingBox(path)) {
        const double scale = std::min(4.0, 4096.0 / std::max(box->width, box->height));
        dpi = 72.0 * scale;
        const double w = std::ceil(box->width * scale), h = std::ceil(box->height * scale);
        if (w * h > static_cast<double>(options.maxPixels)) {
            result.error = tooLargeError(static_cast<uint64_t>(w), static_cast<uint64_t>(h));
            return result;
        }
    }
    TempFile output;
    if (output.path().empty()) {
        result.error = decodeError("no temporary file for the rendered EPS");
        return result;
    }
    std::error_code ec;
    const auto input = std::filesystem::absolute(path, ec);  // never starts with '-', so never an option
    char resolution[32];
    std::snprintf(resolution, sizeof resolution, "-r%.3f", dpi);
    const std::vector<std::string> args = {options.ghostscript, "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-dNOPROMPT",
                                           "-sDEVICE=png16m", resolution, "-dEPSCrop", "-dLastPage=1",
                                           "-dTextAlphaBits=4", "-dGraphicsAlphaBits=4",
                                           "-sOutputFile=" + output.path().string(), "-f", (ec ? path : input).string()};
    const ChildOutcome child = runWithTimeout(args, options.externalTimeout);
    if (!child.started) {
        result.error = decodeError("cannot start " + options.ghostscript + ": " + std::strerror(child.spawnErrno));
        return result;
    }
    if (child.timedOut) {
        result.error = ImageDecodeError{ImageDecodeError::Kind::timedOut, "EPS rendering took too long"};
        return result;
    }
    if (child.exitStatus != 0) {
        result.error = decodeError("EPS renderer exited with status " + std::to_string(child.exitStatus));
        return result;
    }
    silenceLeptonica();
    PixPtr pix(pixRead(output.path().c_str()));
    auto bitmap = pix ? bitmapFromPix(pix.get()) : std::nullopt;
    if (!bitmap) {
        result.error = decodeError("EPS renderer produced no image");
        return result;
    }
    result.bitmap = std::move(bitmap);
    return result;
}

}  // namespace lumidex::platform::linux_detail
