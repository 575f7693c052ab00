// How the coordinator reads processing states: which items a run must take up, which count as still in
// work for the progress display, and which are done for the hash store. Pure functions.
#pragma once

#include "core/model/enums.h"

namespace lumidex::folders::coordinator_states {

// Processing has not started (or was interrupted before a result was saved).
constexpr bool awaitsProcessing(NanItemProcessingStates s) {
    return s == NanItemProcessingStates::notProcessed || s == NanItemProcessingStates::readyForProcessing;
}

// Work is still to come: not started, or on its way through the cloud extraction service.
constexpr bool isPending(NanItemProcessingStates s) {
    return awaitsProcessing(s) || s == NanItemProcessingStates::cloudProcessing ||
           s == NanItemProcessingStates::uploaded || s == NanItemProcessingStates::downloaded;
}

// A processing run reached an outcome (successful or not); unsupported files were never processed.
constexpr bool isProcessed(NanItemProcessingStates s) {
    return !isPending(s) && s != NanItemProcessingStates::notSupported;
}

}  // namespace lumidex::folders::coordinator_states
