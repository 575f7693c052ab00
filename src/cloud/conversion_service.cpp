#include "core/ascii_text.h"
#include "cloud/conversion_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "core/app_log.h"

namespace lumidex::cloud {
namespace {

std::string_view trim(std::string_view text) { return trimmedAscii(text, " \t\r"); }

namespace fs = std::filesystem;
using nlohmann::json;

constexpr std::size_t maxHeadBytes = 64 * 1024;
constexpr int idleMilliseconds = 30000;  // a silent client is dropped after this


struct Request {
    std::string method;
    std::string path;
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;

    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct Answer {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::optional<std::string> retryAfter;
};

Answer detail(int status, const std::string& text) { return {status, json{{"detail", text}}.dump(), "application/json", {}}; }

const char* reasonPhrase(int status) {
    switch (status) {
        case 100: return "Continue";
        case 200: return "OK";
        case 202: return "Accepted";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 409: return "Conflict";
        case 411: return "Length Required";
        case 413: return "Payload Too Large";
        case 429: return "Too Many Requests";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// One parameter of a header value such as `form-data; name="file"; filename="a.docx"`.
std::optional<std::string> headerParameter(std::string_view value, std::string_view wanted) {
    std::size_t start = value.find(';');
    while (start != std::string_view::npos) {
        const std::size_t end = value.find(';', start + 1);
        const std::string_view item = trim(value.substr(start + 1, end == std::string_view::npos ? end : end - start - 1));
        const std::size_t equals = item.find('=');
        if (equals != std::string_view::npos && asciiLowered(trim(item.substr(0, equals))) == wanted) {
            std::string_view parameter = trim(item.substr(equals + 1));
            if (parameter.size() >= 2 && parameter.front() == '"' && parameter.back() == '"') {
                parameter = parameter.substr(1, parameter.size() - 2);
            }
            return std::string(parameter);
        }
        start = end;
    }
    return std::nullopt;
}

struct FormPart {
    std::string name;
    std::optional<std::string> filename;
    std::string contentType;
    std::string content;
};

// The parts of a multipart/form-data body, or nullopt when it is not one.
std::optional<std::vector<FormPart>> parseForm(const std::string& body, const std::string& boundary) {
    if (boundary.empty()) return std::nullopt;
    const std::string delimiter = "--" + boundary;
    std::size_t position = body.find(delimiter);
    if (position == std::string::npos) return std::nullopt;
    std::vector<FormPart> parts;
    while (true) {
        position += delimiter.size();
        if (body.compare(position, 2, "--") == 0) return parts;  // the closing delimiter
        if (body.compare(position, 2, "\r\n") != 0) return std::nullopt;
        position += 2;
        const std::size_t headEnd = body.find("\r\n\r\n", position);
        if (headEnd == std::string::npos) return std::nullopt;
        const std::size_t next = body.find("\r\n" + delimiter, headEnd + 4);
        if (next == std::string::npos) return std::nullopt;
        FormPart part;
        std::istringstream head(body.substr(position, headEnd - position));
        for (std::string line; std::getline(head, line);) {
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::string name = asciiLowered(trim(std::string_view(line).substr(0, colon)));
            const std::string_view value = trim(std::string_view(line).substr(colon + 1));
            if (name == "content-disposition") {
                part.name = headerParameter(value, "name").value_or("");
                part.filename = headerParameter(value, "filename");
            } else if (name == "content-type") {
                part.contentType = std::string(value);
            }
        }
        part.content = body.substr(headEnd + 4, next - headEnd - 4);
        parts.push_back(std::move(part));
        position = next + 2;
    }
}

bool isConvertible(const std::string& filename) {
    static const char* const known[] = {"docx", "doc", "xlsx", "xls", "pptx", "ppt", "odt", "ods", "odp",
                                        "pages", "numbers", "keynote", "key", "rtf", "csv"};
    std::string extension = asciiLowered(fs::path(filename).extension().string());
    if (!extension.empty()) extension.erase(0, 1);
    return std::find(std::begin(known), std::end(known), extension) != std::end(known);
}

// The name a received file is stored under: its last component, never a way out of its folder.
std::string storedName(const std::string& filename) {
    std::string name = fs::path(filename).filename().string();
    if (name.empty() || name == "." || name == "..") name = "upload";
    if (name.front() == '.') name.insert(0, "_");
    return name;
}

std::string newJobId() {
    static std::mutex mutex;
    static std::mt19937_64 random{std::random_device{}()};
    std::lock_guard lock(mutex);
    char text[33];
    std::snprintf(text, sizeof text, "%016llx%016llx", static_cast<unsigned long long>(random()),
                  static_cast<unsigned long long>(random()));
    return text;
}

bool sendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
    return true;
}

// Up to WANT more bytes onto BUFFER; false at the end of the stream, an error or a long silence.
bool receiveSome(int fd, std::string& buffer, std::size_t want) {
    pollfd waiting{fd, POLLIN, 0};
    while (true) {
        const int ready = ::poll(&waiting, 1, idleMilliseconds);
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return false;
        char chunk[64 * 1024];
        const ssize_t received = ::recv(fd, chunk, std::min(want, sizeof chunk), 0);
        if (received < 0 && errno == EINTR) continue;
        if (received <= 0) return false;
        buffer.append(chunk, static_cast<std::size_t>(received));
        return true;
    }
}

enum class JobState { queued, processing, completed, failed };

const char* wireName(JobState state) {
    switch (state) {
        case JobState::queued: return "queued";
        case JobState::processing: return "processing";
        case JobState::completed: return "completed";
        case JobState::failed: return "failed";
    }
    return "failed";
}

struct Job {
    std::string id;
    std::string filename;
    std::string outputFormat;
    JobState state = JobState::queued;
    std::string error;
    fs::path folder;
    fs::path input;
    fs::path pdf;
    std::chrono::steady_clock::time_point finishedAt;
};

struct Connection {
    std::thread thread;
    int fd = -1;
    std::shared_ptr<std::atomic<bool>> done = std::make_shared<std::atomic<bool>>(false);
};

}  // namespace

struct ConversionService::State {
    std::unique_ptr<ConversionBackend> backend;
    ConversionServiceOptions options;

    mutable std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    bool stopping = false;
    bool held = false;
    bool converting = false;
    std::map<std::string, Job> jobs;
    std::deque<std::string> pending;
    std::deque<ScriptedAnswer> scripted;
    std::optional<ReceivedUpload> last;
    std::list<Connection> connections;

    int listenFd = -1;
    int wake[2] = {-1, -1};
    uint16_t port = 0;
    std::thread acceptor;
    std::thread converter;

    void log(const std::string& line) const {
        if (options.log) options.log(line);
        else appLog(line);
    }

    void acceptLoop();
    void serve(int fd);
    Answer answer(int fd, Request& request, bool& bodyRead);
    Answer upload(int fd, Request& request, bool& bodyRead);
    Answer jobAnswer(const std::string& id, bool download);
    void convertLoop();
    // Drops finished jobs past their retention; returns their folders, for the caller to remove once
    // the lock is released.
    std::vector<fs::path> forgetOldJobs();
};

void ConversionService::State::acceptLoop() {
    pollfd waiting[2] = {{listenFd, POLLIN, 0}, {wake[0], POLLIN, 0}};
    while (true) {
        if (::poll(waiting, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (waiting[1].revents != 0) return;
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard lock(mutex);
        if (stopping) {
            ::close(fd);
            return;
        }
        // Threads of connections already answered are joined here, so they do not pile up.
        for (auto it = connections.begin(); it != connections.end();) {
            if (*it->done) {
                it->thread.join();
                it = connections.erase(it);
            } else {
                ++it;
            }
        }
        Connection& connection = connections.emplace_back();
        connection.fd = fd;
        connection.thread = std::thread([this, fd, done = connection.done] {
            serve(fd);
            {
                std::lock_guard closing(mutex);
                for (Connection& c : connections) {
                    if (c.fd == fd) c.fd = -1;  // stop() must not shut down a number reused meanwhile
                }
                ::close(fd);
            }
            *done = true;
        });
    }
}

void ConversionService::State::serve(int fd) {
    std::string buffer;
    std::size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > maxHeadBytes) {
            const Answer tooLong = detail(431, "request head too large");
            sendAll(fd, "HTTP/1.1 431 " + std::string(reasonPhrase(431)) + "\r\nConnection: close\r\nContent-Length: " +
                            std::to_string(tooLong.body.size()) + "\r\n\r\n" + tooLong.body);
            return;
        }
        if (!receiveSome(fd, buffer, maxHeadBytes)) return;
    }
    Request request;
    std::istringstream head(buffer.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    std::istringstream requestLine(line);
    std::string target;
    requestLine >> request.method >> target;
    request.path = target.substr(0, target.find('?'));
    while (std::getline(head, line)) {
        const std::size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        request.headers[asciiLowered(trim(std::string_view(line).substr(0, colon)))] = std::string(trim(std::string_view(line).substr(colon + 1)));
    }
    request.body = buffer.substr(headEnd + 4);

    bool bodyRead = false;
    Answer reply;
    std::size_t length = 0;
    const std::string declared = request.header("content-length");
    if (!request.header("transfer-encoding").empty()) {
        reply = detail(411, "a Content-Length is required");
    } else if (!declared.empty() && std::from_chars(declared.data(), declared.data() + declared.size(), length).ec != std::errc()) {
        reply = detail(400, "invalid Content-Length");
    } else {
        request.headers["content-length"] = std::to_string(length);
        reply = answer(fd, request, bodyRead);
    }
    // A client that did not wait for "100 Continue" is sending its body: take it in before answering,
    // or the close would reset the connection under the answer.
    if (!bodyRead && asciiLowered(request.header("expect")) != "100-continue") {
        std::size_t received = request.body.size();
        std::string discard;
        while (received < length && receiveSome(fd, discard, length - received)) {
            received += discard.size();
            discard.clear();
        }
    }
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reasonPhrase(reply.status) +
                      "\r\nContent-Type: " + reply.contentType + "\r\nContent-Length: " + std::to_string(reply.body.size()) +
                      "\r\nConnection: close\r\n";
    if (reply.retryAfter) out += "Retry-After: " + *reply.retryAfter + "\r\n";
    out += "\r\n";
    if (sendAll(fd, out)) sendAll(fd, reply.body);
    ::shutdown(fd, SHUT_WR);
}

Answer ConversionService::State::answer(int fd, Request& request, bool& bodyRead) {
    if (!options.apiKey.empty() && request.header("x-api-key") != options.apiKey) return detail(401, "Invalid API key");
    constexpr std::string_view jobsPrefix = "/api/v1/jobs/";
    if (request.path == "/api/v1/convert") {
        if (request.method != "POST") return detail(405, "use POST");
        return upload(fd, request, bodyRead);
    }
    if (request.path.starts_with(jobsPrefix)) {
        if (request.method != "GET") return detail(405, "use GET");
        std::string id = request.path.substr(jobsPrefix.size());
        const bool download = id.ends_with("/download");
        if (download) id.erase(id.size() - std::string_view("/download").size());
        if (id.empty() || id.find('/') != std::string::npos) return detail(404, "Not found");
        return jobAnswer(id, download);
    }
    return detail(404, "Not found");
}

Answer ConversionService::State::upload(int fd, Request& request, bool& bodyRead) {
    const std::size_t length = std::stoull(request.header("content-length"));
    if (length > options.maxUploadBytes) {
        return detail(413, "File too large (limit " + std::to_string(options.maxUploadBytes) + " bytes)");
    }
    if (asciiLowered(request.header("expect")) == "100-continue") {
        if (!sendAll(fd, "HTTP/1.1 100 Continue\r\n\r\n")) return detail(400, "connection lost");
    }
    bodyRead = true;
    while (request.body.size() < length) {
        if (!receiveSome(fd, request.body, length - request.body.size())) return detail(400, "incomplete body");
    }
    request.body.resize(length);

    const std::string contentType = request.header("content-type");
    const auto form = asciiLowered(contentType).starts_with("multipart/form-data")
                          ? parseForm(request.body, headerParameter(contentType, "boundary").value_or(""))
                          : std::nullopt;
    if (!form) return detail(400, "expected a multipart/form-data body");
    ReceivedUpload received;
    const FormPart* file = nullptr;
    for (const FormPart& part : *form) {
        received.partNames.push_back(part.name);
        if (part.name == "output_format") received.outputFormat = part.content;
        if (part.name == "file" && part.filename) file = &part;
    }
    if (file) {
        received.filename = *file->filename;
        received.contentType = file->contentType;
        received.bytes = file->content.size();
    }
    std::unique_lock lock(mutex);
    last = received;
    if (!scripted.empty()) {
        const ScriptedAnswer canned = scripted.front();
        scripted.pop_front();
        return {canned.status, canned.body, "application/json", canned.retryAfter};
    }
    lock.unlock();
    if (!file) return detail(400, "the part \"file\" is missing");
    if (received.outputFormat != "pdf") return detail(400, "Output format unsupported: " + received.outputFormat);
    if (!isConvertible(received.filename)) return detail(400, "File format unsupported: " + received.filename);

    Job job;
    job.id = newJobId();
    job.filename = received.filename;
    job.outputFormat = received.outputFormat;
    job.folder = options.workDirectory / job.id;
    job.input = job.folder / storedName(received.filename);
    job.pdf = job.folder / "result.pdf";
    std::error_code ec;
    fs::create_directories(job.folder, ec);
    std::ofstream out(job.input, std::ios::binary);
    out.write(file->content.data(), static_cast<std::streamsize>(file->content.size()));
    out.close();
    if (ec || !out) {
        fs::remove_all(job.folder, ec);
        log("[ConversionService] Datei nicht gespeichert: " + job.input.string());
        return detail(500, "the upload could not be stored");
    }
    json accepted{{"job_id", job.id}, {"status_url", "/api/v1/jobs/" + job.id}, {"status", "queued"}};
    log("[ConversionService] Auftrag " + job.id + " angenommen: " + job.filename + " (" + std::to_string(received.bytes) + " Bytes)");
    lock.lock();
    const std::vector<fs::path> old = forgetOldJobs();
    pending.push_back(job.id);
    jobs.emplace(job.id, std::move(job));
    changed.notify_all();
    lock.unlock();
    for (const fs::path& folder : old) fs::remove_all(folder, ec);
    return {202, accepted.dump(), "application/json", {}};
}

Answer ConversionService::State::jobAnswer(const std::string& id, bool download) {
    std::unique_lock lock(mutex);
    const auto it = jobs.find(id);
    if (it == jobs.end()) return detail(404, "Job not found");
    const Job& job = it->second;
    if (download) {
        if (job.state != JobState::completed) return detail(409, std::string("Job is ") + wireName(job.state));
        const fs::path pdf = job.pdf;
        lock.unlock();
        std::ifstream in(pdf, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in && !in.eof()) return detail(500, "the result could not be read");
        return {200, std::move(bytes), "application/pdf", {}};
    }
    json status{{"job_id", job.id},
                {"status", wireName(job.state)},
                {"filename", job.filename},
                {"output_format", job.outputFormat},
                {"download_url", nullptr},
                {"error", nullptr}};
    if (job.state == JobState::completed) status["download_url"] = "/api/v1/jobs/" + job.id + "/download";
    if (job.state == JobState::failed) status["error"] = job.error;
    return {200, status.dump(), "application/json", {}};
}

std::vector<fs::path> ConversionService::State::forgetOldJobs() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<fs::path> folders;
    for (auto it = jobs.begin(); it != jobs.end();) {
        const bool finished = it->second.state == JobState::completed || it->second.state == JobState::failed;
        if (finished && now - it->second.finishedAt > options.jobRetention) {
            folders.push_back(it->second.folder);
            it = jobs.erase(it);
        } else {
            ++it;
        }
    }
    return folders;
}

void ConversionService::State::convertLoop() {
    std::unique_lock lock(mutex);
    while (true) {
        changed.wait(lock, [this] { return stopping || !pending.empty(); });
        if (stopping) return;
        const std::string id = pending.front();
        pending.pop_front();
        const auto it = jobs.find(id);
        if (it == jobs.end() || it->second.state != JobState::queued) continue;
        it->second.state = JobState::processing;
        changed.wait(lock, [&] { return stopping || !held || it->second.state != JobState::processing; });
        if (stopping) return;
        if (it->second.state != JobState::processing) continue;  // failed meanwhile
        const ConversionRequest request{it->second.input, it->second.pdf, {}, options.conversionTimeLimit};
        converting = true;
        lock.unlock();
        const ConversionResult result = backend->convert(request);
        lock.lock();
        converting = false;
        // Looked up again: a job failed meanwhile (failJob) may already have been forgotten.
        const auto found = jobs.find(id);
        if (found == jobs.end() || found->second.state != JobState::processing) continue;
        Job& job = found->second;
        job.finishedAt = std::chrono::steady_clock::now();
        if (result.status == ConversionStatus::converted) {
            job.state = JobState::completed;
            log("[ConversionService] Auftrag " + id + " umgewandelt: " + job.filename);
        } else {
            job.state = JobState::failed;
            job.error = result.reason.empty() ? "conversion failed" : result.reason;
            log("[ConversionService] Auftrag " + id + " nicht umgewandelt: " + job.filename + ": " + job.error);
        }
    }
}

ConversionService::ConversionService(std::unique_ptr<ConversionBackend> backend, ConversionServiceOptions options)
    : state_(std::make_unique<State>()) {
    state_->backend = std::move(backend);
    state_->options = std::move(options);
}

ConversionService::~ConversionService() {
    stop();
    std::lock_guard lock(state_->mutex);
    for (const auto& [id, job] : state_->jobs) {
        std::error_code ec;
        fs::remove_all(job.folder, ec);
    }
}

bool ConversionService::start(std::string& error) {
    State& s = *state_;
    std::lock_guard lock(s.mutex);
    if (s.running) return true;
    std::error_code ec;
    fs::create_directories(s.options.workDirectory, ec);
    if (ec) {
        error = "cannot create " + s.options.workDirectory.string() + ": " + ec.message();
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(s.options.port);
    if (const int rc = ::getaddrinfo(s.options.host.c_str(), service.c_str(), &hints, &found); rc != 0) {
        error = "cannot resolve " + s.options.host + ": " + gai_strerror(rc);
        return false;
    }
    int fd = ::socket(found->ai_family, found->ai_socktype | SOCK_CLOEXEC, found->ai_protocol);
    const int yes = 1;
    if (fd >= 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (fd < 0 || ::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, 64) != 0) {
        error = "cannot listen on " + s.options.host + ":" + service + ": " + std::strerror(errno);
        if (fd >= 0) ::close(fd);
        ::freeaddrinfo(found);
        return false;
    }
    ::freeaddrinfo(found);
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    s.port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    if (::pipe2(s.wake, O_CLOEXEC) != 0) {
        error = std::string("cannot create a pipe: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    s.listenFd = fd;
    s.running = true;
    s.stopping = false;
    s.acceptor = std::thread([&s] { s.acceptLoop(); });
    s.converter = std::thread([&s] { s.convertLoop(); });
    return true;
}

void ConversionService::stop() {
    State& s = *state_;
    {
        std::lock_guard lock(s.mutex);
        if (!s.running) return;
        s.stopping = true;
        s.changed.notify_all();
        if (s.converting) s.backend->abort();
        const char byte = 's';
        [[maybe_unused]] const ssize_t written = ::write(s.wake[1], &byte, 1);
    }
    s.acceptor.join();
    std::list<Connection> open;
    {
        std::lock_guard lock(s.mutex);
        for (Connection& c : s.connections) {
            if (c.fd >= 0) ::shutdown(c.fd, SHUT_RDWR);
        }
        open.swap(s.connections);
    }
    for (Connection& c : open) c.thread.join();
    s.converter.join();
    std::lock_guard lock(s.mutex);
    ::close(s.listenFd);
    ::close(s.wake[0]);
    ::close(s.wake[1]);
    s.listenFd = s.wake[0] = s.wake[1] = -1;
    s.running = false;
}

uint16_t ConversionService::port() const {
    std::lock_guard lock(state_->mutex);
    return state_->port;
}

std::string ConversionService::baseURL() const {
    std::lock_guard lock(state_->mutex);
    const std::string& host = state_->options.host;
    const std::string shown = host == "0.0.0.0" ? "127.0.0.1" : host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return "http://" + shown + ":" + std::to_string(state_->port) + "/";
}

void ConversionService::scriptUploads(int count, ScriptedAnswer answer) {
    std::lock_guard lock(state_->mutex);
    for (int i = 0; i < count; ++i) state_->scripted.push_back(answer);
}

void ConversionService::holdJobs(bool held) {
    std::lock_guard lock(state_->mutex);
    state_->held = held;
    state_->changed.notify_all();
}

bool ConversionService::failJob(const std::string& jobId, const std::string& message) {
    std::lock_guard lock(state_->mutex);
    const auto it = state_->jobs.find(jobId);
    if (it == state_->jobs.end()) return false;
    Job& job = it->second;
    if (job.state != JobState::queued && job.state != JobState::processing) return false;
    job.state = JobState::failed;
    job.error = message;
    job.finishedAt = std::chrono::steady_clock::now();
    state_->changed.notify_all();
    return true;
}

std::optional<ReceivedUpload> ConversionService::lastUpload() const {
    std::lock_guard lock(state_->mutex);
    return state_->last;
}

}  // namespace lumidex::cloud
