#include "ui/result_list_model.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QDateTime>
#include <QPainter>
#include <QTextDocument>

#include <algorithm>
#include <filesystem>

#include "search/display_snippet.h"
#include "search/list_search_view_model.h"

namespace lumidex::ui {

ResultListModel::ResultListModel(search::ListSearchViewModel& results, QObject* parent)
    : QAbstractTableModel(parent), results_(results) {}

int ResultListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(results_.items().size());
}

int ResultListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : columnTotal; }

void ResultListModel::refresh() {
    beginResetModel();
    endResetModel();
}

const NanItem* ResultListModel::itemAt(int row) const {
    const auto& items = results_.items();
    if (row < 0 || static_cast<size_t>(row) >= items.size()) return nullptr;
    return &items[static_cast<size_t>(row)];
}

std::optional<int> ResultListModel::rowOf(const NanItem& item) const {
    const auto& items = results_.items();
    const auto found = std::find(items.begin(), items.end(), item);
    if (found == items.end()) return std::nullopt;
    return static_cast<int>(found - items.begin());
}

bool ResultListModel::hasSnippet(int row) const {
    const NanItem* item = itemAt(row);
    return item != nullptr && results_.hasSnippets(*item);
}

void ResultListModel::snippetsArrived() {
    if (rowCount() > 0) emit dataChanged(index(0, snippet), index(rowCount() - 1, snippet), {Qt::DisplayRole});
}

QString ResultListModel::snippetHtml(int row, const NanItem& item) const {
    if (!results_.hasSnippets(item)) {
        // A screenful and more at a time: the rows painted next are read in the same batch.
        constexpr size_t kRowsAtOnce = 50;
        results_.requestSnippets(static_cast<size_t>(row), kRowsAtOnce);
        return {};
    }
    if (const auto passage = results_.displaySnippet(item)) {
        // Escaped first: a document's text must never be read as markup.
        QString text = QString::fromStdString(search::renderDisplaySnippet(*passage, "\x01", "\x02")).toHtmlEscaped();
        return text.replace(QChar(u'\x01'), QStringLiteral("<b>")).replace(QChar(u'\x02'), QStringLiteral("</b>"));
    }
    if (const auto folded = results_.snippet(item)) return QString::fromStdString(*folded).toHtmlEscaped();
    return {};
}

QVariant ResultListModel::data(const QModelIndex& index, int role) const {
    const NanItem* item = itemAt(index.row());
    if (item == nullptr) return {};
    if (role == Qt::ToolTipRole) return QString::fromStdString(item->urlString);
    if (role == Qt::TextAlignmentRole && (index.column() == matches || index.column() == pages)) {
        return static_cast<int>(Qt::AlignRight | Qt::AlignVCenter);
    }
    if (role != Qt::DisplayRole) return {};
    switch (index.column()) {
        case name: return QString::fromStdString(item->fileName);
        case folder: {
            const std::filesystem::path parent = std::filesystem::path(item->urlString).parent_path();
            return QString::fromStdString(parent.string());
        }
        case modified: {
            const auto ms = static_cast<qint64>(secondsSince1970(item->fileModifiedDate) * 1000.0);
            return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
        }
        case matches: {
            const auto& counts = results_.relevanceCountDict();
            const auto found = counts.find(item->combinedHash);
            return found == counts.end() ? QVariant() : QVariant(static_cast<qlonglong>(found->second));
        }
        case pages: return item->totalPageCount < 0 ? QVariant() : QVariant(static_cast<qlonglong>(item->totalPageCount));
        case snippet: return snippetHtml(index.row(), *item);
        default: return {};
    }
}

QVariant ResultListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    switch (section) {
        case name: return tr("Name");
        case folder: return tr("Folder");
        case modified: return tr("Modified");
        case matches: return tr("Matches");
        case pages: return tr("Pages");
        case snippet: return tr("Snippet");
        default: return {};
    }
}

void SnippetDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    const QString html = opt.text;
    opt.text.clear();
    const QWidget* widget = opt.widget;
    QStyle* style = widget != nullptr ? widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

    QTextDocument document;
    document.setDefaultFont(opt.font);
    document.setDocumentMargin(0);
    document.setHtml(html);
    const QRect area = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
    painter->save();
    painter->setClipRect(area);
    painter->translate(area.left(), area.top() + (area.height() - document.size().height()) / 2);
    QAbstractTextDocumentLayout::PaintContext context;
    context.palette = opt.palette;
    if (opt.state & QStyle::State_Selected) {
        context.palette.setColor(QPalette::Text, opt.palette.color(QPalette::HighlightedText));
    }
    document.documentLayout()->draw(painter, context);
    painter->restore();
}

}  // namespace lumidex::ui
