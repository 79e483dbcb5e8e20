// Win32 event objects: a kernel event behind a handle.
#pragma once

#include "handles.h"
#include "platform/platform.h"

namespace sim {

struct EventObject final : HandleObject {
    KEVENT event{};

    PKEVENT WaitableEvent() override { return &event; }
};

}  // namespace sim
