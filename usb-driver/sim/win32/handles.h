// The application's handle table: one table for files and events, as a
// process has one.
#pragma once

#include <memory>

#include "platform/platform.h"
#include "win32_api.h"

namespace sim {

// What a handle stands for.
class HandleObject {
public:
    virtual ~HandleObject() = default;
    // The dispatcher object that a wait on the handle waits for.
    virtual PKEVENT WaitableEvent() = 0;
};

HANDLE InsertHandle(std::shared_ptr<HandleObject> object);

// The object the handle stands for, or null for a closed or unknown handle.
std::shared_ptr<HandleObject> LookupHandle(HANDLE handle);

// The same, and null as well when the object is of another kind.
template <class Object>
std::shared_ptr<Object> LookupHandleAs(HANDLE handle)
{
    return std::dynamic_pointer_cast<Object>(LookupHandle(handle));
}

size_t HandleCount();
void ForgetHandles();

}  // namespace sim
