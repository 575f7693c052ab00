#include "ui/page_view.h"

#include <QPainter>

#include <algorithm>

namespace lumidex::ui {
namespace {

// A letter-sized sheet at 72 dpi: what a page without an image is drawn as.
constexpr QSize placeholderSize{612, 792};

}  // namespace

PageView::PageView(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    resize(sizeHint());
}

void PageView::setPage(QImage image, std::vector<OcrRect> highlights) {
    image_ = std::move(image);
    highlights_ = std::move(highlights);
    resize(sizeHint());
    update();
}

void PageView::setZoom(double zoom) {
    zoom_ = std::clamp(zoom, minZoom, maxZoom);
    resize(sizeHint());
    update();
}

QSize PageView::pageSize() const { return image_.isNull() ? placeholderSize : image_.size(); }

QSize PageView::sizeHint() const {
    const QSize page = pageSize();
    return {std::max(1, static_cast<int>(page.width() * zoom_)), std::max(1, static_cast<int>(page.height() * zoom_))};
}

std::vector<QPolygonF> PageView::highlightPolygons() const {
    const double w = width(), h = height();
    std::vector<QPolygonF> out;
    out.reserve(highlights_.size());
    for (const OcrRect& r : highlights_) {
        QPolygonF polygon;
        for (const auto& [x, y] : {std::pair{r.p0x, r.p0y}, {r.p1x, r.p1y}, {r.p2x, r.p2y}, {r.p3x, r.p3y}}) {
            polygon << QPointF(x * w, (1.0 - y) * h);
        }
        out.push_back(polygon);
    }
    return out;
}

void PageView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.setRenderHint(QPainter::Antialiasing);
    if (image_.isNull()) {
        painter.fillRect(rect(), QColor(245, 245, 245));
        painter.setPen(QColor(200, 200, 200));
        painter.drawRect(rect().adjusted(0, 0, -1, -1));
        painter.setPen(palette().color(QPalette::PlaceholderText));
        painter.drawText(rect(), Qt::AlignCenter, tr("No preview of this page yet"));
    } else {
        painter.drawImage(rect(), image_);
    }
    painter.setPen(QPen(QColor(230, 120, 0), 1.5));
    painter.setBrush(QColor(255, 210, 0, 90));
    for (const QPolygonF& polygon : highlightPolygons()) painter.drawPolygon(polygon);
}

}  // namespace lumidex::ui
