#include "core/concurrency/cancellation_token.h"

namespace lumidex {

MyCancellationError::MyCancellationError() : std::runtime_error("The operation was cancelled.") {}

CancellationToken::CancellationToken() : flag_(std::make_shared<std::atomic<bool>>(false)) {}

void CancellationToken::throwIfCancelled() const {
    if (isCancelled()) throw MyCancellationError();
}

}  // namespace lumidex
