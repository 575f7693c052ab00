// /api/v1/alerts*, /api/v1/debug/*, /api/v1/ui/popups* and /api/v1/ui/debug/margins: the window's alerts
// (its message boxes) and popups (its other dialogs and open menus), the preview's debug routes, and the
// result list's layout figures.
#include <QAbstractButton>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QDialog>
#include <QFileDialog>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPointer>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeView>

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ui/duplicates_dialog.h"
#include "ui/main_window.h"
#include "ui/page_view.h"
#include "ui/preview_panel.h"
#include "ui/result_list_model.h"
#include "ui/ui_route_support.h"

namespace lumidex::ui::routes {
namespace {

using api::ApiRequest;
using api::ApiResponse;

// --- alerts ---

// The visible message boxes, oldest window first.
std::vector<QMessageBox*> openAlerts() {
    std::vector<QMessageBox*> alerts;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget); box != nullptr && box->isVisible()) alerts.push_back(box);
    }
    std::sort(alerts.begin(), alerts.end(), [](QMessageBox* a, QMessageBox* b) { return a->winId() < b->winId(); });
    return alerts;
}

// Buttons in the order they are laid out, left to right.
std::vector<QAbstractButton*> buttonsOf(QMessageBox& box) {
    std::vector<QAbstractButton*> buttons;
    for (QAbstractButton* button : box.buttons()) {
        if (button->isVisible()) buttons.push_back(button);
    }
    std::sort(buttons.begin(), buttons.end(), [&box](QAbstractButton* a, QAbstractButton* b) {
        return a->mapTo(&box, QPoint()).x() < b->mapTo(&box, QPoint()).x();
    });
    return buttons;
}

Json alertJson(QMessageBox& box, MainWindow& window) {
    Json texts = Json::array();
    for (const QString& text : {box.text(), box.informativeText(), box.detailedText()}) {
        if (!text.isEmpty()) texts.push_back(text.toStdString());
    }
    Json buttons = Json::array();
    for (QAbstractButton* button : buttonsOf(box)) buttons.push_back(button->text().remove(QLatin1Char('&')).toStdString());
    QWidget* host = box.parentWidget() != nullptr ? box.parentWidget()->window() : &window;
    return Json{{"window_id", static_cast<uint64_t>(box.winId())},
                {"title", box.windowTitle().toStdString()},
                {"texts", std::move(texts)},
                {"buttons", std::move(buttons)},
                {"host_window_id", static_cast<uint64_t>(host->winId())},
                {"host_window_title", host->windowTitle().toStdString()}};
}

Json alertList(MainWindow& window) {
    Json alerts = Json::array();
    for (QMessageBox* box : openAlerts()) alerts.push_back(alertJson(*box, window));
    Json answer{{"count", alerts.size()}, {"alerts", alerts}};
    if (alerts.empty()) answer["note"] = "no alert visible";
    return answer;
}

// Closes the box the way its Escape key would, or with no answer when it has no such button.
void closeAlert(QMessageBox& box) {
    if (QAbstractButton* escape = box.escapeButton()) {
        escape->click();
        return;
    }
    const auto buttons = box.buttons();
    const auto rejecting = std::find_if(buttons.begin(), buttons.end(), [&box](QAbstractButton* b) {
        const auto role = box.buttonRole(b);
        return role == QMessageBox::RejectRole || role == QMessageBox::NoRole;
    });
    if (rejecting != buttons.end()) {
        (*rejecting)->click();
    } else if (buttons.size() == 1) {
        buttons.front()->click();
    } else {
        box.done(-1);
    }
}

ApiResponse dismissAlert(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const auto field = [&](const char* key) -> const Json* {
        if (!body) return nullptr;
        const auto found = body->find(key);
        return found == body->end() || found->is_null() ? nullptr : &*found;
    };
    const Json* windowId = field("window_id");
    const Json* index = field("button_index");
    const Json* title = field("button_title");
    const Json* all = field("all");
    if (!body || (windowId && !windowId->is_number_integer()) || (index && !index->is_number_integer()) ||
        (title && !title->is_string()) || (all && !all->is_boolean())) {
        return badRequest("Invalid JSON body");
    }
    std::vector<QMessageBox*> alerts = openAlerts();
    if (alerts.empty()) return api::errorResponse(404, "not_found", "no alert visible");
    if (all && all->get<bool>()) {
        Json closed = Json::array();
        for (QMessageBox* box : alerts) {
            closed.push_back(box->windowTitle().toStdString());
            closeAlert(*box);
        }
        Json answer{{"success", true}, {"closed", std::move(closed)}};
        answer["remaining"] = alertList(window)["alerts"];
        return record(answer);
    }
    if (!index && !title) return badRequest("Provide 'button_title', 'button_index' or 'all'");
    QMessageBox* box = alerts.front();
    if (windowId) {
        const auto found = std::find_if(alerts.begin(), alerts.end(), [&](QMessageBox* b) {
            return static_cast<int64_t>(b->winId()) == windowId->get<int64_t>();
        });
        if (found == alerts.end()) {
            return api::errorResponse(404, "not_found", "No alert with window_id " + std::to_string(windowId->get<int64_t>()));
        }
        box = *found;
    }
    const std::vector<QAbstractButton*> buttons = buttonsOf(*box);
    QAbstractButton* chosen = nullptr;
    if (title) {
        const QString wanted = QString::fromStdString(title->get<std::string>());
        for (QAbstractButton* button : buttons) {
            if (button->text().remove(QLatin1Char('&')).compare(wanted, Qt::CaseInsensitive) == 0) chosen = button;
        }
        if (chosen == nullptr) return badRequest("No button titled '" + title->get<std::string>() + "'");
    } else {
        const int64_t at = index->get<int64_t>();
        if (at < 0 || at >= static_cast<int64_t>(buttons.size())) {
            return badRequest("button_index " + std::to_string(at) + " out of range (0.." +
                              std::to_string(static_cast<int64_t>(buttons.size()) - 1) + ")");
        }
        chosen = buttons[static_cast<size_t>(at)];
    }
    Json answer{{"success", true},
                {"window_id", static_cast<uint64_t>(box->winId())},
                {"clicked", chosen->text().remove(QLatin1Char('&')).toStdString()}};
    chosen->click();
    answer["remaining"] = alertList(window)["alerts"];
    return record(answer);
}

// --- debug routes over the preview's page canvas ---

Json widgetTree(QWidget& widget, int depth) {
    Json node{{"class", widget.metaObject()->className()},
              {"name", widget.objectName().toStdString()},
              {"frame", frameJson(widget.geometry())},
              {"visible", widget.isVisible()}};
    if (auto* area = qobject_cast<QAbstractScrollArea*>(&widget)) {
        node["scroll_origin"] = Json::array({area->horizontalScrollBar()->value(), area->verticalScrollBar()->value()});
    }
    Json children = Json::array();
    if (depth < 12) {
        for (QWidget* child : widget.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (!child->isWindow()) children.push_back(widgetTree(*child, depth + 1));
        }
    }
    node["children"] = std::move(children);
    return node;
}

QScrollArea* pageScrollArea(MainWindow& window) {
    QWidget* canvas = &window.preview().pageView();
    for (QWidget* up = canvas->parentWidget(); up != nullptr; up = up->parentWidget()) {
        if (auto* area = qobject_cast<QScrollArea*>(up)) return area;
    }
    return nullptr;
}

Json originJson(QScrollArea* area) {
    if (area == nullptr) return Json::array({0, 0});
    return Json::array({area->horizontalScrollBar()->value(), area->verticalScrollBar()->value()});
}

// Records what reaches the page canvas after a POST of the watch route: mouse presses and releases,
// context-menu requests, and the scroll origin after each.
class RightClickWatcher : public QObject {
public:
    RightClickWatcher(QWidget& canvas, QScrollArea* area) : area_(area), start_(originJson(area)) {
        canvas.installEventFilter(this);
    }
    Json result() const {
        const Json final = originJson(area_);
        return Json{{"events", events_}, {"final_origin", final}, {"final_origin_changed", final != start_}};
    }
    bool empty() const { return events_.empty(); }
    const Json& startOrigin() const { return start_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const char* kind = nullptr;
        QPointF at;
        switch (event->type()) {
            case QEvent::MouseButtonPress: kind = "mouse_down"; break;
            case QEvent::MouseButtonRelease: kind = "mouse_up"; break;
            case QEvent::ContextMenu: kind = "context_menu"; break;
            default: break;
        }
        if (kind != nullptr) {
            if (auto* mouse = dynamic_cast<QMouseEvent*>(event)) at = mouse->position();
            if (auto* menu = dynamic_cast<QContextMenuEvent*>(event)) at = menu->pos();
            events_.push_back(Json{{"type", kind}, {"position", Json::array({at.x(), at.y()})}, {"origin", originJson(area_)}});
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QPointer<QScrollArea> area_;
    Json start_;
    Json events_ = Json::array();
};

void sendRightClick(QWidget& target) {
    const QPointF center(target.width() / 2.0, target.height() / 2.0);
    const QPointF global = target.mapToGlobal(center);
    QMouseEvent press(QEvent::MouseButtonPress, center, global, Qt::RightButton, Qt::RightButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, center, global, Qt::RightButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &release);
    QContextMenuEvent menu(QContextMenuEvent::Mouse, center.toPoint(), global.toPoint());
    QApplication::sendEvent(&target, &menu);
}

// Written to a fresh file beside `path` and renamed over it: a link planted at the well-known name in
// the shared /tmp is replaced, never followed.
bool saveScreenshot(const QPixmap& shot, const std::string& path) {
    QByteArray png;
    QBuffer buffer(&png);
    if (shot.isNull() || !buffer.open(QIODevice::WriteOnly) || !shot.save(&buffer, "PNG")) return false;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkstemp(temporary.data());
    if (fd < 0) return false;
    bool written = true;
    for (qsizetype done = 0; written && done < png.size();) {
        const ssize_t n = ::write(fd, png.constData() + done, static_cast<size_t>(png.size() - done));
        if (n < 0 && errno == EINTR) continue;
        written = n > 0;
        if (written) done += n;
    }
    written = ::close(fd) == 0 && written;
    if (written && ::rename(temporary.c_str(), path.c_str()) == 0) return true;
    ::unlink(temporary.c_str());
    return false;
}

ApiResponse rightClickTest(MainWindow& window, const ApiRequest&) {
    PageView& canvas = window.preview().pageView();
    QScrollArea* area = pageScrollArea(window);
    const std::string beforePath = "/tmp/lmx_rightclick_before.png", afterPath = "/tmp/lmx_rightclick_after.png";
    const bool beforeSaved = saveScreenshot(window.grab(), beforePath);
    const Json before = originJson(area);
    sendRightClick(canvas);
    const Json after = originJson(area);
    const bool afterSaved = saveScreenshot(window.grab(), afterPath);
    return record(Json{{"canvas_frame", frameJson(canvas.geometry())},
                       {"viewport_frame", frameJson(area != nullptr ? area->viewport()->geometry() : QRect())},
                       {"origin_before", before},
                       {"origin_after", after},
                       {"origin_changed", before != after},
                       {"screenshot_before", beforeSaved ? Json(beforePath) : Json(nullptr)},
                       {"screenshot_after", afterSaved ? Json(afterPath) : Json(nullptr)}});
}

// --- popups: the window's dialogs other than alerts, and an open menu ---

std::string popupType(QWidget& popup) {
    if (qobject_cast<QMenu*>(&popup)) return "menu";
    if (qobject_cast<QFileDialog*>(&popup)) return "file_dialog";
    if (qobject_cast<DuplicatesDialog*>(&popup)) return "duplicates";
    if (!popup.objectName().isEmpty()) return popup.objectName().toStdString();
    return popup.metaObject()->className();
}

QWidget* shownPopup(MainWindow& window) {
    if (QWidget* menu = QApplication::activePopupWidget()) return menu;
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != nullptr && !qobject_cast<QMessageBox*>(modal)) return modal;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* dialog = qobject_cast<QDialog*>(widget);
        if (dialog == nullptr || !dialog->isVisible() || qobject_cast<QMessageBox*>(dialog)) continue;
        if (dialog->parentWidget() != nullptr && dialog->parentWidget()->window() == &window) return dialog;
    }
    return nullptr;
}

ApiResponse popups(MainWindow& window, const ApiRequest&) {
    QWidget* popup = shownPopup(window);
    return record(Json{{"has_popup", popup != nullptr}, {"popup_type", popup ? Json(popupType(*popup)) : Json(nullptr)}});
}

ApiResponse dismissPopup(MainWindow& window, const ApiRequest&) {
    QWidget* popup = shownPopup(window);
    if (popup == nullptr) return record(Json{{"success", false}, {"message", "No popup is currently shown"}});
    const std::string type = popupType(*popup);
    if (auto* dialog = qobject_cast<QDialog*>(popup)) {
        dialog->reject();
    } else {
        popup->close();
    }
    return record(Json{{"success", true}, {"message", "Dismissed popup: " + type}});
}

ApiResponse listMargins(MainWindow& window, const ApiRequest&) {
    QTreeView& list = window.resultView();
    const QModelIndex first = window.resultModel().index(0, 0);
    QRect row;
    for (int column = 0; first.isValid() && column < window.resultModel().columnCount(); ++column) {
        row |= list.visualRect(first.siblingAtColumn(column));
    }
    const QMargins insets = list.contentsMargins();
    return record(Json{{"tableView_frame", frameJson(list.geometry())},
                       {"scrollView_frame", frameJson(list.viewport()->geometry())},
                       {"intercellSpacing", Json{{"width", 0}, {"height", 0}}},
                       {"firstRowView_frame", first.isValid() ? frameJson(row) : Json(nullptr)},
                       {"firstCellView_frame", first.isValid() ? frameJson(list.visualRect(first)) : Json(nullptr)},
                       {"column_width", list.columnWidth(0)},
                       {"contentInsets", Json{{"top", insets.top()},
                                              {"left", insets.left()},
                                              {"bottom", insets.bottom()},
                                              {"right", insets.right()}}},
                       {"tableStyle", list.style() != nullptr ? list.style()->name().toStdString() : std::string()}});
}

}  // namespace

void registerAlertAndDebugRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call) {
    using api::HttpMethod;
    onWindow(router, call, HttpMethod::get, "/api/v1/alerts",
             [](MainWindow& window, const ApiRequest&) { return record(alertList(window)); });
    onWindow(router, call, HttpMethod::post, "/api/v1/alerts/dismiss", dismissAlert);
    onWindow(router, call, HttpMethod::get, "/api/v1/debug/view-hierarchy", [](MainWindow& window, const ApiRequest&) {
        return record(Json{{"window", widgetTree(window, 0)}});
    });
    onWindow(router, call, HttpMethod::post, "/api/v1/debug/right-click-test", rightClickTest);
    // The watcher lives on the GUI thread, parented to the canvas it watches; one at a time.
    auto watcher = std::make_shared<QPointer<RightClickWatcher>>();
    onWindow(router, call, HttpMethod::post, "/api/v1/debug/watch-right-click",
             [watcher](MainWindow& window, const ApiRequest&) {
                 delete watcher->data();
                 PageView& canvas = window.preview().pageView();
                 auto* fresh = new RightClickWatcher(canvas, pageScrollArea(window));
                 fresh->setParent(&canvas);
                 *watcher = fresh;
                 return record(Json{{"watching", true}, {"origin", fresh->startOrigin()}});
             });
    onWindow(router, call, HttpMethod::get, "/api/v1/debug/watch-right-click",
             [watcher](MainWindow&, const ApiRequest&) {
                 if (watcher->isNull() || (*watcher)->empty()) return record(Json{{"note", "no events captured yet"}});
                 return record((*watcher)->result());
             });
}

void registerPopupAndLayoutRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call) {
    using api::HttpMethod;
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/popups", popups);
    onWindow(router, call, HttpMethod::post, "/api/v1/ui/popups/dismiss", dismissPopup);
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/debug/margins", listMargins);
}

}  // namespace lumidex::ui::routes
