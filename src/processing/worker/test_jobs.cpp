// Job kinds that misbehave on purpose, for tests of the worker isolation. Never registered in
// production workers (see extractionWorkerMain).
#include "processing/worker/extraction_worker.h"

#include <nlohmann/json.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace lumidex {
namespace {

using nlohmann::json;

std::string hex(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : bytes) {
        out.push_back(digits[c >> 4]);
        out.push_back(digits[c & 0x0F]);
    }
    return out;
}

json echo(const WorkerRequest& request, ProgressSink& sink) {
    const int pages = request.options.value("progress", 0);
    const int sleepMs = request.options.value("sleep_ms", 0);
    // Written as a decoding library writes its warnings.
    if (const auto line = request.options.find("stderr"); line != request.options.end() && line->is_string()) {
        const std::string text = line->get<std::string>() + "\n";
        (void)!::write(STDERR_FILENO, text.data(), text.size());
    }
    for (int page = 0; page < pages; ++page) {
        if (sleepMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        sink.progress({{"page", page}, {"text", "page " + std::to_string(page) + " of " + request.path.string()}});
    }
    if (const auto line = request.options.find("log"); line != request.options.end() && line->is_string())
        sink.log(line->get<std::string>());
    return {{"kind", request.kind},
            {"path", request.path.string()},
            {"path_hex", hex(request.path.string())},
            {"options", request.options},
            {"pid", static_cast<long long>(::getpid())}};
}

json crash(const WorkerRequest&, ProgressSink&) {
    // The default action, so that a sanitizer's handler does not turn the signal into an exit code.
    std::signal(SIGSEGV, SIG_DFL);
    std::raise(SIGSEGV);
    throw std::runtime_error("SIGSEGV did not end the worker");
}

[[noreturn]] json hang(const WorkerRequest&, ProgressSink&) {
    while (true) std::this_thread::sleep_for(std::chrono::hours(1));
}

[[noreturn]] json exitWorker(const WorkerRequest& request, ProgressSink&) {
    std::_Exit(request.options.value("code", 3));
}

json fail(const WorkerRequest& request, ProgressSink&) {
    throw std::runtime_error(request.options.value("message", std::string("requested failure")));
}

json exhaustMemory(const WorkerRequest&, ProgressSink&) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > (8ull << 30))
        throw std::runtime_error("test.oom needs an address-space limit of at most 8 GiB");
    constexpr std::size_t chunk = 16u << 20;
    std::vector<std::unique_ptr<char[]>> hoard;
    while (true) {  // ends with std::bad_alloc
        hoard.push_back(std::make_unique_for_overwrite<char[]>(chunk));
        static_cast<volatile char*>(hoard.back().get())[chunk - 1] = 1;
    }
}

}  // namespace

void registerTestJobs(JobRegistry& jobs) {
    jobs.add("test.echo", echo);
    jobs.add("test.crash", crash);
    jobs.add("test.hang", hang);
    jobs.add("test.exit", exitWorker);
    jobs.add("test.fail", fail);
    jobs.add("test.oom", exhaustMemory);
}

}  // namespace lumidex
