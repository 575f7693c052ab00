// The local converter with a real LibreOffice: one process for many files, restarted when it hangs or
// dies, and bad files answered with a reason. Skipped where LibreOffice is not installed.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include <future>
#include <iostream>
#include <thread>

#include "cloud/conversion_queue.h"
#include "cloud/libreoffice_converter.h"
#include "platform/pdf_document.h"
#include "platform/subprocess.h"
#include "support/office_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

class LibreOfficeConverterTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const std::string missing = findOfficeInstallation().missing; !missing.empty()) GTEST_SKIP() << missing;
    }

    // A queue over a converter whose process this test can inspect and disturb.
    std::unique_ptr<ConversionQueue> makeQueue(std::chrono::milliseconds timeLimit, std::chrono::milliseconds idleRelease = 60s) {
        LibreOfficeConverterOptions options;
        options.profileDirectory = dir / "profile";
        options.log = [](std::string_view) {};
        auto converter = std::make_unique<LibreOfficeConverter>(std::move(options));
        converter_ = converter.get();
        return std::make_unique<ConversionQueue>(std::move(converter), ConversionQueueOptions{timeLimit, [](std::string_view) {}, idleRelease});
    }

    fs::path write(const std::string& name, const std::string& bytes) {
        writeFile(dir / name, bytes);
        return dir / name;
    }

    static ConversionResult convert(ConversionQueue& queue, const fs::path& input, bool odf = false) {
        std::promise<ConversionResult> done;
        auto result = done.get_future();
        fs::path pdf = input;
        queue.submit({input, pdf.replace_extension(".out.pdf"), odf ? fs::path(input).replace_extension(".out.odf") : fs::path{}, {}},
                     [&done](ConversionResult r) { done.set_value(std::move(r)); });
        return result.get();
    }

    static std::string pdfText(const fs::path& pdf) {
        auto opened = platform::openPdfDocument(pdf);
        if (!opened.document) return {};
        std::string text;
        for (int page = 0; page < opened.document->pageCount(); ++page) text += opened.document->pageText(page) + "\n";
        return text;
    }

    TempDir dir;
    LibreOfficeConverter* converter_ = nullptr;
};

TEST_F(LibreOfficeConverterTest, ConvertsOneFileAfterAnotherInOneOfficeProcessReleasedWhenIdle) {
    auto queue = makeQueue(60s, 2s);
    const auto word = write("brief.docx", docx("<w:p><w:r><w:t>Zitronenfalter im Garten</w:t></w:r></w:p>", "Randnotiz"));
    const auto sheet = write("tabelle.xlsx", xlsx("Pflaumenbaum", "Geheimzahl"));
    const auto slides = write("vortrag.odp", odp("Folientitel Leuchtturm", "Sprechernotiz"));

    // What a session of a process that was killed left: its temporary folder and its pipe socket.
    const pid_t gone = fork();
    if (gone == 0) _exit(0);
    waitpid(gone, nullptr, 0);
    writeFile(dir / "profile" / "tmp" / (std::to_string(gone) + "-0") / "lu1.tmp" / "x", "left");
    const std::string socketPath =
        "/tmp/OSL_PIPE_" + std::to_string(::getuid()) + "_lumidex-office-" + std::to_string(gone) + "-0";
    const int socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", socketPath.c_str());
    ASSERT_EQ(::bind(socketFd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(socketFd);

    const ConversionResult first = convert(*queue, word);
    ASSERT_EQ(first.status, ConversionStatus::converted) << first.reason;
    EXPECT_FALSE(fs::exists(dir / "profile" / "tmp" / (std::to_string(gone) + "-0")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(socketPath)));
    const int officePid = converter_->officePid();
    // Ours and any of the office's own (one per profile): every socket the office process made.
    const auto officeSockets = platform::unixSocketPaths(officePid);
    EXPECT_FALSE(officeSockets.empty());
    for (const auto& [file, marker] : {std::pair{word, "Zitronenfalter"}, {sheet, "42"}, {slides, "Leuchtturm"}}) {
        const ConversionResult result = convert(*queue, file, true);
        ASSERT_EQ(result.status, ConversionStatus::converted) << file << ": " << result.reason;
        EXPECT_NE(pdfText(fs::path(file).replace_extension(".out.pdf")).find(marker), std::string::npos) << file;
        EXPECT_GT(fs::file_size(fs::path(file).replace_extension(".out.odf")), 0u);
        std::cout << "[ converted ] " << file.filename().string() << " in " << result.seconds << " s, office RSS "
                  << converter_->officeRssKb() / 1024 << " MB\n";
    }
    EXPECT_EQ(converter_->officePid(), officePid);
    EXPECT_EQ(converter_->starts(), 1u);
    // What the PDF leaves out, and why the text is read from the document itself: the hidden sheet, and
    // the end of a cell's text that runs into its filled neighbour.
    const std::string sheetPdf = pdfText(dir / "tabelle.out.pdf");
    EXPECT_EQ(sheetPdf.find("Geheimzahl"), std::string::npos);
    EXPECT_EQ(sheetPdf.find("Pflaumenbaum"), std::string::npos) << sheetPdf;

    // Idle, the converter gives its memory back, and comes again for the next file.
    const auto idleSince = std::chrono::steady_clock::now();
    while (converter_->officePid() != 0 && std::chrono::steady_clock::now() - idleSince < 10s) std::this_thread::sleep_for(100ms);
    EXPECT_EQ(converter_->officePid(), 0);
    // The ended session left nothing behind: no temporary folder, no pipe socket of ours.
    const auto leftovers = [this, &officeSockets] {
        std::vector<std::string> found;
        for (const auto& socket : officeSockets) {
            if (fs::exists(fs::symlink_status(socket))) found.push_back(socket.string());
        }
        std::error_code ec;
        for (fs::directory_iterator it(dir / "profile" / "tmp", ec), end; !ec && it != end; it.increment(ec)) {
            found.push_back(it->path().string());
        }
        const std::string ours = "OSL_PIPE_" + std::to_string(::getuid()) + "_lumidex-office-" + std::to_string(::getpid()) + "-";
        for (fs::directory_iterator it("/tmp", ec), end; !ec && it != end; it.increment(ec)) {
            if (it->path().filename().string().starts_with(ours)) found.push_back(it->path().string());
        }
        return found;
    };
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_EQ(convert(*queue, word).status, ConversionStatus::converted);
    EXPECT_EQ(converter_->starts(), 2u);
    queue.reset();
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(LibreOfficeConverterTest, AHungKilledOrCancelledConversionRestartsTheConverterAndBadFilesEndWithAReason) {
    auto queue = makeQueue(5s);
    const auto word = write("brief.docx", docx("<w:p><w:r><w:t>Zitronenfalter</w:t></w:r></w:p>"));
    ASSERT_EQ(convert(*queue, word).status, ConversionStatus::converted);
    const int first = converter_->officePid();

    ::kill(first, SIGSTOP);  // hangs
    const auto hangStarted = std::chrono::steady_clock::now();
    const ConversionResult hung = convert(*queue, word);
    EXPECT_EQ(hung.status, ConversionStatus::timedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - hangStarted, 15s);
    const ConversionResult afterHang = convert(*queue, word);
    EXPECT_EQ(afterHang.status, ConversionStatus::converted) << afterHang.reason;
    const int second = converter_->officePid();
    EXPECT_NE(second, first);

    // A conversion cancelled while the office process hangs ends at once.
    ::kill(second, SIGSTOP);
    std::promise<ConversionResult> cancelled;
    auto cancelledResult = cancelled.get_future();
    const auto cancelStarted = std::chrono::steady_clock::now();
    const auto ticket = queue->submit({word, dir / "cancelled.pdf", {}, {}}, [&](ConversionResult r) { cancelled.set_value(r); });
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(queue->cancel(ticket));
    EXPECT_EQ(cancelledResult.get().reason, "cancelled");
    EXPECT_LT(std::chrono::steady_clock::now() - cancelStarted, 3s);
    EXPECT_EQ(convert(*queue, word).status, ConversionStatus::converted);
    const int third = converter_->officePid();
    EXPECT_NE(third, second);

    ::kill(third, SIGKILL);  // dies between two files: the next file gets a fresh converter
    std::this_thread::sleep_for(200ms);
    const ConversionResult afterDeath = convert(*queue, word);
    EXPECT_EQ(afterDeath.status, ConversionStatus::converted) << afterDeath.reason;
    EXPECT_EQ(converter_->starts(), 4u);

    const std::string whole = xlsx("Kopf", "Fuss");
    const ConversionResult truncated = convert(*queue, write("kaputt.xlsx", whole.substr(0, whole.size() - 40)));
    EXPECT_EQ(truncated.status, ConversionStatus::cannotConvert);
    EXPECT_FALSE(truncated.reason.empty());
    EXPECT_EQ(convert(*queue, write("geheim.docx", encryptedOoxml())).status, ConversionStatus::locked);
    const auto bomb = write("bombe.odt", zipArchive({{"content.xml", "<x/>", false, 0xF0000000u},
                                                      {"styles.xml", "<x/>", false, 0xF0000000u}}));
    EXPECT_EQ(convert(*queue, bomb).status, ConversionStatus::cannotConvert);
    const ConversionResult gone = convert(*queue, dir / "gone.docx");
    EXPECT_EQ(gone.status, ConversionStatus::cannotConvert);
    EXPECT_NE(gone.reason.find("gone"), std::string::npos) << gone.reason;
    EXPECT_EQ(converter_->starts(), 4u);  // none of them cost the converter
}

}  // namespace
}  // namespace lumidex::cloud
