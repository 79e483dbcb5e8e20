// A port for tests of the comm API: every control request is recorded with
// its code, lengths and input bytes, and answered as the test says. Gets are
// answered with the record last set through the matching set request, or
// with one the test supplies.
#pragma once

#include <cstring>
#include <map>
#include <vector>

#include "sim/support/win32_port.h"

namespace bulkcom_test {

struct ControlRequest {
    DWORD code;
    ULONG inputLength;
    ULONG outputLength;
    std::vector<UCHAR> input;
};

class Win32CommTest : public Win32PortTest {
protected:
    void SetUp() override;
    void TearDown() override;

    // The record a get request returns from now on.
    template <class Record>
    void Reply(DWORD getCode, const Record& record)
    {
        std::vector<UCHAR> bytes(sizeof record);
        std::memcpy(bytes.data(), &record, sizeof record);
        replies_[getCode] = bytes;
    }

    // The request fails with the status from now on.
    void Refuse(DWORD code, NTSTATUS status) { refusals_[code] = status; }
    void ClearRefusals() { refusals_.clear(); }

    // The input a request carried, as a record.
    template <class Record>
    static Record InputAs(const ControlRequest& request)
    {
        Record record{};
        std::memcpy(&record, request.input.data(), std::min(sizeof record, request.input.size()));
        return record;
    }

    std::vector<DWORD> Codes() const;

    HANDLE port_ = INVALID_HANDLE_VALUE;
    std::vector<ControlRequest> requests_;

private:
    NTSTATUS Answer(PIRP irp);

    std::map<DWORD, std::vector<UCHAR>> replies_;
    std::map<DWORD, NTSTATUS> refusals_;
};

}  // namespace bulkcom_test
