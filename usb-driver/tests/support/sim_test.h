// The base of every test: a fresh simulated kernel, and at the end the
// platform's checks (no leaked pool, no outstanding request, no leftover
// object, name or handle).
#pragma once

#include <gtest/gtest.h>

namespace bulkcom_test {

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

// The checks alone, for tests that want them at a chosen point.
void ExpectPlatformClean();

}  // namespace bulkcom_test
