#include "tests/platform/test_filter.h"

#include <sys/stat.h>

#include <cstdlib>
#include <fstream>

namespace platform_test {
namespace {

Filter* gFilter = new Filter();

std::string Kind(PFLT_CALLBACK_DATA data) {
    if (FLT_IS_FASTIO_OPERATION(data)) {
        return " fast";
    }
    if (FLT_IS_FS_FILTER_OPERATION(data)) {
        return " fsfilter";
    }
    return "";
}

FLT_PREOP_CALLBACK_STATUS FLTAPI Pre(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                     PVOID*) {
    Filter& f = TheFilter();
    f.Record("pre " + MajorName(data->Iopb->MajorFunction) + Kind(data));
    if (f.pre) {
        if (auto result = f.pre(data, objects)) {
            return *result;
        }
    }
    return FLT_PREOP_SUCCESS_WITH_CALLBACK;
}

FLT_POSTOP_CALLBACK_STATUS FLTAPI Post(PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects,
                                       PVOID, FLT_POST_OPERATION_FLAGS) {
    Filter& f = TheFilter();
    f.Record("post " + MajorName(data->Iopb->MajorFunction) + Kind(data));
    if (f.post) {
        f.post(data, objects);
    }
    return FLT_POSTOP_FINISHED_PROCESSING;
}

VOID FLTAPI Cleanup(PFLT_CONTEXT context, FLT_CONTEXT_TYPE) {
    Filter& f = TheFilter();
    f.cleanups++;
    f.Record("context cleanup");
    if (f.cleanup) {
        f.cleanup(context);
    }
}

NTSTATUS FLTAPI Unload(FLT_FILTER_UNLOAD_FLAGS) {
    TheFilter().Record("unload");
    FltUnregisterFilter(TheFilter().handle);
    return STATUS_SUCCESS;
}

NTSTATUS FLTAPI Setup(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_SETUP_FLAGS, DEVICE_TYPE type,
                      FLT_FILESYSTEM_TYPE) {
    TheFilter().Record("setup " + std::to_string(type));
    return type == FILE_DEVICE_NETWORK_FILE_SYSTEM && TheFilter().refuseNetwork
               ? STATUS_FLT_DO_NOT_ATTACH
               : STATUS_SUCCESS;
}

NTSTATUS FLTAPI QueryTeardown(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_QUERY_TEARDOWN_FLAGS) {
    TheFilter().Record("query teardown");
    return STATUS_SUCCESS;
}

VOID FLTAPI TeardownStart(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    TheFilter().Record("teardown start " + std::to_string(reason));
}

VOID FLTAPI TeardownComplete(PCFLT_RELATED_OBJECTS, FLT_INSTANCE_TEARDOWN_FLAGS reason) {
    TheFilter().Record("teardown complete " + std::to_string(reason));
}

const FLT_CONTEXT_REGISTRATION kContexts[] = {
    {FLT_STREAM_CONTEXT, 0, Cleanup, sizeof(StreamState), kContextTag, nullptr, nullptr, nullptr},
    {FLT_CONTEXT_END, 0, nullptr, 0, 0, nullptr, nullptr, nullptr},
};

#define OPERATION(major) \
    { major, 0, Pre, Post, nullptr }
const FLT_OPERATION_REGISTRATION kOperations[] = {
    OPERATION(IRP_MJ_CREATE),
    OPERATION(IRP_MJ_CLEANUP),
    OPERATION(IRP_MJ_CLOSE),
    OPERATION(IRP_MJ_READ),
    OPERATION(IRP_MJ_WRITE),
    OPERATION(IRP_MJ_QUERY_INFORMATION),
    OPERATION(IRP_MJ_FILE_SYSTEM_CONTROL),
    OPERATION(IRP_MJ_ACQUIRE_FOR_MOD_WRITE),
    OPERATION(IRP_MJ_RELEASE_FOR_MOD_WRITE),
    OPERATION(IRP_MJ_ACQUIRE_FOR_CC_FLUSH),
    OPERATION(IRP_MJ_RELEASE_FOR_CC_FLUSH),
    OPERATION(IRP_MJ_PREPARE_MDL_WRITE),
    {IRP_MJ_OPERATION_END, 0, nullptr, nullptr, nullptr},
};

const FLT_REGISTRATION kRegistration = {
    sizeof(FLT_REGISTRATION),
    FLT_REGISTRATION_VERSION_0203,
    0,
    kContexts,
    kOperations,
    Unload,
    Setup,
    QueryTeardown,
    TeardownStart,
    TeardownComplete,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

void Filter::Record(std::string line) {
    std::lock_guard<std::mutex> lock(mutex);
    log.push_back(std::move(line));
}

std::vector<std::string> Filter::Log() {
    std::lock_guard<std::mutex> lock(mutex);
    return log;
}

std::vector<std::string> Filter::Lines(const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : Log()) {
        if (line.rfind(prefix, 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

Filter& TheFilter() { return *gFilter; }

NTSTATUS NTAPI TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    NTSTATUS status = FltRegisterFilter(driver, &kRegistration, &TheFilter().handle);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = FltStartFiltering(TheFilter().handle);
    if (!NT_SUCCESS(status)) {
        FltUnregisterFilter(TheFilter().handle);
    }
    return status;
}

std::string MajorName(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE: return "create";
        case IRP_MJ_CLEANUP: return "cleanup";
        case IRP_MJ_CLOSE: return "close";
        case IRP_MJ_READ: return "read";
        case IRP_MJ_WRITE: return "write";
        case IRP_MJ_QUERY_INFORMATION: return "query";
        case IRP_MJ_FILE_SYSTEM_CONTROL: return "fsctl";
        case IRP_MJ_ACQUIRE_FOR_MOD_WRITE: return "acquire-mod-write";
        case IRP_MJ_RELEASE_FOR_MOD_WRITE: return "release-mod-write";
        case IRP_MJ_ACQUIRE_FOR_CC_FLUSH: return "acquire-cc-flush";
        case IRP_MJ_RELEASE_FOR_CC_FLUSH: return "release-cc-flush";
        case IRP_MJ_PREPARE_MDL_WRITE: return "prepare-mdl-write";
        default: return "major " + std::to_string(major);
    }
}

void PlatformTest::SetUp() {
    host::SetBugCheckHandler([this](std::string_view what) {
        std::lock_guard<std::mutex> lock(bugChecksMutex_);
        bugChecks_.emplace_back(what);
    });
    delete gFilter;
    gFilter = new Filter();
    const char* layer = std::getenv("PONTOR_TEST_LAYER");
    if (layer != nullptr && std::string_view(layer) == "memory") {
        auto memory = std::make_unique<host::MemoryVolume>();
        memory_ = memory.get();
        volume_ = std::move(memory);
    } else {
        volume_ = std::make_unique<host::Volume>(dir_.Dir());
    }
}

void PlatformTest::TearDown() {
    driver_.reset();
    volume_.reset();
    EXPECT_EQ(TakeBugChecks(), std::vector<std::string>()) << "unexpected bug checks";
    host::SetBugCheckHandler(nullptr);
}

void PlatformTest::WriteFile(const std::string& relative, const std::string& bytes) {
    if (memory_ != nullptr) {
        return memory_->Put(relative, bytes);
    }
    std::filesystem::create_directories(Path(relative).parent_path());
    std::ofstream(Path(relative), std::ios::binary) << bytes;
}

std::string PlatformTest::ReadHostFile(const std::string& relative) {
    if (memory_ != nullptr) {
        const std::vector<uint8_t> bytes = memory_->Get(relative);
        return std::string(bytes.begin(), bytes.end());
    }
    return kit::Slurp(Path(relative));
}

bool PlatformTest::Exists(const std::string& relative) const {
    return memory_ != nullptr ? memory_->Exists(relative) : std::filesystem::exists(Path(relative));
}

void PlatformTest::MakeLink(const std::string& relative, const std::string& target) {
    if (memory_ != nullptr) {
        return memory_->MakeLink(relative);
    }
    std::filesystem::create_symlink(target.empty() ? dir_.Dir() : Path(target), Path(relative));
}

void PlatformTest::MakeReadOnly(const std::string& relative) {
    if (memory_ != nullptr) {
        return memory_->SetReadOnly(relative, true);
    }
    std::filesystem::permissions(Path(relative), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
}

uint64_t PlatformTest::IndexOf(const std::string& relative) const {
    struct stat st = {};
    return memory_ != nullptr ? memory_->Index(relative)
                              : (::stat(Path(relative).c_str(), &st), st.st_ino);
}

host::IoResult PlatformTest::OpenFile(const std::string& relative, host::Handle* handle,
                                      ACCESS_MASK access) {
    return host::Open(*volume_, relative, handle, access);
}

void PlatformTest::Load() {
    driver_ = std::make_unique<host::Driver>(TestDriverEntry);
    ASSERT_EQ(driver_->EntryStatus(), STATUS_SUCCESS);
}

std::vector<std::string> PlatformTest::TakeBugChecks() {
    std::lock_guard<std::mutex> lock(bugChecksMutex_);
    return std::exchange(bugChecks_, {});
}

}  // namespace platform_test
