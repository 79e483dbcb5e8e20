#include "support/test_capture.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <mutex>

#include <gtest/gtest.h>

namespace bulkcom_test {

namespace {

// Closes a test's capture once the test and its fixture are gone, every bus
// with them, and deletes it unless the test failed.
class CaptureKeeper : public ::testing::EmptyTestEventListener {
public:
    std::shared_ptr<sim::UsbCapture> ForTest(const std::filesystem::path& directory, const ::testing::TestInfo& test)
    {
        std::lock_guard lock(lock_);
        if (capture_ == nullptr) {
            std::string name = std::string(test.test_suite_name()) + "." + test.name() + ".pcap";
            std::replace(name.begin(), name.end(), '/', '_');
            std::error_code ignored;
            std::filesystem::create_directories(directory, ignored);
            path_ = directory / name;
            std::string error;
            capture_ = sim::UsbCapture::Create(path_, error);
            if (capture_ == nullptr) {
                ADD_FAILURE() << "no USB capture for the test: " << error;
            }
        }
        return capture_;
    }

    void OnTestEnd(const ::testing::TestInfo& test) override
    {
        std::lock_guard lock(lock_);
        if (capture_ == nullptr) {
            return;
        }
        capture_.reset();
        if (!test.result()->Failed()) {
            std::filesystem::remove(path_);
        }
    }

private:
    std::mutex lock_;
    std::shared_ptr<sim::UsbCapture> capture_;
    std::filesystem::path path_;
};

CaptureKeeper& Keeper()
{
    // GoogleTest owns its listeners and deletes them at exit.
    static CaptureKeeper* const keeper = [] {
        auto* listener = new CaptureKeeper;
        ::testing::UnitTest::GetInstance()->listeners().Append(listener);
        return listener;
    }();
    return *keeper;
}

}  // namespace

void CaptureForThisTest(sim::UsbBus& bus)
{
    const char* directory = std::getenv("BULKCOM_CAPTURE_DIR");
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    if (directory == nullptr || *directory == '\0' || test == nullptr) {
        return;
    }
    if (std::shared_ptr<sim::UsbCapture> capture = Keeper().ForTest(directory, *test)) {
        bus.StartCapture(std::move(capture));
    }
}

}  // namespace bulkcom_test
