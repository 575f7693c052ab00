// The result list's rows as Qt sees them: a read-only table over the list view model's shown items.
// Rows are formatted only when the view asks for them (the visible ones), so a long list costs nothing
// up front. The snippet column carries HTML with the matched words in <b>, drawn by SnippetDelegate; a
// row shown before its snippet was read asks the view model for the snippets of the rows from there on
// and shows none until they arrive (snippetsArrived).
//
// GUI thread only. The view model is borrowed and must outlive the model; call refresh() whenever it
// reports new results.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

#include <optional>

#include "core/model/nan_item.h"

namespace lumidex::search {
class ListSearchViewModel;
}

namespace lumidex::ui {

class ResultListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { name, snippet, matches, pages, modified, folder, columnTotal };

    explicit ResultListModel(search::ListSearchViewModel& results, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void refresh();
    // The view model reported newly read snippets.
    void snippetsArrived();
    const NanItem* itemAt(int row) const;
    std::optional<int> rowOf(const NanItem& item) const;
    // Whether the row's snippet is at hand (a row whose document has no passage counts as having one).
    bool hasSnippet(int row) const;

private:
    QString snippetHtml(int row, const NanItem& item) const;

    search::ListSearchViewModel& results_;
};

// Draws a cell's HTML (one line, elided by the cell's width).
class SnippetDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

}  // namespace lumidex::ui
