// The preview of the selected document: its page image with the rectangles where the search words
// occur, zoom (fit to width or height, or a free factor), page navigation including a jump to the next
// page with a match, and the transcript of the page with the matches marked.
//
// A shown document's rectangles and text are read through the DocumentService in the background, and
// so is a page's image, which may have to be drawn first: the title and an empty page show meanwhile,
// and what was read is applied only if that document (page) is still the one shown. A page without an
// image keeps the placeholder; a document that is no longer indexed shows nothing. GUI thread only; the
// service and the scheduler are borrowed, and the service's `core` must outlive the scheduler's
// background work.
#pragma once

#include <QWidget>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/model/nan_item.h"
#include "core/model/ocr_rect.h"
#include "search/view_model_scheduler.h"
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

    PreviewPanel(service::DocumentService& documents, search::ViewModelScheduler& scheduler, QWidget* parent = nullptr);
    ~PreviewPanel() override;

    // Shows the document's first page with a match (its first page when none matches); `queryWords`
    // are the search's folded words. nullopt clears the preview.
    void showDocument(const std::optional<NanItem>& item, std::vector<std::string> queryWords);

    const std::optional<NanItem>& document() const { return item_; }
    const std::vector<std::string>& queryWords() const { return queryWords_; }
    int pageIndex() const { return pageIndex_; }  // from 0
    int totalPages() const { return totalPages_; }
    bool hasImage() const;
    // Whether the shown page's image is still being fetched.
    bool isLoadingImage() const { return loadingImage_; }
    // Whether the shown document's rectangles and text are still being read (pages, matches and
    // highlights are empty until then).
    bool isLoadingDocument() const { return loadingDocument_; }
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
    struct DocumentRead;
    void applyDocument(DocumentRead read);
    void loadPage();
    void fetchImage();
    void applyFit();
    void updateControls();
    QString transcriptHtml(const std::string& text) const;
    QString matchingLinesHtml() const;
    void showTranscript();

    service::DocumentService& documents_;
    search::ViewModelScheduler& scheduler_;
    std::shared_ptr<bool> alive_;  // read on the GUI thread only
    uint64_t pageGeneration_ = 0;  // a fetched image lands only while this is unchanged
    bool loadingImage_ = false;
    uint64_t documentGeneration_ = 0;  // a document read lands only while this is unchanged
    bool loadingDocument_ = false;
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
