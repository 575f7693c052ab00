// The preview of the selected document: its page image with the rectangles where the search words
// occur, zoom (fit to width or height, or a free factor), page navigation including a jump to the next
// page with a match, and the transcript of the page with the matches marked.
//
// Reads through the DocumentService on the GUI thread when a document or page is shown (one page's
// thumbnail and the document's rectangles and text). A page without a stored image shows a placeholder
// page; a document that is no longer indexed shows nothing. GUI thread only; the service is borrowed
// and must outlive the panel.
#pragma once

#include <QWidget>

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/model/nan_item.h"
#include "core/model/ocr_rect.h"
#include "service/document_service.h"

class QComboBox;
class QLabel;
class QScrollArea;
class QTextBrowser;
class QToolButton;

namespace lumidex::ui {

class PageView;

class PreviewPanel : public QWidget {
    Q_OBJECT
public:
    enum class FitMode { none, width, height };
    // The transcript below the page: not shown, the shown page's text, or every line of the document
    // that holds a match, page by page.
    enum class TranscriptVisibility { hidden, split, searchResultsFocus };

    explicit PreviewPanel(service::DocumentService& documents, QWidget* parent = nullptr);

    // Shows the document's first page with a match (its first page when none matches); `queryWords`
    // are the search's folded words. nullopt clears the preview.
    void showDocument(const std::optional<NanItem>& item, std::vector<std::string> queryWords);

    const std::optional<NanItem>& document() const { return item_; }
    int pageIndex() const { return pageIndex_; }  // from 0
    int totalPages() const { return totalPages_; }
    bool hasImage() const;
    // Pages (from 0) holding a match, ascending.
    const std::set<int>& matchPages() const { return matchPages_; }
    // The matching rectangles of the shown page.
    const std::vector<OcrRect>& highlightedRects() const { return highlighted_; }
    PageView& pageView() { return *pageView_; }
    QTextBrowser& transcript() { return *transcript_; }

    // False (nothing changes) for a page outside the document.
    bool showPage(int index);
    bool nextPage() { return showPage(pageIndex_ + 1); }
    bool previousPage() { return showPage(pageIndex_ - 1); }
    // The next page after the shown one that holds a match, wrapping to the first; false when none.
    bool nextMatchPage();

    void setFitMode(FitMode mode);
    FitMode fitMode() const { return fitMode_; }
    void setZoom(double zoom);  // leaves fitting
    double zoom() const;

    void setTranscriptVisibility(TranscriptVisibility visibility);
    TranscriptVisibility transcriptVisibility() const { return transcriptVisibility_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void loadPage();
    void applyFit();
    void updateControls();
    QString transcriptHtml(const std::string& text) const;
    QString matchingLinesHtml() const;
    void showTranscript();

    service::DocumentService& documents_;
    std::optional<NanItem> item_;
    std::optional<service::FoundDocument> found_;
    std::vector<std::string> queryWords_;
    std::map<int, std::vector<OcrRect>> rectsByPage_;  // page from 0
    std::map<int, std::string> textByPage_;
    std::set<int> matchPages_;
    std::vector<OcrRect> highlighted_;
    int pageIndex_ = 0;
    int totalPages_ = 0;
    FitMode fitMode_ = FitMode::width;
    TranscriptVisibility transcriptVisibility_ = TranscriptVisibility::split;
    std::string pageText_;

    QLabel* title_;
    QLabel* pageLabel_;
    QToolButton* previous_;
    QToolButton* next_;
    QToolButton* nextMatch_;
    QToolButton* fitWidth_;
    QToolButton* fitHeight_;
    QComboBox* transcriptMode_;
    QScrollArea* scroll_;
    PageView* pageView_;
    QTextBrowser* transcript_;
};

}  // namespace lumidex::ui
