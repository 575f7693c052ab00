// A way to turn an office document into a PDF: the local converter, or (later) a conversion service.
//
// convert() turns one file into a PDF (and, when asked, an OpenDocument copy whose XML holds the
// document's full text) within the request's time limit, and says how it ended:
//   converted    — the PDF was written, and the OpenDocument copy by a backend that makes one;
//   locked       — the document is protected with a password (permanent);
//   cannotConvert — the converter cannot read this file (damaged, not what its name says): permanent,
//                  trying again gives the same answer;
//   timedOut     — the file kept the converter busy past the time limit; the converter was restarted;
//   failed       — the converter itself went wrong (died, could not start): transient, the file may
//                  convert on another try.
// One call at a time per backend (the queue serialises them); unavailableReason() and abort() may be
// called from any thread. Nothing throws except std::bad_alloc.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace lumidex::cloud {

struct ConversionRequest {
    std::filesystem::path input;
    std::filesystem::path pdf;   // written
    std::filesystem::path odf;   // written when not empty and the backend makes one (the service does not)
    std::chrono::milliseconds timeLimit{std::chrono::seconds(120)};
};

enum class ConversionStatus { converted, locked, cannotConvert, timedOut, failed };

struct ConversionResult {
    ConversionStatus status = ConversionStatus::failed;
    std::string reason;    // why it was not converted; empty when converted
    double seconds = 0;    // time of this conversion, start of the converter included when it had to start
};

class ConversionBackend {
public:
    virtual ~ConversionBackend() = default;
    virtual std::string name() const = 0;
    // Why nothing can be converted at all (the converter is not installed), or nullopt.
    virtual std::optional<std::string> unavailableReason() const = 0;
    virtual ConversionResult convert(const ConversionRequest& request) = 0;
    // Ends the conversion in progress at once (it returns failed); nothing when none runs.
    virtual void abort() {}
    // Gives back what an idle converter holds (its processes); the next convert() takes it up again.
    // Called by the converting thread.
    virtual void release() {}
    // The PDF of INPUT, converted, could not be processed after all; a backend with its own record of
    // the file (the service's queue) marks it for another try. Any thread.
    virtual void processingFailed(const std::filesystem::path& input) { (void)input; }
};

}  // namespace lumidex::cloud
