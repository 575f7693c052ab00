#include "ui/filter_panel.h"

#include <QCheckBox>
#include <QDateEdit>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QListWidget>
#include <QPushButton>
#include <QSpinBox>
#include <QTimeZone>
#include <QTimer>
#include <QVBoxLayout>

#include <cmath>
#include <filesystem>

#include "search/search_filter_view_model.h"

namespace lumidex::ui {
namespace {

QString categoryTitle(search::FileTypeCategory category) {
    switch (category) {
        case search::FileTypeCategory::pdf: return QObject::tr("PDF");
        case search::FileTypeCategory::images: return QObject::tr("Images");
        case search::FileTypeCategory::text: return QObject::tr("Text");
        case search::FileTypeCategory::documents: return QObject::tr("Documents");
        case search::FileTypeCategory::spreadsheets: return QObject::tr("Spreadsheets");
        case search::FileTypeCategory::presentations: return QObject::tr("Presentations");
    }
    return {};
}

// 0 stands for "no bound" in the number fields.
QSpinBox* boundBox(int maximum, const QString& suffix) {
    auto* box = new QSpinBox;
    box->setRange(0, maximum);
    box->setSpecialValueText(QObject::tr("any"));
    box->setSuffix(suffix);
    return box;
}

std::optional<int64_t> bound(const QSpinBox* box, int64_t unit) {
    if (box->value() == 0) return std::nullopt;
    return static_cast<int64_t>(box->value()) * unit;
}

Date dayStart(const QDate& day) {
    return dateFromSecondsSince1970(static_cast<double>(QDateTime(day, QTime(0, 0), QTimeZone::utc()).toSecsSinceEpoch()));
}
Date dayEnd(const QDate& day) { return dateFromSecondsSince1970(secondsSince1970(dayStart(day.addDays(1))) - 0.001); }
QDate dayOf(Date date) {
    return QDateTime::fromSecsSinceEpoch(static_cast<qint64>(std::floor(secondsSince1970(date))), QTimeZone::utc()).date();
}

void setChecked(QListWidget* list, const std::set<std::string>& selected, const std::map<std::string, QString>& entries) {
    list->clear();
    for (const auto& [key, title] : entries) {
        auto* entry = new QListWidgetItem(title, list);
        entry->setData(Qt::UserRole, QString::fromStdString(key));
        entry->setFlags(entry->flags() | Qt::ItemIsUserCheckable);
        entry->setCheckState(selected.contains(key) ? Qt::Checked : Qt::Unchecked);
    }
}

std::set<std::string> checkedKeys(const QListWidget* list) {
    std::set<std::string> out;
    for (int i = 0; i < list->count(); ++i) {
        const QListWidgetItem* entry = list->item(i);
        if (entry->checkState() == Qt::Checked) out.insert(entry->data(Qt::UserRole).toString().toStdString());
    }
    return out;
}

}  // namespace

FilterPanel::FilterPanel(search::SearchFilterViewModel& filters, QWidget* parent)
    : QWidget(parent), filters_(filters) {
    auto* types = new QGroupBox(tr("Types"));
    auto* typeGrid = new QGridLayout(types);
    int n = 0;
    for (const search::FileTypeCategory category : search::allFileTypeCategories()) {
        auto* box = new QCheckBox(categoryTitle(category));
        typeBoxes_[category] = box;
        typeGrid->addWidget(box, n / 2, n % 2);
        ++n;
        connect(box, &QCheckBox::toggled, this, [this] { commit(); });
    }

    sizeMinKb_ = boundBox(1 << 30, tr(" KB"));
    sizeMaxKb_ = boundBox(1 << 30, tr(" KB"));
    pagesMin_ = boundBox(1 << 30, {});
    pagesMax_ = boundBox(1 << 30, {});
    minimumMatches_ = boundBox(1 << 30, {});
    dateFromOn_ = new QCheckBox(tr("from"));
    dateToOn_ = new QCheckBox(tr("to"));
    dateFrom_ = new QDateEdit(QDate::currentDate().addYears(-1));
    dateTo_ = new QDateEdit(QDate::currentDate());
    for (QDateEdit* edit : {dateFrom_, dateTo_}) {
        edit->setCalendarPopup(true);
        edit->setDisplayFormat(QStringLiteral("yyyy-MM-dd"));
        connect(edit, &QDateEdit::dateChanged, this, [this] { commit(); });
    }
    for (QSpinBox* box : {sizeMinKb_, sizeMaxKb_, pagesMin_, pagesMax_, minimumMatches_}) {
        connect(box, &QSpinBox::valueChanged, this, [this] { commit(); });
    }
    for (QCheckBox* box : {dateFromOn_, dateToOn_}) connect(box, &QCheckBox::toggled, this, [this] { commit(); });

    auto pair = [](QWidget* a, QWidget* b) {
        auto* row = new QHBoxLayout;
        row->addWidget(a);
        row->addWidget(b);
        return row;
    };
    auto* form = new QFormLayout;
    form->addRow(tr("Size"), pair(sizeMinKb_, sizeMaxKb_));
    form->addRow(tr("Modified"), pair(dateFromOn_, dateFrom_));
    form->addRow(QString(), pair(dateToOn_, dateTo_));
    form->addRow(tr("Pages"), pair(pagesMin_, pagesMax_));
    form->addRow(tr("Minimum matches"), minimumMatches_);

    tags_ = new QListWidget;
    folders_ = new QListWidget;
    for (QListWidget* list : {tags_, folders_}) {
        list->setMaximumHeight(90);
        connect(list, &QListWidget::itemChanged, this, [this] { commit(); });
    }
    auto* reset = new QPushButton(tr("Reset filters"));
    connect(reset, &QPushButton::clicked, this, [this] { filters_.reset(); });

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(types);
    layout->addLayout(form);
    layout->addWidget(new QGroupBox(tr("Folders")));
    layout->addWidget(folders_);
    layout->addWidget(new QGroupBox(tr("Tags")));
    layout->addWidget(tags_);
    layout->addWidget(reset);
    layout->addStretch();
    refresh();
}

void FilterPanel::refresh() {
    if (committing_) {
        refreshLater();
        return;
    }
    syncing_ = true;
    const search::SearchFilterState& state = filters_.filterState();
    const search::SearchFilterMetadata& metadata = filters_.metadata();
    for (auto& [category, box] : typeBoxes_) box->setChecked(state.selectedFileTypes.contains(category));
    sizeMinKb_->setValue(state.fileSizeMin ? static_cast<int>(*state.fileSizeMin / 1024) : 0);
    sizeMaxKb_->setValue(state.fileSizeMax ? static_cast<int>(*state.fileSizeMax / 1024) : 0);
    pagesMin_->setValue(static_cast<int>(state.pageCountMin.value_or(0)));
    pagesMax_->setValue(static_cast<int>(state.pageCountMax.value_or(0)));
    minimumMatches_->setValue(static_cast<int>(state.minimumMatchCount));
    dateFromOn_->setChecked(state.dateRangeMin.has_value());
    dateToOn_->setChecked(state.dateRangeMax.has_value());
    if (state.dateRangeMin) dateFrom_->setDate(dayOf(*state.dateRangeMin));
    if (state.dateRangeMax) dateTo_->setDate(dayOf(*state.dateRangeMax));

    // The folders and tags of the current results, plus whatever is selected without results.
    std::map<std::string, QString> folderEntries, tagEntries;
    for (const auto& [path, count] : metadata.rootFolderCounts) {
        folderEntries[path] = QStringLiteral("%1 (%2)")
                                  .arg(QString::fromStdString(std::filesystem::path(path).filename().string()))
                                  .arg(count);
    }
    for (const std::string& path : state.selectedRootFolders) {
        folderEntries.try_emplace(path, QString::fromStdString(std::filesystem::path(path).filename().string()));
    }
    for (const std::string& tag : metadata.availableFinderTags) tagEntries[tag] = QString::fromStdString(tag);
    for (const std::string& tag : state.selectedFinderTags) tagEntries.try_emplace(tag, QString::fromStdString(tag));
    setChecked(folders_, state.selectedRootFolders, folderEntries);
    setChecked(tags_, state.selectedFinderTags, tagEntries);
    syncing_ = false;
}

void FilterPanel::refreshLater() {
    if (refreshQueued_) return;
    refreshQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshQueued_ = false;
        refresh();
    });
}

void FilterPanel::commit() {
    if (syncing_) return;
    search::SearchFilterState state;
    for (const auto& [category, box] : typeBoxes_) {
        if (box->isChecked()) state.selectedFileTypes.insert(category);
    }
    state.selectedFinderTags = checkedKeys(tags_);
    state.fileSizeMin = bound(sizeMinKb_, 1024);
    state.fileSizeMax = bound(sizeMaxKb_, 1024);
    // The upper size bound covers its whole last kilobyte.
    if (state.fileSizeMax) *state.fileSizeMax += 1023;
    if (dateFromOn_->isChecked()) state.dateRangeMin = dayStart(dateFrom_->date());
    if (dateToOn_->isChecked()) state.dateRangeMax = dayEnd(dateTo_->date());
    state.pageCountMin = bound(pagesMin_, 1);
    state.pageCountMax = bound(pagesMax_, 1);
    state.selectedRootFolders = checkedKeys(folders_);
    state.minimumMatchCount = minimumMatches_->value();
    committing_ = true;
    filters_.setFilterState(std::move(state));
    committing_ = false;
}

}  // namespace lumidex::ui
