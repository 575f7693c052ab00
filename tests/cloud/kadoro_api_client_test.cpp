// The service client against the stand-in service over real loopback HTTP: what each answer of the
// service becomes, and that files travel intact, named and typed as the service needs them.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "cloud/conversion_service.h"
#include "cloud/kadoro_api_client.h"
#include "support/eventually.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::testing;
namespace fs = std::filesystem;
using Kind = KadoroError::Kind;

// "Converts" by writing a PDF that names its input; files whose name holds "broken" fail.
class FakeBackend final : public ConversionBackend {
public:
    std::string name() const override { return "fake"; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    ConversionResult convert(const ConversionRequest& request) override {
        if (request.input.filename().string().find("broken") != std::string::npos) {
            return {ConversionStatus::cannotConvert, "the file is damaged", 0.1};
        }
        writeFile(request.pdf, "%PDF-1.4 from " + request.input.filename().string() + " " + readFile(request.input));
        return {ConversionStatus::converted, "", 0.1};
    }
};

template <typename T>
KadoroError errorOf(const KadoroResult<T>& result) {
    if (const auto* e = std::get_if<KadoroError>(&result)) return *e;
    ADD_FAILURE() << "the call succeeded";
    return {};
}

class KadoroApiClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        ConversionServiceOptions options;
        options.apiKey = "secret";
        options.workDirectory = dir / "service";
        options.maxUploadBytes = 64 * 1024;
        options.log = [](std::string_view) {};
        service = std::make_unique<ConversionService>(std::make_unique<FakeBackend>(), options);
        std::string error;
        ASSERT_TRUE(service->start(error)) << error;
        client = std::make_unique<KadoroApiClient>(KadoroConfiguration{service->baseURL(), "secret", 10});
    }

    fs::path file(const std::string& name, const std::string& content = "contents") {
        writeFile(dir / name, content);
        return dir / name;
    }

    KadoroJobStatus waitForEnd(const std::string& jobId) {
        KadoroJobStatus last;
        EXPECT_TRUE(eventually([&] {
            const auto status = client->jobStatus(jobId);
            if (!std::holds_alternative<KadoroJobStatus>(status)) return true;
            last = std::get<KadoroJobStatus>(status);
            return last.state == KadoroJobState::completed || last.state == KadoroJobState::failed;
        }));
        return last;
    }

    TempDir dir;
    std::unique_ptr<ConversionService> service;
    std::unique_ptr<KadoroApiClient> client;
};

TEST_F(KadoroApiClientTest, FilesUploadedAtOnceComeBackAsTheirOwnPdfs) {
    std::vector<std::thread> threads;
    std::vector<std::string> downloaded(3);
    for (int i = 0; i < 3; ++i) {
        threads.emplace_back([&, i] {
            const std::string name = "Report" + std::to_string(i) + ".DOCX";
            const auto uploaded = client->upload(file(name, "body " + std::to_string(i)), "pdf");
            ASSERT_TRUE(std::holds_alternative<KadoroUploadResult>(uploaded)) << errorOf(uploaded).description();
            const KadoroUploadResult& job = std::get<KadoroUploadResult>(uploaded);
            EXPECT_EQ(job.statusURL, "/api/v1/jobs/" + job.jobId);
            const KadoroJobStatus done = waitForEnd(job.jobId);
            EXPECT_EQ(done.state, KadoroJobState::completed);
            EXPECT_EQ(done.filename, name);
            EXPECT_EQ(done.outputFormat, "pdf");
            EXPECT_TRUE(done.downloadURL.has_value());
            const fs::path target = dir / ("results/sub" + std::to_string(i)) / "out.pdf";  // folders missing
            const auto fetched = client->download(job.jobId, target);
            ASSERT_TRUE(std::holds_alternative<std::monostate>(fetched)) << errorOf(fetched).description();
            downloaded[static_cast<size_t>(i)] = readFile(target);
            EXPECT_EQ(std::distance(fs::directory_iterator(target.parent_path()), fs::directory_iterator()), 1);
        });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(downloaded[static_cast<size_t>(i)], "%PDF-1.4 from Report" + std::to_string(i) + ".DOCX body " + std::to_string(i));
    }

    // The upper-case extension still names the Word type; the format field precedes the file.
    const auto received = service->lastUpload();
    ASSERT_TRUE(received.has_value());
    EXPECT_EQ(received->contentType, "application/vnd.openxmlformats-officedocument.wordprocessingml.document");
    EXPECT_EQ(received->outputFormat, "pdf");
    EXPECT_EQ(received->bytes, 6u);
    EXPECT_EQ(received->partNames, (std::vector<std::string>{"output_format", "file"}));
}

TEST_F(KadoroApiClientTest, EachRejectionOfAnUploadBecomesItsOwnError) {
    const fs::path doc = file("letter.odt");
    const auto rejection = [&](int status, std::optional<std::string> retryAfter, std::string body) {
        service->scriptUploads(1, {status, std::move(retryAfter), std::move(body)});
        return errorOf(client->upload(doc, "pdf"));
    };

    KadoroError busy = rejection(503, "120", "{}");
    EXPECT_EQ(busy.kind, Kind::serviceBusy);
    EXPECT_EQ(busy.description(), "Service busy, retry after 120s");
    EXPECT_EQ(rejection(503, std::nullopt, "{}").retryAfter, 60);
    EXPECT_EQ(rejection(503, "Wed, 21 Oct 2026 07:28:00 GMT", "{}").retryAfter, 60);
    EXPECT_EQ(rejection(503, "", "{}").retryAfter, 60);

    EXPECT_EQ(rejection(429, std::nullopt, "{}").description(), "Rate limit exceeded");
    EXPECT_EQ(rejection(413, std::nullopt, "{}").kind, Kind::fileTooLarge);
    EXPECT_EQ(rejection(401, std::nullopt, "{}").kind, Kind::unauthorized);
    EXPECT_EQ(rejection(400, std::nullopt, R"({"detail":"Dateiformat nicht unterst\u00fctzt"})").kind, Kind::unsupportedFormat);
    EXPECT_EQ(rejection(400, std::nullopt, "Format UNSUPPORTED").kind, Kind::unsupportedFormat);
    EXPECT_EQ(rejection(400, std::nullopt, R"({"detail":"missing boundary"})").description(), "Upload failed (400): missing boundary");
    EXPECT_EQ(rejection(500, std::nullopt, R"({"error":"disk full"})").description(), "Upload failed (500): disk full");
    EXPECT_EQ(rejection(502, std::nullopt, "<html>bad gateway</html>").description(), "Upload failed (502): Unknown error");

    // A success without a job to follow is no success.
    for (const char* body : {R"({"status":"queued"})", "not json", R"({"job_id":""})"}) {
        const KadoroError broken = rejection(200, std::nullopt, body);
        EXPECT_EQ(broken.kind, Kind::uploadFailed) << body;
        EXPECT_EQ(broken.message, "Invalid JSON response") << body;
    }

    // The service's own refusals: a size over its limit, a type it cannot convert, a wrong key.
    EXPECT_EQ(errorOf(client->upload(file("big.docx", std::string(2 << 20, 'x')), "pdf")).kind, Kind::fileTooLarge);
    EXPECT_EQ(errorOf(client->upload(file("photo.xyz"), "pdf")).kind, Kind::unsupportedFormat);
    KadoroApiClient stranger({service->baseURL(), "wrong", 10});
    EXPECT_EQ(errorOf(stranger.upload(doc, "pdf")).kind, Kind::unauthorized);
    EXPECT_EQ(errorOf(stranger.jobStatus("anything")).kind, Kind::unauthorized);
}

TEST_F(KadoroApiClientTest, UnfinishedFailedAndUnknownJobsAreToldApart) {
    EXPECT_EQ(errorOf(client->jobStatus("no-such-job")).kind, Kind::jobNotFound);
    EXPECT_EQ(errorOf(client->jobStatus("../convert")).kind, Kind::jobNotFound);  // one path segment, escaped

    service->holdJobs(true);
    const auto held = client->upload(file("slow.docx"), "pdf");
    ASSERT_TRUE(std::holds_alternative<KadoroUploadResult>(held));
    const std::string heldId = std::get<KadoroUploadResult>(held).jobId;
    ASSERT_TRUE(eventually([&] {
        const auto status = client->jobStatus(heldId);
        return std::holds_alternative<KadoroJobStatus>(status) && std::get<KadoroJobStatus>(status).state == KadoroJobState::processing;
    }));
    const fs::path target = dir / "never" / "slow.pdf";
    const KadoroError early = errorOf(client->download(heldId, target));
    EXPECT_EQ(early.kind, Kind::downloadFailed);
    EXPECT_EQ(early.description(), "Download failed (409)");
    EXPECT_FALSE(fs::exists(target));
    EXPECT_TRUE(fs::is_empty(target.parent_path()));  // no partial file left behind

    ASSERT_TRUE(service->failJob(heldId, "out of memory"));
    service->holdJobs(false);
    const KadoroJobStatus failed = waitForEnd(heldId);
    EXPECT_EQ(failed.state, KadoroJobState::failed);
    EXPECT_EQ(failed.error, "out of memory");
    EXPECT_EQ(errorOf(client->download(heldId, target)).statusCode, 409);

    const auto broken = client->upload(file("broken.xlsx"), "pdf");
    ASSERT_TRUE(std::holds_alternative<KadoroUploadResult>(broken));
    const KadoroJobStatus damaged = waitForEnd(std::get<KadoroUploadResult>(broken).jobId);
    EXPECT_EQ(damaged.state, KadoroJobState::failed);
    EXPECT_EQ(damaged.error, "the file is damaged");
    EXPECT_FALSE(damaged.downloadURL.has_value());
    EXPECT_EQ(errorOf(client->download("no-such-job", target)).statusCode, 404);
}

TEST_F(KadoroApiClientTest, NoServiceAndNoUsableAddressAreErrorsNotHangs) {
    // A port nobody listens on: bound, read, closed.
    const int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(probe);
    KadoroApiClient closed({"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", "secret", 5});
    const KadoroError refused = errorOf(closed.upload(file("a.docx"), "pdf"));
    EXPECT_EQ(refused.kind, Kind::networkError);
    EXPECT_TRUE(refused.description().starts_with("Network error: ")) << refused.description();
    EXPECT_EQ(errorOf(closed.jobStatus("x")).kind, Kind::networkError);
    EXPECT_EQ(errorOf(closed.download("x", dir / "x.pdf")).kind, Kind::networkError);
    EXPECT_FALSE(fs::exists(dir / "x.pdf"));

    // A service that takes the connection and never answers is given up after the timeout.
    const int silent = ::socket(AF_INET, SOCK_STREAM, 0);
    address.sin_port = 0;
    size = sizeof address;
    ASSERT_EQ(::bind(silent, reinterpret_cast<sockaddr*>(&address), size), 0);
    ASSERT_EQ(::listen(silent, 4), 0);
    ::getsockname(silent, reinterpret_cast<sockaddr*>(&address), &size);
    KadoroApiClient stalled({"http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/", "secret", 1});
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(errorOf(stalled.jobStatus("x")).kind, Kind::networkError);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    ::close(silent);

    for (const char* base : {"", "not a url", "ftp://example.com/", "file:///tmp/"}) {
        KadoroApiClient invalid({base, "secret", 5});
        EXPECT_EQ(errorOf(invalid.upload(file("a.docx"), "pdf")).kind, Kind::invalidURL) << base;
        EXPECT_EQ(errorOf(invalid.jobStatus("x")).kind, Kind::invalidURL) << base;
    }

    // A base without its final slash still reaches the routes; a missing file is not sent.
    KadoroApiClient noSlash({service->baseURL().substr(0, service->baseURL().size() - 1), "secret", 5});
    EXPECT_TRUE(std::holds_alternative<KadoroUploadResult>(noSlash.upload(file("b.docx"), "pdf")));
    const KadoroError missing = errorOf(client->upload(dir / "gone.docx", "pdf"));
    EXPECT_EQ(missing.kind, Kind::uploadFailed);
    EXPECT_EQ(missing.statusCode, 0);
}

}  // namespace
}  // namespace lumidex::cloud
