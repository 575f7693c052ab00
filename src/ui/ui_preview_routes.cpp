// /api/v1/ui/zoom, page, transcript, sort and filters: the preview's zoom, page and transcript, the list's
// sort order and its filters.
#include <QComboBox>
#include <QToolButton>

#include "core/model/date.h"
#include "search/file_type_category.h"
#include "search/list_search_view_model.h"
#include "ui/filter_panel.h"
#include "ui/main_window.h"
#include "ui/page_view.h"
#include "ui/preview_panel.h"
#include "ui/ui_route_support.h"

namespace lumidex::ui::routes {
namespace {

using api::ApiRequest;
using api::ApiResponse;
using FitMode = PreviewPanel::FitMode;
using Visibility = PreviewPanel::TranscriptVisibility;

const char* fitModeName(FitMode mode) {
    switch (mode) {
        case FitMode::none: return "none";
        case FitMode::width: return "width";
        case FitMode::height: return "height";
    }
    return "none";
}

std::optional<FitMode> fitModeFromName(const std::string& name) {
    for (FitMode mode : {FitMode::none, FitMode::width, FitMode::height}) {
        if (name == fitModeName(mode)) return mode;
    }
    return std::nullopt;
}

const char* visibilityName(Visibility visibility) {
    switch (visibility) {
        case Visibility::hidden: return "hidden";
        case Visibility::split: return "split";
        case Visibility::searchResultsFocus: return "search_results_focus";
    }
    return "hidden";
}

// The member when present and not null.
const Json* member(const Json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() || found->is_null() ? nullptr : &*found;
}

// --- zoom ---

Json zoomJson(MainWindow& window) {
    return Json{{"zoom_level", window.preview().zoom()},
                {"min_zoom", PageView::minZoom},
                {"max_zoom", PageView::maxZoom},
                {"fit_mode", fitModeName(window.preview().fitMode())}};
}

ApiResponse patchZoom(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const Json* level = body ? member(*body, "zoom_level") : nullptr;
    const Json* fit = body ? member(*body, "fit_mode") : nullptr;
    if (level && !level->is_number()) level = nullptr;
    if (fit && !fit->is_string()) fit = nullptr;
    if (!level && !fit) {
        return badRequest("Expected JSON body with 'zoom_level' (Double) and/or 'fit_mode' ('none'|'width'|'height')");
    }
    if (level && (level->get<double>() < PageView::minZoom || level->get<double>() > PageView::maxZoom)) {
        return badRequest("zoom_level must be between " + numberText(PageView::minZoom) + " and " +
                          numberText(PageView::maxZoom));
    }
    const std::optional<FitMode> mode = fit ? fitModeFromName(fit->get<std::string>()) : std::nullopt;
    if (fit && !mode) return badRequest("fit_mode must be 'none', 'width' or 'height'");
    if (level) window.preview().setZoom(level->get<double>());
    if (mode) window.preview().setFitMode(*mode);
    return record(zoomJson(window));
}

// --- page ---

Json pageJson(MainWindow& window) {
    const PreviewPanel& preview = window.preview();
    return Json{{"page_index", preview.pageIndex()},
                {"page_number", preview.pageIndex() + 1},
                {"total_pages", preview.totalPages()},
                {"file_name", preview.document() ? Json(preview.document()->fileName) : Json(nullptr)}};
}

ApiResponse turnPage(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const Json* action = body ? member(*body, "action") : nullptr;
    const Json* index = body ? member(*body, "page_index") : nullptr;
    const Json* number = body ? member(*body, "page_number") : nullptr;
    if (!body || (action && !action->is_string()) || (index && !index->is_number_integer()) ||
        (number && !number->is_number_integer())) {
        return badRequest(
            "Expected JSON with 'action' ('first'|'previous'|'next'|'last') or 'page_index' (Int) or 'page_number' (Int)");
    }
    PreviewPanel& preview = window.preview();
    const int total = preview.totalPages();
    if (!preview.document() || total == 0) return badRequest("No document loaded");
    if (action) {
        const std::string name = action->get<std::string>();
        if (name == "first") {
            preview.showPage(0);
        } else if (name == "previous") {
            preview.previousPage();
        } else if (name == "next") {
            preview.nextPage();
        } else if (name == "last") {
            preview.showPage(total - 1);
        } else {
            return badRequest("action must be 'first', 'previous', 'next' or 'last'");
        }
    } else if (index) {
        const int64_t value = index->get<int64_t>();
        if (value < 0 || value >= total) return badRequest("page_index must be between 0 and " + std::to_string(total - 1));
        preview.showPage(static_cast<int>(value));
    } else if (number) {
        const int64_t value = number->get<int64_t>();
        if (value < 1 || value > total) return badRequest("page_number must be between 1 and " + std::to_string(total));
        preview.showPage(static_cast<int>(value - 1));
    } else {
        return badRequest("Provide 'action', 'page_index' or 'page_number'");
    }
    return record(pageJson(window));
}

// --- transcript ---

Json transcriptJson(MainWindow& window) {
    const Visibility visibility = window.preview().transcriptVisibility();
    return Json{{"visibility", visibilityName(visibility)},
                {"is_visible", visibility != Visibility::hidden},
                // Only the matching-lines mode lists the recognised lines themselves.
                {"shows_ocr_items", visibility == Visibility::searchResultsFocus}};
}

ApiResponse patchTranscript(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const Json* value = body ? member(*body, "visibility") : nullptr;
    if (!value || !value->is_string()) {
        return badRequest("Expected JSON with 'visibility': 'hidden'|'split'|'search_results_focus'|'toggle'");
    }
    const std::string name = value->get<std::string>();
    std::optional<Visibility> chosen;
    for (Visibility v : {Visibility::hidden, Visibility::split, Visibility::searchResultsFocus}) {
        if (name == visibilityName(v)) chosen = v;
    }
    if (name == "toggle") {
        // Shows the page text when hidden, hides whatever is shown otherwise.
        chosen = window.preview().transcriptVisibility() == Visibility::hidden ? Visibility::split : Visibility::hidden;
    }
    if (!chosen) return badRequest("visibility must be 'hidden', 'split', 'search_results_focus' or 'toggle'");
    window.preview().setTranscriptVisibility(*chosen);
    return record(transcriptJson(window));
}

// --- sort ---

Json sortJson(MainWindow& window) {
    Json valid = Json::array();
    for (SortOrders order : {SortOrders::a2z, SortOrders::z2a, SortOrders::new2Old, SortOrders::old2New,
                             SortOrders::relevance}) {
        valid.push_back(std::string(rawValue(order)));
    }
    return Json{{"sort_order", std::string(rawValue(window.results().parameters().sortOrder))}, {"valid_values", std::move(valid)}};
}

ApiResponse patchSort(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const Json* value = body ? member(*body, "sort_order") : nullptr;
    if (!value || !value->is_string()) {
        return badRequest("Expected JSON with 'sort_order': 'a2z'|'z2a'|'new2Old'|'old2New'|'relevance'");
    }
    const std::optional<SortOrders> order = sortOrderFromRaw(value->get<std::string>());
    if (!order) return badRequest("sort_order must be one of: a2z, z2a, new2Old, old2New, relevance");
    QComboBox& box = window.sortBox();
    box.setCurrentIndex(box.findData(static_cast<int>(*order)));
    window.results().setSortOrder(*order);
    return record(sortJson(window));
}

// --- filters ---

Json filtersJson(MainWindow& window) {
    const search::SearchFilterState& state = window.results().filterViewModel().filterState();
    const auto optional = [](const auto& value) { return value ? Json(*value) : Json(nullptr); };
    const auto date = [](const std::optional<Date>& value) { return value ? Json(iso8601String(*value)) : Json(nullptr); };
    Json types = Json::array();
    for (search::FileTypeCategory type : state.selectedFileTypes) types.push_back(std::string(search::rawValue(type)));
    const int active = state.activeFilterCount();
    return Json{{"is_panel_visible", !window.filterPanel().isHidden()},
                {"is_active", active > 0},
                {"active_filter_count", active},
                {"file_types", std::move(types)},
                {"finder_tags", state.selectedFinderTags},
                {"file_size_min", optional(state.fileSizeMin)},
                {"file_size_max", optional(state.fileSizeMax)},
                {"date_range_min", date(state.dateRangeMin)},
                {"date_range_max", date(state.dateRangeMax)},
                {"page_count_min", optional(state.pageCountMin)},
                {"page_count_max", optional(state.pageCountMax)},
                {"root_folders", state.selectedRootFolders},
                {"minimum_match_count", state.minimumMatchCount}};
}

// A category's own name, or an extension standing for its category ("jpg" for images).
std::optional<search::FileTypeCategory> fileTypeFrom(const std::string& text) {
    if (const auto category = search::fileTypeCategoryFromRaw(text)) return category;
    return search::fileTypeCategoryForFileName("file." + text);
}

// A full date-time, or a day ("2024-05-01"): its start as a lower bound, its end as an upper one.
std::optional<Date> dateFrom(const std::string& text, bool upper) {
    if (const auto exact = parseIso8601(text)) return exact;
    const auto day = parseIso8601(text + "T00:00:00Z");
    if (!day || text.size() != 10) return std::nullopt;
    return upper ? dateFromSecondsSince1970(secondsSince1970(*day) + 86'399) : *day;
}

// The state after the patch, or none when a field does not read.
std::optional<search::SearchFilterState> patchedFilters(const Json& body, search::SearchFilterState state) {
    const auto integer = [&](const char* key, std::optional<int64_t>& target) {
        const Json* value = member(body, key);
        if (!value) return true;
        if (!value->is_number_integer()) return false;
        target = value->get<int64_t>();
        return true;
    };
    const auto strings = [&](const char* key, std::set<std::string>& target) {
        const Json* value = member(body, key);
        if (!value) return true;
        if (!value->is_array()) return false;
        std::set<std::string> out;
        for (const Json& entry : *value) {
            if (!entry.is_string()) return false;
            out.insert(entry.get<std::string>());
        }
        target = std::move(out);
        return true;
    };
    const auto date = [&](const char* key, std::optional<Date>& target, bool upper) {
        const Json* value = member(body, key);
        if (!value) return true;
        if (!value->is_string()) return false;
        target = dateFrom(value->get<std::string>(), upper);
        return target.has_value();
    };
    std::set<std::string> typeNames;
    const bool typesGiven = member(body, "file_types") != nullptr;
    if (!strings("file_types", typeNames)) return std::nullopt;
    if (typesGiven) {
        state.selectedFileTypes.clear();
        for (const std::string& name : typeNames) {
            const auto type = fileTypeFrom(name);
            if (!type) return std::nullopt;
            state.selectedFileTypes.insert(*type);
        }
    }
    std::optional<int64_t> minimum;
    if (!strings("finder_tags", state.selectedFinderTags) || !integer("file_size_min", state.fileSizeMin) ||
        !integer("file_size_max", state.fileSizeMax) || !date("date_range_min", state.dateRangeMin, false) ||
        !date("date_range_max", state.dateRangeMax, true) || !integer("page_count_min", state.pageCountMin) ||
        !integer("page_count_max", state.pageCountMax) || !strings("root_folders", state.selectedRootFolders) ||
        !integer("minimum_match_count", minimum)) {
        return std::nullopt;
    }
    if (minimum) state.minimumMatchCount = *minimum;
    if (!state.hasValidBounds()) return std::nullopt;
    return state;
}

ApiResponse patchFilters(MainWindow& window, const ApiRequest& request) {
    const std::optional<Json> body = bodyObject(request);
    const Json* reset = body ? member(*body, "reset") : nullptr;
    const Json* show = body ? member(*body, "show_panel") : nullptr;
    if (!body || (reset && !reset->is_boolean()) || (show && !show->is_boolean())) return badRequest("Invalid JSON body");
    search::SearchFilterViewModel& filters = window.results().filterViewModel();
    const bool clear = reset && reset->get<bool>();
    const auto state = patchedFilters(*body, clear ? search::SearchFilterState{} : filters.filterState());
    if (!state) return badRequest("Invalid JSON body");
    filters.setFilterState(*state);
    if (show) window.filterButton().setChecked(show->get<bool>());  // the button shows and hides the panel
    return record(filtersJson(window));
}

}  // namespace

void registerPreviewRoutes(api::ApiRouter& router, const std::shared_ptr<GuiCall>& call) {
    using api::HttpMethod;
    const auto get = [](Json (*read)(MainWindow&)) {
        return [read](MainWindow& window, const ApiRequest&) { return record(read(window)); };
    };
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/zoom", get(zoomJson));
    onWindow(router, call, HttpMethod::patch, "/api/v1/ui/zoom", patchZoom);
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/page", get(pageJson));
    onWindow(router, call, HttpMethod::post, "/api/v1/ui/page", turnPage);
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/transcript", get(transcriptJson));
    onWindow(router, call, HttpMethod::patch, "/api/v1/ui/transcript", patchTranscript);
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/sort", get(sortJson));
    onWindow(router, call, HttpMethod::patch, "/api/v1/ui/sort", patchSort);
    onWindow(router, call, HttpMethod::get, "/api/v1/ui/filters", get(filtersJson));
    onWindow(router, call, HttpMethod::patch, "/api/v1/ui/filters", patchFilters);
}

}  // namespace lumidex::ui::routes
