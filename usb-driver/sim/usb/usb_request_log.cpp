#include "usb_request_log.h"

#include <algorithm>
#include <string>

#include "kernel/bugcheck.h"

namespace sim {

size_t UsbRequestLog::Add(const UsbRequestRecord& record)
{
    if (window_.size() == Window) {
        // Departed records stay only while their request is in flight: the
        // bus ends a request through its record, and nothing reads it after.
        if (!departed_.empty()) {
            std::erase_if(departed_, [](const auto& entry) { return entry.second.completed; });
        }
        if (!window_.front().completed) {
            departed_.emplace(first_, window_.front());
        }
        window_.pop_front();
        first_++;
    }
    window_.push_back(record);
    return Count() - 1;
}

UsbRequestRecord& UsbRequestLog::Departed(size_t number)
{
    auto found = departed_.find(number);
    if (found == departed_.end()) {
        BugCheck("SIMULATION_LIMIT", "USB request " + std::to_string(number) + " is no longer in the bus's log");
    }
    return found->second;
}

std::vector<UsbRequestRecord> UsbRequestLog::Since(size_t number) const
{
    if (number < first_) {
        BugCheck("SIMULATION_LIMIT", "the USB bus's log keeps the last " + std::to_string(Window) +
                                         " requests; request " + std::to_string(number) + " has left it");
    }
    auto from = window_.begin() + static_cast<std::ptrdiff_t>(std::min(number, Count()) - first_);
    return std::vector<UsbRequestRecord>(from, window_.end());
}

}  // namespace sim
