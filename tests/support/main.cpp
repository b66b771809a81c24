// The main of every host test program. Each test starts with no fault armed,
// no hook, sink or bug-check handler left by another, and fails if it leaves
// pool allocations or open host files behind (its fixture is gone by then).
#include <gtest/gtest.h>

#include "platform/host/host.h"

namespace {

void ResetPlatform() {
    host::ResetFaults();
    host::ArmAccessFault(nullptr, 0);
    host::SetHook(host::HookPoint::SetStreamContext, nullptr);
    host::SetHook(host::HookPoint::PostCreate, nullptr);
    host::SetDebugSink(nullptr);
    host::SetBugCheckHandler(nullptr);
}

class HostClean : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override { ResetPlatform(); }
    void OnTestEnd(const ::testing::TestInfo&) override {
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        EXPECT_EQ(host::OpenFileCount(), 0u) << "files left open";
        ResetPlatform();
    }
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new HostClean);
    return RUN_ALL_TESTS();
}
