#include "sim/support/win32_comm_port.h"

#include <algorithm>

namespace bulkcom_test {

namespace {

// The get request that reads back what a set request stored.
const std::map<DWORD, DWORD> getOfSet = {
    {IOCTL_SERIAL_SET_BAUD_RATE, IOCTL_SERIAL_GET_BAUD_RATE},
    {IOCTL_SERIAL_SET_LINE_CONTROL, IOCTL_SERIAL_GET_LINE_CONTROL},
    {IOCTL_SERIAL_SET_CHARS, IOCTL_SERIAL_GET_CHARS},
    {IOCTL_SERIAL_SET_HANDFLOW, IOCTL_SERIAL_GET_HANDFLOW},
    {IOCTL_SERIAL_SET_TIMEOUTS, IOCTL_SERIAL_GET_TIMEOUTS},
    {IOCTL_SERIAL_SET_WAIT_MASK, IOCTL_SERIAL_GET_WAIT_MASK},
};

}  // namespace

void Win32CommTest::SetUp()
{
    Win32PortTest::SetUp();
    On(IRP_MJ_DEVICE_CONTROL, [this](PDEVICE_OBJECT, PIRP irp) { return Answer(irp); });
    // Overlapped, as .NET opens a port: the comm calls still wait.
    port_ = OpenPort(true);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
}

void Win32CommTest::TearDown()
{
    if (port_ != INVALID_HANDLE_VALUE) {
        EXPECT_TRUE(CloseHandle(port_));
    }
    Win32PortTest::TearDown();
}

std::vector<DWORD> Win32CommTest::Codes() const
{
    std::vector<DWORD> codes;
    for (const ControlRequest& request : requests_) {
        codes.push_back(request.code);
    }
    return codes;
}

NTSTATUS Win32CommTest::Answer(PIRP irp)
{
    const auto& parameters = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
    auto* buffer = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    ControlRequest request{parameters.IoControlCode, parameters.InputBufferLength, parameters.OutputBufferLength, {}};
    if (buffer != nullptr) {
        request.input.assign(buffer, buffer + parameters.InputBufferLength);
    }
    requests_.push_back(request);

    if (auto refused = refusals_.find(request.code); refused != refusals_.end()) {
        return CompleteWith(irp, refused->second);
    }
    if (auto get = getOfSet.find(request.code); get != getOfSet.end()) {
        replies_[get->second] = request.input;
    }
    auto reply = replies_.find(request.code);
    if (reply == replies_.end()) {
        return CompleteWith(irp, STATUS_SUCCESS);
    }
    size_t length = std::min<size_t>(reply->second.size(), parameters.OutputBufferLength);
    std::copy_n(reply->second.begin(), length, buffer);
    return CompleteWith(irp, STATUS_SUCCESS, length);
}

}  // namespace bulkcom_test
