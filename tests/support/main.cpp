// The main of every host test program. Each test starts with no fault armed,
// no hook, sink or bug-check handler left by another, and fails if it leaves
// pool allocations or open host files behind (its fixture is gone by then):
// only the test that leaked fails, not every one after it.
#include <gtest/gtest.h>

#include <string>

#include "platform/host/host.h"

namespace {

void ResetPlatform() {
    host::ResetFaults();
    host::ArmAccessFault(nullptr, 0);
    host::SetHook(host::HookPoint::SetStreamContext, nullptr);
    host::SetHook(host::HookPoint::PostCreate, nullptr);
    host::SetDebugSink(nullptr);
    host::SetBugCheckHandler(nullptr);
    host::ClearIrqlWarnings();
}

class HostClean : public ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        ResetPlatform();
        pool_ = host::PoolOutstanding();
        files_ = host::OpenFileCount();
    }
    void OnTestEnd(const ::testing::TestInfo&) override {
        std::string tags;
        for (const host::Allocation& a : host::PoolAllocations()) {
            tags += " " + std::string(reinterpret_cast<const char*>(&a.tag), 4);
        }
        EXPECT_EQ(host::PoolOutstanding(), pool_) << "pool allocations leaked, tags:" << tags;
        EXPECT_EQ(host::OpenFileCount(), files_) << "host files left open";
        ResetPlatform();
    }
    size_t pool_ = 0, files_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::testing::UnitTest::GetInstance()->listeners().Append(new HostClean);
    return RUN_ALL_TESTS();
}
