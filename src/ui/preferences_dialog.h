// The preferences: the settings categories a user changes (search, processing, appearance, sharing,
// server with the access token), read and written through the SettingsService, the same checks and
// messages as the local API and the command line. The dialog checks nothing itself: a value the service
// refuses is shown with the service's message next to its field, and nothing of that category is
// stored. Only the fields changed since the dialog was filled are sent.
//
// What takes effect at once: the search figures at the next search, the processing settings at the
// next processing run; the server's switch and port at the next start. The appearance and sharing
// settings and the search page's switches are stored for the other ways in but not applied by this
// window, which each page says.
//
// GUI thread only; the service is borrowed and must outlive the dialog.
#pragma once

#include <QDialog>

#include <functional>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;

namespace lumidex::service {
class SettingsService;
}

namespace lumidex::ui {

class PreferencesDialog : public QDialog {
    Q_OBJECT
public:
    explicit PreferencesDialog(service::SettingsService& settings, QWidget* parent = nullptr);

    // Fills every field from the stored settings and clears the messages.
    void load();
    // Sends the changed fields category by category; true when everything changed was stored. A
    // refused or failed category keeps its fields as typed and shows why; the status names the
    // categories saved and those refused.
    bool save();

    // The editor of a key of the categories ("min_char_count", "font_size", "enabled" ...): QCheckBox,
    // QSpinBox, QDoubleSpinBox, QComboBox or QListWidget; null for an unknown key.
    QWidget* editor(const std::string& key) const;
    // The message shown next to a key's editor; empty when the value was accepted.
    QString fieldMessage(const std::string& key) const;
    QLabel& status() { return *status_; }
    QLineEdit& tokenField() { return *token_; }
    QPushButton& generateTokenButton() { return *generateToken_; }
    QTabWidget& pages() { return *pages_; }

private:
    enum class Page { search, processing, appearance, sharing, server };
    struct Field {
        Page page;
        QWidget* editor = nullptr;
        QLabel* message = nullptr;
        std::function<nlohmann::json()> read;
        std::function<void(const nlohmann::json&)> show;
        nlohmann::json loaded;
    };

    void build();
    QWidget* addField(Page page, const std::string& key, QWidget* editor, std::function<nlohmann::json()> read,
                      std::function<void(const nlohmann::json&)> show);
    void showAnswer(Page page, const nlohmann::json& answer);
    void showRefusal(Page page, const std::string& message);
    void generateToken();

    service::SettingsService& settings_;
    std::map<std::string, Field> fields_;
    QTabWidget* pages_;
    QLabel* status_;
    QLabel* actualPort_;
    QLineEdit* token_;
    QPushButton* generateToken_;
};

}  // namespace lumidex::ui
