// The application's requests that are in flight, for cancelling those of one
// thread (CancelIo, the end of the thread) or of one handle (CancelIoEx).
#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "io_file_requests.h"

namespace sim {

// From just before the request is sent until its completion runs.
void TrackRequest(std::shared_ptr<FileRequest> request);

// The request's completion has run: it is no longer in flight. Returns true
// when it may be freed now, false when a canceller still holds it and will
// free it.
bool UntrackRequest(const FileRequest& request);

// Cancels (IoCancelIrp at APC_LEVEL) every request in flight that selects
// chooses, and returns them.
std::vector<std::shared_ptr<FileRequest>>
CancelRequests(const std::function<bool(const FileRequest& request)>& selects);

// Forgets the requests still in flight, for a reset; their files get no close.
void ForgetRequestsInFlight();

}  // namespace sim
