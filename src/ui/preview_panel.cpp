#include "ui/preview_panel.h"

#include <QComboBox>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QScrollArea>
#include <QScrollBar>
#include <QSplitter>
#include <QTextBrowser>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>

#include "search/display_snippet.h"
#include "search/file_type_category.h"
#include "search/transcript_search.h"
#include "ui/page_view.h"

namespace lumidex::ui {
namespace {

QToolButton* toolButton(const QString& text, const QString& tip, QWidget* parent) {
    auto* button = new QToolButton(parent);
    button->setText(text);
    button->setToolTip(tip);
    button->setAutoRaise(true);
    return button;
}

// Marks put around matches before escaping, so a document's text is never read as markup.
constexpr char kOpen = '\x01';
constexpr char kClose = '\x02';

QString markedHtml(const std::string& marked) {
    QString html = QString::fromStdString(marked).toHtmlEscaped();
    html.replace(QChar(kOpen), QStringLiteral("<span style=\"background-color:#ffd24d\">"));
    html.replace(QChar(kClose), QStringLiteral("</span>"));
    return html;
}

}  // namespace

PreviewPanel::PreviewPanel(service::DocumentService& documents, search::ViewModelScheduler& scheduler,
                           QWidget* parent)
    : QWidget(parent), documents_(documents), scheduler_(scheduler), alive_(std::make_shared<bool>(true)) {
    title_ = new QLabel(this);
    title_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    pageLabel_ = new QLabel(this);
    previous_ = toolButton(QStringLiteral("◀"), tr("Previous page"), this);
    next_ = toolButton(QStringLiteral("▶"), tr("Next page"), this);
    nextMatch_ = toolButton(tr("Next match"), tr("Next page with a match"), this);
    fitWidth_ = toolButton(tr("Fit width"), tr("Zoom to the width of the preview"), this);
    fitHeight_ = toolButton(tr("Fit height"), tr("Zoom to the height of the preview"), this);
    transcriptMode_ = new QComboBox(this);
    transcriptMode_->addItem(tr("No transcript"), static_cast<int>(TranscriptVisibility::hidden));
    transcriptMode_->addItem(tr("Page text"), static_cast<int>(TranscriptVisibility::split));
    transcriptMode_->addItem(tr("Matching lines"), static_cast<int>(TranscriptVisibility::searchResultsFocus));
    fitWidth_->setCheckable(true);
    fitHeight_->setCheckable(true);

    auto* bar = new QHBoxLayout;
    bar->addWidget(previous_);
    bar->addWidget(pageLabel_);
    bar->addWidget(next_);
    bar->addWidget(nextMatch_);
    bar->addStretch();
    bar->addWidget(transcriptMode_);
    bar->addWidget(fitWidth_);
    bar->addWidget(fitHeight_);

    scroll_ = new QScrollArea;
    scroll_->setAlignment(Qt::AlignCenter);
    scroll_->setBackgroundRole(QPalette::Dark);
    pageView_ = new PageView;
    scroll_->setWidget(pageView_);
    scroll_->viewport()->installEventFilter(this);

    transcript_ = new QTextBrowser;
    transcript_->setOpenLinks(false);
    transcript_->setPlaceholderText(tr("No text on this page"));

    auto* split = new QSplitter(Qt::Vertical, this);
    split->addWidget(scroll_);
    split->addWidget(transcript_);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(title_);
    layout->addLayout(bar);
    layout->addWidget(split, 1);

    connect(previous_, &QToolButton::clicked, this, [this] { previousPage(); });
    connect(next_, &QToolButton::clicked, this, [this] { nextPage(); });
    connect(nextMatch_, &QToolButton::clicked, this, [this] { nextMatchPage(); });
    connect(transcriptMode_, &QComboBox::activated, this, [this](int index) {
        setTranscriptVisibility(static_cast<TranscriptVisibility>(transcriptMode_->itemData(index).toInt()));
    });
    connect(fitWidth_, &QToolButton::clicked, this,
            [this](bool on) { setFitMode(on ? FitMode::width : FitMode::none); });
    connect(fitHeight_, &QToolButton::clicked, this,
            [this](bool on) { setFitMode(on ? FitMode::height : FitMode::none); });
    showDocument(std::nullopt, {});
}

struct PreviewPanel::DocumentRead {
    std::optional<service::FoundDocument> found;
    std::map<int, std::vector<OcrRect>> rectsByPage;
    std::map<int, std::string> textByPage;
    std::set<int> matchPages;
    int totalPages = 0;
};

void PreviewPanel::showDocument(const std::optional<NanItem>& item, std::vector<std::string> queryWords) {
    item_ = item;
    queryWords_ = std::move(queryWords);
    applyDocument({});
    title_->setText(item_ ? QString::fromStdString(item_->fileName) : tr("No document selected"));
    const uint64_t generation = ++documentGeneration_;
    loadingDocument_ = item_.has_value();
    if (!item_) return;
    // A document's store may be busy with the indexing, and a long one has many pages of rectangles.
    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, documents = documents_,
                                 id = item_->combinedHash, words = queryWords_, generation] {
        DocumentRead read;
        read.found = documents.find(id);
        if (read.found) {
            for (service::PageRects& page : documents.rects(*read.found)) {
                read.rectsByPage[static_cast<int>(page.page - 1)] = std::move(page.rects);
            }
            bool damaged = false;
            for (service::PageText& page : documents.pages(*read.found, damaged)) {
                read.textByPage[static_cast<int>(page.page - 1)] = std::move(page.text);
            }
            int64_t total = read.found->item.totalPageCount;
            if (!read.rectsByPage.empty()) total = std::max<int64_t>(total, read.rectsByPage.rbegin()->first + 1);
            if (!read.textByPage.empty()) total = std::max<int64_t>(total, read.textByPage.rbegin()->first + 1);
            read.totalPages = static_cast<int>(std::max<int64_t>(total, 1));
            for (const auto& [page, rects] : read.rectsByPage) {
                for (const std::string& word : words) {
                    if (!search::TranscriptSearchResultsManager::matching(rects, word).empty()) {
                        read.matchPages.insert(page);
                    }
                }
            }
            for (const auto& [page, text] : read.textByPage) {
                if (search::buildDisplaySnippet(text, words)) read.matchPages.insert(page);
            }
        }
        scheduler.postToMain([this, alive, generation, read = std::move(read)]() mutable {
            if (!*alive || generation != documentGeneration_) return;
            loadingDocument_ = false;
            applyDocument(std::move(read));
        });
    });
}

void PreviewPanel::applyDocument(DocumentRead read) {
    found_ = std::move(read.found);
    rectsByPage_ = std::move(read.rectsByPage);
    textByPage_ = std::move(read.textByPage);
    matchPages_ = std::move(read.matchPages);
    totalPages_ = read.totalPages;
    pageIndex_ = matchPages_.empty() ? 0 : *matchPages_.begin();
    loadPage();
}

PreviewPanel::~PreviewPanel() { *alive_ = false; }

bool PreviewPanel::hasImage() const { return pageView_->hasImage(); }

bool PreviewPanel::showPage(int index) {
    if (!found_ || index < 0 || index >= totalPages_) return false;
    pageIndex_ = index;
    loadPage();
    return true;
}

bool PreviewPanel::nextMatchPage() {
    if (matchPages_.empty()) return false;
    const auto after = matchPages_.upper_bound(pageIndex_);
    return showPage(after != matchPages_.end() ? *after : *matchPages_.begin());
}

void PreviewPanel::loadPage() {
    ++pageGeneration_;
    highlighted_.clear();
    std::string text;
    if (found_) {
        if (const auto rects = rectsByPage_.find(pageIndex_); rects != rectsByPage_.end()) {
            std::set<int64_t> rows;
            for (const std::string& word : queryWords_) {
                for (const auto& entry : search::TranscriptSearchResultsManager::matching(rects->second, word)) {
                    rows.insert(entry.dbId);
                }
            }
            for (const OcrRect& rect : rects->second) {
                if (rows.contains(search::TranscriptSearchResultsManager::rowOf(rect))) highlighted_.push_back(rect);
            }
        }
        if (const auto found = textByPage_.find(pageIndex_); found != textByPage_.end()) text = found->second;
    }
    pageView_->setPage(QImage(), highlighted_);
    pageText_ = std::move(text);
    showTranscript();
    applyFit();
    updateControls();
    loadingImage_ = found_.has_value();
    if (found_) fetchImage();
}

void PreviewPanel::fetchImage() {
    // The thumbnail may have to be drawn by a worker first, which can take seconds behind the indexing.
    scheduler_.postToBackground([this, alive = alive_, &scheduler = scheduler_, documents = documents_,
                                 document = *found_, page = pageIndex_, generation = pageGeneration_] {
        QImage image;
        const service::Thumbnail thumbnail = documents.thumbnail(document, page + 1);
        if (thumbnail.status == service::ThumbnailStatus::found) {
            image.loadFromData(reinterpret_cast<const uchar*>(thumbnail.png.data()), static_cast<int>(thumbnail.png.size()),
                               "PNG");
        }
        // An image file is its own single page when no preview was stored for it.
        if (image.isNull() && page == 0 &&
            search::fileTypeCategoryForFileName(document.item.fileName) == search::FileTypeCategory::images) {
            image.load(QString::fromStdString(document.item.urlString));
        }
        scheduler.postToMain([this, alive, generation, image = std::move(image)]() mutable {
            if (!*alive || generation != pageGeneration_) return;
            loadingImage_ = false;
            if (image.isNull()) return;
            pageView_->setPage(std::move(image), highlighted_);
            applyFit();
        });
    });
}

QString PreviewPanel::transcriptHtml(const std::string& text) const {
    QString html;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string_view line(text.data() + start, end - start);
        const auto marked = queryWords_.empty() ? std::nullopt
                                                : search::buildDisplaySnippet(line, queryWords_, line.size() + 1);
        html += marked ? markedHtml(search::renderDisplaySnippet(*marked, std::string(1, kOpen), std::string(1, kClose)))
                       : QString::fromStdString(std::string(line)).toHtmlEscaped();
        html += QStringLiteral("<br>");
        start = end + 1;
    }
    return text.empty() ? QString() : html;
}

void PreviewPanel::setTranscriptVisibility(TranscriptVisibility visibility) {
    transcriptVisibility_ = visibility;
    showTranscript();
    updateControls();
}

void PreviewPanel::showTranscript() {
    transcript_->setVisible(transcriptVisibility_ != TranscriptVisibility::hidden);
    transcript_->setHtml(transcriptVisibility_ == TranscriptVisibility::searchResultsFocus ? matchingLinesHtml()
                                                                                           : transcriptHtml(pageText_));
}

QString PreviewPanel::matchingLinesHtml() const {
    QString html;
    const auto addPage = [&](int page, const QString& lines) {
        if (!lines.isEmpty()) html += QStringLiteral("<p><b>%1</b><br>%2</p>").arg(tr("Page %1").arg(page + 1), lines);
    };
    for (int page = 0; page < totalPages_; ++page) {
        if (!matchPages_.contains(page)) continue;
        QString lines;
        // Recognised lines where the page has them, else the lines of its text.
        if (const auto rects = rectsByPage_.find(page); rects != rectsByPage_.end() && !rects->second.empty()) {
            std::set<int64_t> rows;
            for (const std::string& word : queryWords_) {
                for (const auto& entry : search::TranscriptSearchResultsManager::matching(rects->second, word)) {
                    rows.insert(entry.dbId);
                }
            }
            for (const OcrRect& rect : rects->second) {
                if (rows.contains(search::TranscriptSearchResultsManager::rowOf(rect))) {
                    lines += QString::fromStdString(rect.ocrContent).toHtmlEscaped() + QStringLiteral("<br>");
                }
            }
        }
        if (lines.isEmpty()) {
            if (const auto text = textByPage_.find(page); text != textByPage_.end()) {
                size_t start = 0;
                while (start < text->second.size()) {
                    size_t end = text->second.find('\n', start);
                    if (end == std::string::npos) end = text->second.size();
                    const std::string_view line(text->second.data() + start, end - start);
                    if (const auto marked = search::buildDisplaySnippet(line, queryWords_, line.size() + 1)) {
                        lines += markedHtml(search::renderDisplaySnippet(*marked, std::string(1, kOpen),
                                                                         std::string(1, kClose))) +
                                 QStringLiteral("<br>");
                    }
                    start = end + 1;
                }
            }
        }
        addPage(page, lines);
    }
    return html;
}

void PreviewPanel::setFitMode(FitMode mode) {
    fitMode_ = mode;
    applyFit();
    updateControls();
}

void PreviewPanel::setZoom(double zoom) {
    fitMode_ = FitMode::none;
    pageView_->setZoom(zoom);
    updateControls();
}

double PreviewPanel::zoom() const { return pageView_->zoom(); }

void PreviewPanel::applyFit() {
    const QSize page = pageView_->pageSize();
    const QSize room = scroll_->viewport()->size();
    if (page.isEmpty() || room.isEmpty()) return;
    if (fitMode_ == FitMode::width) {
        pageView_->setZoom(static_cast<double>(room.width()) / page.width());
    } else if (fitMode_ == FitMode::height) {
        pageView_->setZoom(static_cast<double>(room.height()) / page.height());
    }
}

void PreviewPanel::updateControls() {
    const bool loaded = found_.has_value();
    pageLabel_->setText(loaded ? tr("Page %1 of %2").arg(pageIndex_ + 1).arg(totalPages_) : QString());
    previous_->setEnabled(loaded && pageIndex_ > 0);
    next_->setEnabled(loaded && pageIndex_ + 1 < totalPages_);
    nextMatch_->setEnabled(loaded && !matchPages_.empty());
    fitWidth_->setChecked(fitMode_ == FitMode::width);
    fitHeight_->setChecked(fitMode_ == FitMode::height);
    transcriptMode_->setCurrentIndex(transcriptMode_->findData(static_cast<int>(transcriptVisibility_)));
}

bool PreviewPanel::eventFilter(QObject* watched, QEvent* event) {
    if (watched == scroll_->viewport() && event->type() == QEvent::Resize) applyFit();
    return QWidget::eventFilter(watched, event);
}

}  // namespace lumidex::ui
