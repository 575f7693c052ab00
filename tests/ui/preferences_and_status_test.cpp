#include <gtest/gtest.h>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>

#include "core/settings/settings.h"
#include "folders/coordinator/balanced_data_manager.h"
#include "platform/media_fixtures.h"
#include "processing/extractors/extractor_fixtures.h"
#include "service/settings_service.h"
#include "ui/folder_sidebar.h"
#include "ui/indexing_indicator.h"
#include "ui/preferences_dialog.h"
#include "ui/problems_dialog.h"
#include "ui/single_instance.h"
#include "window_fixture.h"

namespace lumidex::ui::testing {
namespace {

using namespace std::chrono_literals;

class WindowExtrasTest : public WindowFixture {
protected:
    void SetUp() override { ASSERT_NO_FATAL_FAILURE(openWindow()); }

    // Runs `work` on another thread while this one keeps the window's event loop going.
    template <typename Work>
    static auto offTheGuiThread(Work work) {
        auto result = std::async(std::launch::async, std::move(work));
        EXPECT_TRUE(waitFor([&] { return result.wait_for(0s) == std::future_status::ready; }));
        return result.get();
    }
};

template <typename Editor>
Editor& editorOf(PreferencesDialog& dialog, const std::string& key) {
    auto* editor = qobject_cast<Editor*>(dialog.editor(key));
    EXPECT_NE(editor, nullptr) << key;
    return *editor;
}

TEST_F(WindowExtrasTest, PreferencesStoreThroughTheServiceAndShowARefusalNextToItsField) {
    PreferencesDialog& dialog = window->showPreferences();
    const Settings settings(*settingsStore);
    EXPECT_EQ(editorOf<QDoubleSpinBox>(dialog, "font_size").value(), settings.listFontSize());

    // A refused value stores nothing of its category, and is named next to its field; the other
    // categories are stored, and the status says which were and which were not.
    editorOf<QDoubleSpinBox>(dialog, "font_size").setValue(9);
    editorOf<QCheckBox>(dialog, "show_path_bar").setChecked(!settings.showPathBar());
    editorOf<QSpinBox>(dialog, "configured_port").setValue(80);
    editorOf<QSpinBox>(dialog, "min_char_count").setValue(4);
    EXPECT_FALSE(dialog.save());
    EXPECT_EQ(dialog.fieldMessage("font_size"), QStringLiteral("font_size must be between 10 and 24"));
    EXPECT_EQ(dialog.fieldMessage("configured_port"), QStringLiteral("configured_port must be between 1024 and 65535"));
    EXPECT_TRUE(dialog.fieldMessage("show_path_bar").isEmpty());
    EXPECT_EQ(dialog.status().text(), QStringLiteral("Saved: Search. Not saved: Appearance (font_size must be between 10 "
                                                     "and 24); Server (configured_port must be between 1024 and 65535)"));
    EXPECT_EQ(settings.minSearchCharCount(), 4);
    EXPECT_FALSE(settingsStore->contains(SettingsKeys::listFontSizeKey));
    EXPECT_FALSE(settingsStore->contains(SettingsKeys::settingsShowPathBarKey));
    EXPECT_FALSE(settingsStore->contains(SettingsKeys::apiServerPortKey));

    editorOf<QDoubleSpinBox>(dialog, "font_size").setValue(24);
    editorOf<QSpinBox>(dialog, "configured_port").setValue(50123);
    editorOf<QSpinBox>(dialog, "auto_search_delay").setValue(2);
    EXPECT_TRUE(dialog.save()) << dialog.status().text().toStdString();
    EXPECT_EQ(dialog.status().text(), QStringLiteral("Saved."));
    EXPECT_TRUE(dialog.fieldMessage("font_size").isEmpty());
    EXPECT_EQ(settings.listFontSize(), 24.0);
    EXPECT_NE(settings.showPathBar(), DefaultSettings::settingsShowPathBar);
    EXPECT_EQ(settings.apiServerPort(), 50123);
    EXPECT_EQ(settings.autoSearchDelaySeconds(), 2);
    EXPECT_EQ(settings.minSearchCharCount(), 4) << "fields unchanged since the last save are not sent";

    // The generate button stores a new token, which the field shows.
    EXPECT_TRUE(dialog.tokenField().text().isEmpty());
    dialog.generateTokenButton().click();
    const QString first = dialog.tokenField().text();
    EXPECT_EQ(first.toStdString(), settings.apiServerToken());
    dialog.generateTokenButton().click();
    EXPECT_NE(dialog.tokenField().text(), first) << "a new token replaces the old one";

    // What the command line changes while the dialog is closed shows when it opens again.
    dialog.close();
    ASSERT_EQ(service::storeSettingText(*settingsStore, SettingsKeys::listFontSizeKey, "20"), std::nullopt);
    EXPECT_EQ(editorOf<QDoubleSpinBox>(window->showPreferences(), "font_size").value(), 20.0);
}

TEST(PreferencesDialogTest, AFailedWriteIsShownAsNotSaved) {
    ensureTestApplication();  // when this test runs alone
    lumidex::testing::TempDir dir;
    lumidex::testing::writeFile(dir / "not-a-folder", "x");
    SettingsStore store(dir / "not-a-folder" / "settings.json");  // no file can be written below a file
    service::SettingsService service(store, {});
    PreferencesDialog dialog(service);
    auto* toggle = qobject_cast<QCheckBox*>(dialog.editor("show_ocr_rects"));
    ASSERT_NE(toggle, nullptr);
    toggle->setChecked(!toggle->isChecked());
    EXPECT_FALSE(dialog.save());
    EXPECT_TRUE(dialog.status().text().startsWith(QStringLiteral("Not saved: Search (Could not save the settings")))
        << dialog.status().text().toStdString();
}

TEST_F(WindowExtrasTest, ASecondStartHandsItsFolderToTheRunningWindow) {
    const QString socketPath = QString::fromStdString((scratch / "window.socket").string());
    {
        // What an instance that crashed leaves behind: the socket file, with nobody listening.
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.toLocal8Bit().constData(), sizeof address.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    }
    InstanceElection first = electInstance(socketPath, {});
    ASSERT_NE(first.server, nullptr) << first.error.toStdString();
    EXPECT_EQ(first.handover, Handover::noInstance) << "the stale socket is taken over";
    QObject::connect(first.server.get(), &InstanceServer::argumentsReceived, window.get(), &MainWindow::takeArguments);

    const auto added = scratch / "Later";
    std::filesystem::create_directories(added);
    const InstanceElection second = offTheGuiThread([&] {
        return electInstance(socketPath, {QString::fromStdString(added.string())});
    });
    EXPECT_EQ(second.handover, Handover::done);
    EXPECT_EQ(second.server, nullptr);
    EXPECT_TRUE(waitFor([&] {
        const auto& rows = window->sidebar().rows();
        return std::any_of(rows.begin(), rows.end(), [&](const FolderRow& row) { return row.path == added.string(); });
    }, 20000)) << "the running window took the folder after confirming";

    first.server.reset();
    EXPECT_EQ(offTheGuiThread([&] { return handToRunningInstance(socketPath, {}); }), Handover::noInstance)
        << "a closed window leaves no socket that would swallow the next start";
}

TEST_F(WindowExtrasTest, LockedAndBrokenDocumentsAreListedAndCountedWhereTheUserCanActOnThem) {
    const auto plain = scratch / "plain.pdf";
    lumidex::testing::writeBinaryFile(plain, lumidex::testing::makePdf({lumidex::testing::PdfPageFixture{}}));
    if (!processing::testing::encryptPdf(plain, root / "locked.pdf", "secret", "owner")) {
        GTEST_SKIP() << "qpdf not available";
    }
    lumidex::testing::writeFile(root / "broken.pdf", "%PDF-1.4\nnot a document\n");
    const auto manager = core->balancedDataManager(root.string());
    manager->fullScan();
    ASSERT_TRUE(manager->waitUntilIdle(20s));

    ProblemsDialog& problems = window->showProblems();
    ASSERT_TRUE(waitFor([&] { return !problems.isLoading() && problems.list().topLevelItemCount() == 2; }));
    EXPECT_EQ(problems.list().topLevelItem(0)->text(0), QStringLiteral("broken.pdf"));
    const QTreeWidgetItem* locked = problems.list().topLevelItem(1);
    EXPECT_EQ(locked->text(0), QStringLiteral("locked.pdf"));
    EXPECT_EQ(locked->text(1), QStringLiteral("The pdf file is encrypted/locked with a password."));

    IndexingIndicator& indicator = window->indicator();
    indicator.refresh();
    ASSERT_TRUE(waitFor([&] { return !indicator.isReading() && indicator.figures().documents == 5; }));
    EXPECT_TRUE(indicator.label().text().startsWith(QStringLiteral("5 documents indexed · searchable: 3 of 3")))
        << indicator.label().text().toStdString();
    EXPECT_FALSE(indicator.problemsButton().isHidden());
    EXPECT_EQ(indicator.problemsButton().text(), QStringLiteral("2 documents could not be read"));

    // Processed again, the locked file is off the list until it fails again.
    problems.list().setCurrentItem(problems.list().topLevelItem(1));
    ASSERT_TRUE(problems.processSelectedAgain()) << problems.status().text().toStdString();
    EXPECT_EQ(problems.list().topLevelItemCount(), 1);
    ASSERT_TRUE(manager->waitUntilIdle(20s));
    problems.reload();
    ASSERT_TRUE(waitFor([&] { return !problems.isLoading() && problems.list().topLevelItemCount() == 2; }));
}

}  // namespace
}  // namespace lumidex::ui::testing
