// One page of the preview: the page image (or a placeholder page when there is none) at a zoom factor,
// with the matching text rectangles drawn over it.
//
// Rectangles come in the store's normalised page coordinates (0..1, origin bottom-left, corners
// bottom-left, bottom-right, top-right, top-left); the view turns them to its own top-left pixels.
// GUI thread only.
#pragma once

#include <QImage>
#include <QPolygonF>
#include <QWidget>

#include <vector>

#include "core/model/ocr_rect.h"

namespace lumidex::ui {

class PageView : public QWidget {
    Q_OBJECT
public:
    static constexpr double minZoom = 0.1;
    static constexpr double maxZoom = 8.0;

    explicit PageView(QWidget* parent = nullptr);

    // A null image shows the placeholder page.
    void setPage(QImage image, std::vector<OcrRect> highlights);
    void setZoom(double zoom);
    double zoom() const { return zoom_; }
    bool hasImage() const { return !image_.isNull(); }
    // The page's size at zoom 1 (the placeholder's when there is no image).
    QSize pageSize() const;
    // The highlighted quadrilaterals in this widget's pixels, in the order given.
    std::vector<QPolygonF> highlightPolygons() const;

    QSize sizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage image_;
    std::vector<OcrRect> highlights_;
    double zoom_ = 1.0;
};

}  // namespace lumidex::ui
