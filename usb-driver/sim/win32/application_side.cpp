#include "application_side.h"

#include "handles.h"
#include "in_flight_requests.h"

namespace sim {

size_t OpenApplicationHandles()
{
    return HandleCount();
}

void ResetApplicationSide()
{
    WaitForDeferredCloses();
    ForgetRequestsInFlight();
    ForgetHandles();
}

}  // namespace sim
