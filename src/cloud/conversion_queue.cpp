#include "cloud/conversion_queue.h"

#include <algorithm>
#include <cstdio>

#include "cloud/office_text.h"
#include "core/app_log.h"

namespace lumidex::cloud {
namespace {

std::string formatSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

}  // namespace

ConversionQueue::ConversionQueue(std::unique_ptr<ConversionBackend> backend, ConversionQueueOptions options)
    : backend_(std::move(backend)), options_(std::move(options)), thread_([this] { serve(); }) {}

ConversionQueue::~ConversionQueue() {
    std::deque<Entry> left;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        left.swap(waiting_);
        if (running_ != 0) {
            runningCancelled_ = true;
            backend_->abort();
        }
    }
    changed_.notify_all();
    for (Entry& entry : left) {
        ConversionResult result;
        result.reason = "the conversion queue was shut down";
        if (entry.done) entry.done(std::move(result));
    }
    thread_.join();
}

ConversionQueue::Ticket ConversionQueue::submit(ConversionRequest request, Done done) {
    request.timeLimit = options_.timeLimit;
    std::unique_lock lock(mutex_);
    const Ticket ticket = nextTicket_++;
    if (stopping_) {
        lock.unlock();
        ConversionResult result;
        result.reason = "the conversion queue was shut down";
        if (done) done(std::move(result));
        return ticket;
    }
    waiting_.push_back(Entry{ticket, std::move(request), std::move(done)});
    changed_.notify_all();
    return ticket;
}

bool ConversionQueue::cancel(Ticket ticket) {
    Entry entry;
    {
        std::lock_guard lock(mutex_);
        if (ticket == running_ && running_ != 0) {
            runningCancelled_ = true;
            backend_->abort();
            return true;
        }
        const auto found = std::find_if(waiting_.begin(), waiting_.end(), [&](const Entry& e) { return e.ticket == ticket; });
        if (found == waiting_.end()) return false;
        entry = std::move(*found);
        waiting_.erase(found);
    }
    ConversionResult result;
    result.reason = "cancelled";
    if (entry.done) entry.done(std::move(result));
    return true;
}

bool ConversionQueue::runningCancelled() const {
    std::lock_guard lock(mutex_);
    return runningCancelled_;
}

ConversionQueueStats ConversionQueue::stats() const {
    std::lock_guard lock(mutex_);
    return stats_;
}

void ConversionQueue::log(std::string_view line) const {
    if (options_.log) options_.log(line);
    else appLog(line);
}

namespace {

// An office package saved as a folder (older Pages, Numbers and Keynote) cannot be read by either
// backend, but the application left its own rendering inside, which serves as the document's PDF.
ConversionResult convertPackageFolder(const ConversionRequest& request) {
    ConversionResult result;
    const std::filesystem::path preview = request.input / "QuickLook" / "Preview.pdf";
    std::error_code ec;
    if (!std::filesystem::is_regular_file(preview, ec)) {
        result.status = ConversionStatus::cannotConvert;
        result.reason = "a document saved as a folder without its preview PDF (QuickLook/Preview.pdf); "
                        "only the single-file form can be converted";
        return result;
    }
    std::filesystem::copy_file(preview, request.pdf, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        result.status = ConversionStatus::failed;
        result.reason = "cannot copy the package's preview PDF: " + ec.message();
        return result;
    }
    result.status = ConversionStatus::converted;
    return result;
}

}  // namespace

ConversionResult ConversionQueue::convertOne(const ConversionRequest& request) {
    std::error_code directory;
    if (std::filesystem::is_directory(request.input, directory)) return convertPackageFolder(request);
    ConversionResult result;
    const ConversionCheck check = checkBeforeConversion(request.input);
    if (check.admission != Admission::convert) {
        result.status = check.admission == Admission::locked ? ConversionStatus::locked : ConversionStatus::cannotConvert;
        result.reason = check.reason;
        return result;
    }
    result = backend_->convert(request);
    if (result.status == ConversionStatus::failed && !runningCancelled()) {
        log("[OfficeConversion] neuer Versuch mit frischem Konverter: " + request.input.string() + ": " + result.reason);
        const double firstTry = result.seconds;
        result = backend_->convert(request);
        result.seconds += firstTry;
    }
    std::error_code ec;
    if (result.status != ConversionStatus::converted && !std::filesystem::exists(request.input, ec)) {
        result.status = ConversionStatus::cannotConvert;
        result.reason = "the file was removed during its conversion";
    }
    if (result.status == ConversionStatus::converted && !std::filesystem::is_regular_file(request.pdf, ec)) {
        result.status = ConversionStatus::failed;
        result.reason = "the converter reported success but wrote no PDF";
    }
    return result;
}

void ConversionQueue::serve() {
    bool busySinceRelease = false;
    for (;;) {
        Entry entry;
        {
            std::unique_lock lock(mutex_);
            const auto ready = [this] { return stopping_ || !waiting_.empty(); };
            if (!changed_.wait_for(lock, options_.idleRelease, ready) && busySinceRelease) {
                lock.unlock();
                backend_->release();
                busySinceRelease = false;
                continue;
            }
            changed_.wait(lock, ready);
            if (stopping_) return;
            entry = std::move(waiting_.front());
            waiting_.pop_front();
            running_ = entry.ticket;
            runningCancelled_ = false;
        }
        ConversionResult result = convertOne(entry.request);
        busySinceRelease = true;
        {
            std::lock_guard lock(mutex_);
            running_ = 0;
            if (runningCancelled_) {
                result.status = ConversionStatus::failed;
                result.reason = "cancelled";
            }
        }
        if (result.status == ConversionStatus::converted) {
            log("[OfficeConversion] " + entry.request.input.string() + ": PDF in " + formatSeconds(result.seconds));
        } else {
            log("[OfficeConversion] nicht umgewandelt: " + entry.request.input.string() + ": " + result.reason + " (" +
                formatSeconds(result.seconds) + ")");
        }
        {
            std::lock_guard lock(mutex_);
            if (result.status == ConversionStatus::converted) {
                ++stats_.converted;
                stats_.totalSeconds += result.seconds;
                stats_.maxSeconds = std::max(stats_.maxSeconds, result.seconds);
            } else {
                ++stats_.notConverted;
            }
        }
        if (entry.done) entry.done(std::move(result));
    }
}

}  // namespace lumidex::cloud
