// The conversion service's client over HTTP (libcurl): one connection per call, so any number of
// threads may call it at once. The configuration is fixed at construction.
//
// Every call sends "X-API-Key", gives up after the configuration's timeout without progress (no
// byte received or sent for that long, or no connection within it), and never follows a redirect.
// A base URL that is not an http(s) URL with a host answers every call with invalidURL before
// anything is sent. Local file trouble (the upload cannot be read, the download cannot be written)
// comes back as uploadFailed with status 0 and as networkError respectively, with the reason.
#pragma once

#include <string>

#include "cloud/kadoro_client.h"

namespace lumidex::cloud {

class KadoroApiClient final : public KadoroClient {
public:
    explicit KadoroApiClient(KadoroConfiguration config);

    const KadoroConfiguration& config() const { return config_; }

    KadoroResult<KadoroUploadResult> upload(const std::filesystem::path& file, const std::string& outputFormat) override;
    KadoroResult<KadoroJobStatus> jobStatus(const std::string& jobId) override;
    KadoroResult<std::monostate> download(const std::string& jobId, const std::filesystem::path& destination) override;

private:
    KadoroConfiguration config_;
    bool validBase_ = false;
};

}  // namespace lumidex::cloud
