// The extraction worker: a child process (`lumidex --extraction-worker`) that runs the file decoders, so
// that a crash, hang or memory blow-up in them ends one job instead of Lumidex.
//
// Protocol (version 1) on the worker's stdin/stdout: frames of a 4-byte big-endian length and a JSON
// object (frame_codec.h). The worker greets first, then serves one job at a time:
//   worker -> Lumidex  {"type":"hello","protocol":1,"pid":123,"kinds":["pdf.extract",...]}
//   Lumidex -> worker  {"type":"job","id":7,"kind":"pdf.extract","path":"/a/b.pdf","options":{...}}
//                      ("path_hex" with the path's bytes in hex replaces "path" when it is not UTF-8)
//   worker -> Lumidex  zero or more {"type":"progress","id":7,"payload":{...}}   (e.g. one per page)
//                      and         {"type":"log","id":7,"message":"..."}       (debug-log lines)
//                      then one    {"type":"result","id":7,"ok":true,"result":{...}}
//                      or          {"type":"result","id":7,"ok":false,"error":"...","out_of_memory":false}
// End of stdin ends the worker (exit code 0). Strings the worker sends that are not valid UTF-8 have the
// bad bytes replaced by U+FFFD.
//
// Handlers run on the worker's one thread, one job at a time. A handler reports failure by throwing:
// std::bad_alloc becomes an out-of-memory result, any other exception a failed result with its what().
// Handlers log through ProgressSink::log (the worker does not write Lumidex's log files itself).
// Unknown job kinds get a failed result. The test job kinds exist only in registries built with
// registerTestJobs, which the production entry does only when started with "--enable-test-jobs".
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lumidex {

inline constexpr int extractionWorkerProtocolVersion = 1;
inline constexpr std::string_view extractionWorkerFlag = "--extraction-worker";
// Installed beside the indexer; without it the indexer runs the workers itself.
inline constexpr std::string_view extractionWorkerExecutableName = "lumidex-extraction-worker";
inline constexpr std::string_view extractionWorkerTestJobsFlag = "--enable-test-jobs";

struct WorkerRequest {
    std::uint64_t id = 0;
    std::string kind;
    std::filesystem::path path;
    const nlohmann::json& options;  // a JSON object; valid during the handler call
};

// Where a handler sends messages that Lumidex sees while the job is still running.
class ProgressSink {
public:
    virtual ~ProgressSink() = default;
    // Sends one progress message at once (for example a finished page: index, transcript, rectangles).
    // Each one also extends the job's time limit by the pool's per-page budget.
    virtual void progress(const nlohmann::json& payload) = 0;
    // A line for Lumidex's debug log, written there as given.
    virtual void log(std::string_view message) = 0;
};

using JobHandler = std::function<nlohmann::json(const WorkerRequest&, ProgressSink&)>;

// The job kinds a worker serves. Filled before the worker loop starts; read-only afterwards.
class JobRegistry {
public:
    // Replaces a handler already registered under `kind`.
    void add(std::string kind, JobHandler handler);
    const JobHandler* find(std::string_view kind) const;
    std::vector<std::string> kinds() const;  // sorted

private:
    std::map<std::string, JobHandler, std::less<>> handlers_;
};

// Serves jobs on stdin/stdout until stdin ends; returns the process exit code. Moves the protocol off
// file descriptors 0 and 1 first (stdin then reads /dev/null), so that a library printing to stdout
// cannot corrupt the stream. What the libraries print on descriptors 1 and 2 (warnings about odd
// files) and what they report through the platform's library message handler travel to Lumidex's debug
// log as log lines ("[decoder output] ..." for the printed ones), never to its terminal; the worker's
// own last words before it exits still go to the stderr it was started with. Call it on the main
// thread of a fresh process.
int runExtractionWorker(const JobRegistry& jobs);

// The hidden mode of the lumidex executable: argv[1] is extractionWorkerFlag. Registers the production
// job kinds, and the test kinds when extractionWorkerTestJobsFlag follows.
int extractionWorkerMain(int argc, char** argv);

// The production job kinds (the PDF, image and text extractors).
void registerExtractionJobs(JobRegistry& jobs);

// Kinds for tests of the isolation itself, never registered in production workers:
//   "test.echo"  options {"progress": n, "sleep_ms": ms, "log": "line", "stderr": "line"}: writes the
//                stderr line to descriptor 2, sends n progress payloads {"page": i, "text": "..."}
//                (sleeping before each), logs the line, and returns
//                {"kind", "path", "path_hex", "options", "pid"};
//   "test.crash" raises SIGSEGV;   "test.hang" sleeps forever;   "test.exit" exits with options "code";
//   "test.fail"  throws options "message";
//   "test.oom"   allocates until allocation fails (refuses to run without an address-space limit of
//                at most 8 GiB, so it can never exhaust a machine).
void registerTestJobs(JobRegistry& jobs);

}  // namespace lumidex
