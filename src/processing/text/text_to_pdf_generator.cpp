#include "processing/text/text_to_pdf_generator.h"

#include <algorithm>

#include "platform/unicode.h"

namespace lumidex::processing {
namespace {

class PageBuilder {
public:
    explicit PageBuilder(const TextPageLayout& layout) : layout_(layout) {}

    bool full() const { return pages_.size() >= layout_.maxPages; }

    void addLine(std::u32string_view line) {
        if (full()) return;
        if (linesOnPage_ == layout_.linesPerPage) closePage();
        if (full()) return;
        if (linesOnPage_ > 0) page_ += U'\n';
        page_ += line;
        ++linesOnPage_;
    }

    void pageBreak() {
        if (!full()) closePage();
    }

    std::vector<std::string> finish() {
        if (!full() && (linesOnPage_ > 0 || pages_.empty())) closePage();
        return std::move(pages_);
    }

private:
    void closePage() {
        pages_.push_back(platform::encodeUtf8(page_));
        page_.clear();
        linesOnPage_ = 0;
    }

    const TextPageLayout& layout_;
    std::vector<std::string> pages_;
    std::u32string page_;
    std::size_t linesOnPage_ = 0;
};

// Expands tabs and wraps one paragraph (no line breaks inside) into lines of at most `width`.
void wrapParagraph(std::u32string_view paragraph, const TextPageLayout& layout, PageBuilder& pages) {
    const std::size_t width = std::max<std::size_t>(layout.charactersPerLine, 1);
    const std::size_t tab = std::max<std::size_t>(layout.tabWidth, 1);
    std::u32string line;
    std::size_t lastSpace = std::u32string::npos;
    auto emit = [&](std::size_t cut, std::size_t resume) {
        pages.addLine(std::u32string_view(line).substr(0, cut));
        line.erase(0, resume);
        lastSpace = line.rfind(U' ');
    };
    for (char32_t c : paragraph) {
        if (pages.full()) return;
        if (c == U'\t') {
            const std::size_t spaces = tab - line.size() % tab;
            line.append(spaces, U' ');
        } else {
            line.push_back(c);
        }
        if (c == U' ' || c == U'\t') lastSpace = line.size() - 1;
        while (line.size() > width) {
            if (lastSpace != std::u32string::npos && lastSpace > 0 && lastSpace <= width) {
                // Break at the space; the space itself is not carried to the next line.
                std::size_t cut = lastSpace;
                while (cut > 0 && line[cut - 1] == U' ') --cut;
                emit(cut, lastSpace + 1);
            } else {
                emit(width, width);
            }
        }
    }
    pages.addLine(line);
}

}  // namespace

TextToPdfGenerator::TextToPdfGenerator(TextPageLayout layout) : layout_(layout) {
    layout_.linesPerPage = std::max<std::size_t>(layout_.linesPerPage, 1);
    layout_.maxPages = std::max<std::size_t>(layout_.maxPages, 1);
}

std::vector<std::string> TextToPdfGenerator::layoutPages(std::string_view text) const {
    const std::u32string scalars = platform::decodeUtf8(text);
    PageBuilder pages(layout_);
    std::size_t start = 0;
    for (std::size_t i = 0; i <= scalars.size() && !pages.full(); ++i) {
        const bool end = i == scalars.size();
        const char32_t c = end ? U'\n' : scalars[i];
        if (c != U'\n' && c != U'\r' && c != U'\f') continue;
        if (!(end && start == scalars.size() && !scalars.empty())) {  // no empty line after a final break
            wrapParagraph(std::u32string_view(scalars).substr(start, i - start), layout_, pages);
        }
        if (c == U'\r' && i + 1 < scalars.size() && scalars[i + 1] == U'\n') ++i;
        if (c == U'\f') pages.pageBreak();
        start = i + 1;
    }
    return pages.finish();
}

}  // namespace lumidex::processing
