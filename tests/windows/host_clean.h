// The fixture every test here derives from: like every test of the project
// it ends on an empty pool and no host file left open.
#pragma once

#include <gtest/gtest.h>

#include "platform/host/host.h"

class HostCleanTest : public ::testing::Test {
protected:
    void TearDown() override {
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        EXPECT_EQ(host::OpenFileCount(), 0u) << "files left open";
    }
};
