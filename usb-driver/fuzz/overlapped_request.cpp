#include "overlapped_request.h"

#include "fuzz_checks.h"

namespace bulkcom_fuzz {

OverlappedRequest::OverlappedRequest()
{
    overlapped_.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Require(overlapped_.hEvent != nullptr, "no event for an overlapped request");
}

OverlappedRequest::~OverlappedRequest()
{
    CloseHandle(overlapped_.hEvent);
}

void OverlappedRequest::Await()
{
    Require(WaitForSingleObject(overlapped_.hEvent, INFINITE) == WAIT_OBJECT_0, "waiting for a request failed");
    Require(Completed(), "a request's event was signalled before its completion");
}

}  // namespace bulkcom_fuzz
