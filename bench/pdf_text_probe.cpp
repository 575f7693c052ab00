// Prints the text of PDF pages as stored (reading order, joined hyphenation); with --words also each
// word box as the PDF library gives it, for looking into a reading-order mistake.
// Usage: pdf_text_probe [--words] file.pdf [page (1-based)]
#include <poppler/cpp/poppler-document.h>
#include <poppler/cpp/poppler-page.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "platform/pdf_document.h"

int main(int argc, char** argv) {
    int arg = 1;
    const bool words = arg < argc && std::strcmp(argv[arg], "--words") == 0;
    if (words) ++arg;
    if (arg >= argc) {
        std::fprintf(stderr, "usage: pdf_text_probe [--words] file.pdf [page]\n");
        return 2;
    }
    const std::string path = argv[arg];
    const int only = arg + 1 < argc ? std::atoi(argv[arg + 1]) : 0;
    auto opened = lumidex::platform::openPdfDocument(path);
    if (!opened) {
        std::fprintf(stderr, "%s\n", opened.error->message().c_str());
        return 1;
    }
    const int pages = opened.document->pageCount();
    for (int i = 0; i < pages; ++i) {
        if (only > 0 && i + 1 != only) continue;
        std::printf("=== page %d\n%s\n", i + 1, opened.document->pageText(i).c_str());
    }
    if (words && only > 0) {
        std::unique_ptr<poppler::document> document(poppler::document::load_from_file(path));
        std::unique_ptr<poppler::page> page(document ? document->create_page(only - 1) : nullptr);
        if (!page) return 1;
        for (const poppler::text_box& box : page->text_list()) {
            const poppler::byte_array utf8 = box.text().to_utf8();
            const poppler::rectf r = box.bbox();
            std::printf("%7.2f %7.2f %7.2f %7.2f r%d %c %s\n", r.left(), r.top(), r.right(), r.bottom(),
                        box.rotation(), box.has_space_after() ? 's' : '-', std::string(utf8.begin(), utf8.end()).c_str());
        }
    }
    return 0;
}
