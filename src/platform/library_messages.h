// Diagnostics of the third-party libraries behind the platform seams (poppler's error callback,
// Leptonica's messages). Odd but readable files are common on real folders, so these lines are for the
// debug log, never for the user's terminal: they go to the handler set here, or nowhere without one.
// Process-wide. Thread-safety: both functions may be called from any thread; the handler is called on
// the thread that reports, possibly on several at once, and must not report itself.
#pragma once

#include <functional>
#include <string_view>

namespace lumidex::platform {

// An empty function drops the messages again.
void setLibraryMessageHandler(std::function<void(std::string_view)> handler);
// Trailing line breaks are cut off; an empty message is not passed on.
void reportLibraryMessage(std::string_view message);

}  // namespace lumidex::platform
