// TestSupport.h - shared fixture and helpers for the tests that link the library directly.
#ifndef OSTREVEL_TESTS_TESTSUPPORT_H
#define OSTREVEL_TESTS_TESTSUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "Allocation.h"
#include "BrokerSim.h"
#include "Bytes.h"

namespace ostrevel_test {

// Every test starts with a fresh simulated broker and allocation seam, and ends by checking
// that the library used the broker interface correctly.
class BrokerTest : public ::testing::Test {
protected:
    void SetUp() override {
        brokersim::reset();
        ostrevel::allocation_seam::reset();
    }
    void TearDown() override {
        EXPECT_EQ(brokersim::violations(), std::vector<std::string>{});
        ostrevel::allocation_seam::reset();
    }
};

}  // namespace ostrevel_test

#endif  // OSTREVEL_TESTS_TESTSUPPORT_H
