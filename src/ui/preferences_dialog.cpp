#include "ui/preferences_dialog.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

#include <array>

#include "service/settings_service.h"

namespace lumidex::ui {
namespace {

using nlohmann::json;

struct Toggle {
    const char* key;
    const char* title;
};

constexpr std::array kSearchToggles{
    Toggle{"show_ocr_rects", "Highlight the matches on the page"},
    Toggle{"animate_ocr_rects", "Animate the highlights"},
    Toggle{"show_edited_checkbox", "Show the “edited” check box"},
};
constexpr std::array kProcessingToggles{
    Toggle{"low_res_images", "Recognise text on images at reduced resolution (faster)"},
    Toggle{"ignore_small_images", "Skip small images"},
    Toggle{"slow_hard_drive", "Slow drive: read one file at a time"},
    Toggle{"disable_idle_timer", "Keep the computer awake while indexing"},
    Toggle{"use_cloud_service", "Send office documents to the cloud text extraction"},
    Toggle{"exclude_by_extension", "Leave out files with the extensions ticked below"},
};
constexpr std::array kAppearanceToggles{
    Toggle{"show_path_bar", "Show the path bar"},
    Toggle{"show_busy_indicator", "Show the busy indicator while indexing"},
    Toggle{"always_show_busy_indicator", "Always show the busy indicator"},
    Toggle{"show_busy_sheet", "Show the busy sheet"},
    Toggle{"show_thumbnails_in_list", "Show thumbnails in the result list"},
    Toggle{"show_path_in_list_header", "Show the path in the list header"},
    Toggle{"show_file_type_icons", "Show file type icons"},
    Toggle{"show_not_processed_indicator", "Mark documents whose file changed since it was read"},
    Toggle{"show_transcript_item_numbers", "Number the lines of the transcript"},
    Toggle{"auto_toggle_transcript", "Open the transcript by itself"},
    Toggle{"reset_transcript_on_close", "Reset the transcript when it is closed"},
};

// Spin boxes take more than the service accepts, so that its message, not the box, tells the limit.
constexpr int kLooseMinimum = -1000;
constexpr int kLooseMaximum = 1000000;

std::optional<service::SettingsCategory> categoryOf(int page) {
    switch (page) {
        case 0: return service::SettingsCategory::search;
        case 1: return service::SettingsCategory::processing;
        case 2: return service::SettingsCategory::appearance;
        case 3: return service::SettingsCategory::sharing;
        default: return std::nullopt;
    }
}

}  // namespace

PreferencesDialog::PreferencesDialog(service::SettingsService& settings, QWidget* parent)
    : QDialog(parent), settings_(settings) {
    setWindowTitle(tr("Preferences"));
    build();
    load();
}

QWidget* PreferencesDialog::addField(Page page, const std::string& key, QWidget* editor,
                                     std::function<json()> read, std::function<void(const json&)> show) {
    editor->setObjectName(QString::fromStdString(key));
    auto* message = new QLabel;
    message->setStyleSheet(QStringLiteral("color: #b00020"));
    message->setWordWrap(true);
    message->hide();
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(editor);
    layout->addWidget(message, 1);
    fields_[key] = Field{page, editor, message, std::move(read), std::move(show), json()};
    return row;
}

void PreferencesDialog::build() {
    pages_ = new QTabWidget;
    std::array<QFormLayout*, 5> forms{};
    for (const char* title : {"Search", "Processing", "Appearance", "Sharing", "Server"}) {
        auto* page = new QWidget;
        forms[static_cast<size_t>(pages_->count())] = new QFormLayout(page);
        pages_->addTab(page, tr(title));
    }
    const auto form = [&forms](Page page) { return forms[static_cast<size_t>(page)]; };

    const auto integer = [this, &form](Page page, const std::string& key, const QString& title) {
        auto* box = new QSpinBox;
        box->setRange(kLooseMinimum, kLooseMaximum);
        form(page)->addRow(title, addField(page, key, box, [box] { return json(box->value()); },
                                           [box](const json& v) { box->setValue(v.is_number() ? v.get<int>() : 0); }));
    };
    const auto number = [this, &form](Page page, const std::string& key, const QString& title) {
        auto* box = new QDoubleSpinBox;
        box->setRange(kLooseMinimum, kLooseMaximum);
        box->setDecimals(1);
        form(page)->addRow(title, addField(page, key, box, [box] { return json(box->value()); },
                                           [box](const json& v) { box->setValue(v.is_number() ? v.get<double>() : 0); }));
    };
    const auto toggles = [this, &form](Page page, const auto& list) {
        for (const Toggle& toggle : list) {
            auto* box = new QCheckBox(tr(toggle.title));
            form(page)->addRow(QString(), addField(page, toggle.key, box, [box] { return json(box->isChecked()); },
                                                   [box](const json& v) { box->setChecked(v.is_boolean() && v.get<bool>()); }));
        }
    };

    // Search
    integer(Page::search, "min_char_count", tr("Search from this many characters"));
    auto* limit = new QComboBox;
    for (int value : {25, 100, 250, 500, 1000}) limit->addItem(QString::number(value), value);
    limit->addItem(tr("No limit"), QVariant());
    form(Page::search)->addRow(tr("Show at most"),
                               addField(Page::search, "result_limit", limit,
                                        [limit] {
                                            const QVariant value = limit->currentData();
                                            return value.isValid() ? json(value.toInt()) : json();
                                        },
                                        [limit](const json& v) {
                                            limit->setCurrentIndex(v.is_number() ? limit->findData(v.get<int>())
                                                                                 : limit->count() - 1);
                                        }));
    integer(Page::search, "auto_search_delay", tr("Search after a typing pause of (seconds)"));
    toggles(Page::search, kSearchToggles);

    // Some settings are kept for the other ways in and a later window; saying so here, rather than
    // letting the switches look as if they did something now.
    const auto notApplied = [&form](Page page, const QString& text) {
        auto* note = new QLabel(text);
        note->setWordWrap(true);
        form(page)->addRow(note);
    };
    notApplied(Page::search, tr("Stored, but not applied by this window: it always marks the matches on the page, "
                                "does not animate them and shows no “edited” check box."));

    // Processing
    toggles(Page::processing, kProcessingToggles);
    auto* extensions = new QListWidget;
    form(Page::processing)
        ->addRow(tr("Extensions"),
                 addField(Page::processing, "excluded_extensions", extensions,
                          [extensions] {
                              json list = json::array();
                              for (int i = 0; i < extensions->count(); ++i) {
                                  const QListWidgetItem* item = extensions->item(i);
                                  list.push_back({{"extension", item->data(Qt::UserRole).toString().toStdString()},
                                                  {"active", item->checkState() == Qt::Checked}});
                              }
                              return list;
                          },
                          [extensions](const json& v) {
                              extensions->clear();
                              for (const json& entry : v.is_array() ? v : json::array()) {
                                  const QString name = QString::fromStdString(entry.value("extension", ""));
                                  const QString info = QString::fromStdString(entry.value("info", ""));
                                  auto* item = new QListWidgetItem(info.isEmpty() ? name : name + QStringLiteral(" — ") + info,
                                                                   extensions);
                                  item->setData(Qt::UserRole, name);
                                  item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
                                  item->setCheckState(entry.value("active", false) ? Qt::Checked : Qt::Unchecked);
                              }
                          }));

    // Appearance
    auto* style = new QComboBox;
    for (std::string_view name : service::installedStyleNames()) {
        style->addItem(QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size())));
    }
    form(Page::appearance)
        ->addRow(tr("Style"), addField(Page::appearance, "style_type", style,
                                       [style] { return json(style->currentText().toStdString()); },
                                       [style](const json& v) {
                                           style->setCurrentText(QString::fromStdString(v.is_string() ? v.get<std::string>() : ""));
                                       }));
    number(Page::appearance, "font_size", tr("List font size"));
    toggles(Page::appearance, kAppearanceToggles);
    notApplied(Page::appearance, tr("Stored, but not applied by this window: none of the appearance settings "
                                    "(style, font size, thumbnails, path bar, busy indicators, transcript) change it yet."));

    // Sharing
    form(Page::sharing)->addRow(new QLabel(tr("Recently scanned documents from the mobile scanner:")));
    toggles(Page::sharing, std::array{Toggle{"show_recent_scan_items", "Show recent scans in the sidebar"}});
    number(Page::sharing, "number_of_recent_scan_items", tr("Number of recent scans"));
    notApplied(Page::sharing, tr("Stored, but not applied by this window: it has no list of recent scans."));

    // Server
    toggles(Page::server, std::array{Toggle{"enabled", "Run the local API server (for other programs and AI assistants)"}});
    integer(Page::server, "configured_port", tr("Port"));
    actualPort_ = new QLabel;
    form(Page::server)->addRow(tr("Now"), actualPort_);
    token_ = new QLineEdit;
    token_->setReadOnly(true);
    token_->setPlaceholderText(tr("No token yet"));
    generateToken_ = new QPushButton(tr("Generate"));
    generateToken_->setToolTip(tr("Make a new access token; programs using the old one must be given the new one"));
    auto* copy = new QPushButton(tr("Copy"));
    auto* tokenRow = new QHBoxLayout;
    tokenRow->addWidget(token_, 1);
    tokenRow->addWidget(generateToken_);
    tokenRow->addWidget(copy);
    form(Page::server)->addRow(tr("Access token"), tokenRow);
    auto* restartNote = new QLabel(tr("The server takes a changed switch or port at the next start of Lumidex."));
    restartNote->setWordWrap(true);
    form(Page::server)->addRow(restartNote);
    connect(generateToken_, &QPushButton::clicked, this, &PreferencesDialog::generateToken);
    connect(copy, &QPushButton::clicked, this, [this] { QApplication::clipboard()->setText(token_->text()); });

    status_ = new QLabel;
    status_->setWordWrap(true);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Apply | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, [this] {
        if (save()) accept();
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(buttons->button(QDialogButtonBox::Apply), &QPushButton::clicked, this, [this] { save(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_, 1);
    layout->addWidget(status_);
    layout->addWidget(buttons);
}

void PreferencesDialog::load() {
    const json all = settings_.all();
    int index = 0;
    for (const char* page : {"search", "processing", "appearance", "sharing", "server"}) {
        showAnswer(static_cast<Page>(index++), all[page]);
    }
    token_->setText(QString::fromStdString(settings_.token()));
    status_->clear();
}

void PreferencesDialog::showAnswer(Page page, const json& answer) {
    for (auto& [key, field] : fields_) {
        if (field.page != page || !answer.contains(key)) continue;
        field.loaded = answer[key];
        field.show(field.loaded);
        field.loaded = field.read();  // as the editor holds it, so an untouched field counts as unchanged
        field.message->hide();
        field.message->clear();
    }
    if (page == Page::server) {
        const int port = answer.value("actual_port", 0);
        actualPort_->setText(port > 0 ? tr("Listening on port %1").arg(port) : tr("Not running"));
    }
}

void PreferencesDialog::showRefusal(Page page, const std::string& message) {
    // The service's messages begin with the key they refuse ("font_size must be between 10 and 24").
    Field* named = nullptr;
    size_t longest = 0;
    for (auto& [key, field] : fields_) {
        if (field.page == page && key.size() > longest && message.starts_with(key) && message.size() > key.size() &&
            (message[key.size()] == ' ' || message[key.size()] == ':')) {
            named = &field;
            longest = key.size();
        }
    }
    if (named != nullptr) {
        named->message->setText(QString::fromStdString(message));
        named->message->show();
        pages_->setCurrentIndex(static_cast<int>(page));
    }
}

bool PreferencesDialog::save() {
    bool allSaved = true;
    QStringList saved, failures;
    for (int index = 0; index < pages_->count(); ++index) {
        const auto page = static_cast<Page>(index);
        json changes = json::object();
        for (auto& [key, field] : fields_) {
            if (field.page != page) continue;
            field.message->hide();
            field.message->clear();
            json value = field.read();
            if (value != field.loaded) changes[key] = std::move(value);
        }
        if (changes.empty()) continue;
        service::Refusal refusal{};
        const auto category = categoryOf(index);
        const auto answer = category ? settings_.patch(*category, changes, refusal) : settings_.patchServer(changes, refusal);
        if (answer) {
            saved << pages_->tabText(index);
            showAnswer(page, *answer);
            continue;
        }
        allSaved = false;
        failures << tr("%1 (%2)").arg(pages_->tabText(index), QString::fromStdString(refusal.message));
        showRefusal(page, refusal.message);
    }
    status_->setStyleSheet(allSaved ? QString() : QStringLiteral("color: #b00020"));
    if (allSaved) {
        status_->setText(tr("Saved."));
    } else {
        // Each category is stored or refused as a whole: the user must see which of them did not change.
        const QString refused = tr("Not saved: %1").arg(failures.join(QStringLiteral("; ")));
        status_->setText(saved.isEmpty() ? refused
                                         : tr("Saved: %1. %2").arg(saved.join(QStringLiteral(", ")), refused));
    }
    return allSaved;
}

void PreferencesDialog::generateToken() {
    service::Refusal refusal{};
    if (const auto token = settings_.newToken(refusal)) {
        token_->setText(QString::fromStdString(*token));
        status_->setStyleSheet(QString());
        status_->setText(tr("A new access token is in force."));
    } else {
        status_->setStyleSheet(QStringLiteral("color: #b00020"));
        status_->setText(tr("No new token: %1").arg(QString::fromStdString(refusal.message)));
    }
}

QWidget* PreferencesDialog::editor(const std::string& key) const {
    const auto found = fields_.find(key);
    return found == fields_.end() ? nullptr : found->second.editor;
}

QString PreferencesDialog::fieldMessage(const std::string& key) const {
    const auto found = fields_.find(key);
    return found == fields_.end() ? QString() : found->second.message->text();
}

}  // namespace lumidex::ui
