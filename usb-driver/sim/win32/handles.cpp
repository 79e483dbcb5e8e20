#include "handles.h"

#include <map>
#include <mutex>

#include "kernel/io_file_objects.h"
#include "last_error.h"

namespace sim {

namespace {

std::mutex handleLock;
std::map<HANDLE, std::shared_ptr<HandleObject>> handles;
uintptr_t nextHandle = 0x100;

std::shared_ptr<HandleObject> RemoveHandle(HANDLE handle)
{
    std::lock_guard lock(handleLock);
    auto found = handles.find(handle);
    if (found == handles.end()) {
        return nullptr;
    }
    std::shared_ptr<HandleObject> object = std::move(found->second);
    handles.erase(found);
    return object;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<HandleObject> object)
{
    std::lock_guard lock(handleLock);
    HANDLE handle = reinterpret_cast<HANDLE>(nextHandle += 4);
    handles[handle] = std::move(object);
    return handle;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle)
{
    std::lock_guard lock(handleLock);
    auto found = handles.find(handle);
    return found == handles.end() ? nullptr : found->second;
}

size_t HandleCount()
{
    std::lock_guard lock(handleLock);
    return handles.size();
}

void ForgetHandles()
{
    std::lock_guard lock(handleLock);
    handles.clear();
}

}  // namespace sim

extern "C" {

BOOL WINAPI CloseHandle(HANDLE hObject)
{
    std::shared_ptr<sim::HandleObject> object = sim::RemoveHandle(hObject);
    if (object == nullptr) {
        return sim::FailWithError(ERROR_INVALID_HANDLE);
    }
    // An event needs nothing more; a file gets its cleanup, and its close
    // once nothing holds it any longer.
    if (auto file = std::dynamic_pointer_cast<sim::OpenFile>(object)) {
        sim::CloseFileHandle(file);
    }
    return TRUE;
}

}  // extern "C"
