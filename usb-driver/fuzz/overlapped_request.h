// One overlapped request of the application, with everything the I/O
// manager or the driver may touch until it completes: the OVERLAPPED and its
// event, and the caller's buffers (METHOD_NEITHER hands the driver their
// very addresses). It must not be destroyed while still pending.
#pragma once

#include <cstdint>
#include <vector>

#include "win32_api.h"

namespace bulkcom_fuzz {

class OverlappedRequest {
public:
    OverlappedRequest();
    ~OverlappedRequest();
    OverlappedRequest(const OverlappedRequest&) = delete;
    OverlappedRequest& operator=(const OverlappedRequest&) = delete;

    OVERLAPPED* Overlapped() { return &overlapped_; }
    bool Completed() const { return HasOverlappedIoCompleted(&overlapped_); }
    // Returns once the request has completed, without needing the handle it
    // was sent on; a request never completed keeps the run here, which
    // libFuzzer reports as a timeout.
    void Await();

    std::vector<uint8_t> input;
    std::vector<uint8_t> output;

private:
    OVERLAPPED overlapped_{};
};

// The buffer to pass for bytes: none when there are none, as a caller would.
inline void* BufferOf(std::vector<uint8_t>& bytes)
{
    return bytes.empty() ? nullptr : bytes.data();
}

inline DWORD LengthOf(const std::vector<uint8_t>& bytes)
{
    return static_cast<DWORD>(bytes.size());
}

}  // namespace bulkcom_fuzz
