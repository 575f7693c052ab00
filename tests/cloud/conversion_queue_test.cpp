// The queue's policy over a scripted backend: which failures get a second try, and what a file that
// disappears during its conversion ends as.
#include <gtest/gtest.h>

#include <deque>
#include <future>

#include "cloud/conversion_queue.h"
#include "support/office_fixtures.h"
#include "support/temp_home.h"

namespace lumidex::cloud {
namespace {

using namespace lumidex::testing;
namespace fs = std::filesystem;

// Answers from a script, one per call; `beforeAnswer` runs inside the conversion.
class ScriptedBackend final : public ConversionBackend {
public:
    std::deque<ConversionResult> answers;
    std::function<void()> beforeAnswer;
    int calls = 0;

    std::string name() const override { return "scripted"; }
    std::optional<std::string> unavailableReason() const override { return std::nullopt; }
    ConversionResult convert(const ConversionRequest& request) override {
        ++calls;
        if (beforeAnswer) beforeAnswer();
        ConversionResult answer = answers.front();
        answers.pop_front();
        if (answer.status == ConversionStatus::converted) writeFile(request.pdf, "%PDF-1.4");
        return answer;
    }
};

ConversionResult convert(ConversionQueue& queue, const fs::path& input, const fs::path& pdf) {
    std::promise<ConversionResult> done;
    auto result = done.get_future();
    queue.submit({input, pdf, {}, {}}, [&done](ConversionResult r) { done.set_value(std::move(r)); });
    return result.get();
}

TEST(ConversionQueueTest, OnlyTransientFailuresAreTriedAgainAndAFileGoneMidwayIsSaidToBeGone) {
    TempDir dir;
    const fs::path input = dir / "brief.docx";
    writeFile(input, docx("<w:p/>"));
    auto backend = std::make_unique<ScriptedBackend>();
    ScriptedBackend& script = *backend;
    ConversionQueue queue(std::move(backend), {std::chrono::seconds(5), [](std::string_view) {}});

    script.answers = {{ConversionStatus::failed, "office process died", 1.0}, {ConversionStatus::converted, "", 0.5}};
    const ConversionResult retried = convert(queue, input, dir / "a.pdf");
    EXPECT_EQ(retried.status, ConversionStatus::converted);
    EXPECT_DOUBLE_EQ(retried.seconds, 1.5);  // both tries count
    EXPECT_EQ(script.calls, 2);

    script.answers = {{ConversionStatus::timedOut, "took longer than 5 s", 5.0}};
    EXPECT_EQ(convert(queue, input, dir / "b.pdf").status, ConversionStatus::timedOut);
    EXPECT_EQ(script.calls, 3);  // a file that hangs the converter is not fed to it twice

    script.answers = {{ConversionStatus::failed, "office process died", 0.1}, {ConversionStatus::failed, "again", 0.1}};
    script.beforeAnswer = [&] { fs::remove(input); };
    const ConversionResult gone = convert(queue, input, dir / "d.pdf");
    EXPECT_EQ(gone.status, ConversionStatus::cannotConvert);
    EXPECT_EQ(gone.reason, "the file was removed during its conversion");
}

TEST(ConversionQueueTest, APackageSavedAsAFolderServesItsOwnPreviewPdfAndNeverReachesTheConverter) {
    TempDir dir;
    auto backend = std::make_unique<ScriptedBackend>();
    ScriptedBackend& script = *backend;
    ConversionQueue queue(std::move(backend), {std::chrono::seconds(5), [](std::string_view) {}});
    writeFile(dir / "Plan.pages" / "QuickLook" / "Preview.pdf", "%PDF-1.3 the package's own rendering");
    EXPECT_EQ(convert(queue, dir / "Plan.pages", dir / "plan.pdf").status, ConversionStatus::converted);
    EXPECT_EQ(readFile(dir / "plan.pdf"), "%PDF-1.3 the package's own rendering");

    fs::create_directories(dir / "Bare.numbers" / "Index");
    const ConversionResult bare = convert(queue, dir / "Bare.numbers", dir / "bare.pdf");
    EXPECT_EQ(bare.status, ConversionStatus::cannotConvert);
    EXPECT_NE(bare.reason.find("QuickLook/Preview.pdf"), std::string::npos);
    EXPECT_EQ(script.calls, 0);
}

}  // namespace
}  // namespace lumidex::cloud
