// How the I/O manager carries requests through a filter: callback order,
// every pre-operation result, fast I/O and its IRP retry, the parameters
// each kind of request presents.
#include <cstring>
#include <string>

#include "tests/platform/test_filter.h"

namespace platform_test {
namespace {

using Lines = std::vector<std::string>;

class Dispatch : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        WriteFile("dir/file.bin", "0123456789");
        Load();
    }
};

TEST_F(Dispatch, OpenAndCloseRunCallbacksInOrder) {
    {
        host::Handle h;
        ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    }
    EXPECT_EQ(TheFilter().Lines("p"), (Lines{"pre create", "post create", "pre cleanup",
                                             "post cleanup", "pre close", "post close"}));
}

// Each pre-operation result of a read, and what the caller and the filter see
// (FLT_PREOP_SYNCHRONIZE takes WITH_CALLBACK's path: every request is synchronous).
struct PreResultCase {
    const char* name;
    FLT_PREOP_CALLBACK_STATUS result;
    Lines callbacks;
    NTSTATUS status;
    ULONG_PTR information;
    std::string bytes;
};

class PreResult : public Dispatch, public ::testing::WithParamInterface<PreResultCase> {};

TEST_P(PreResult, IsHonoured) {
    const PreResultCase& c = GetParam();
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    TheFilter().log.clear();
    TheFilter().pre =
        Only(IRP_MJ_READ, [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
            if (c.result == FLT_PREOP_COMPLETE) {
                std::memcpy(data->Iopb->Parameters.Read.ReadBuffer, "XY", 2);
                data->IoStatus.Status = STATUS_SUCCESS;
                data->IoStatus.Information = 2;
            }
            return c.result;
        });
    std::string buffer(4, '.');
    const host::IoResult r = host::Read(h, {.buffer = buffer.data(), .length = 4, .offset = 2});
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.information, c.information);
    EXPECT_EQ(buffer, c.bytes);
    EXPECT_EQ(TheFilter().Lines("p"), c.callbacks);
}

INSTANTIATE_TEST_SUITE_P(
    Read, PreResult,
    ::testing::Values(
        PreResultCase{"WithCallback",
                      FLT_PREOP_SUCCESS_WITH_CALLBACK,
                      {"pre read", "post read"},
                      STATUS_SUCCESS,
                      4,
                      "2345"},
        PreResultCase{
            "NoCallback", FLT_PREOP_SUCCESS_NO_CALLBACK, {"pre read"}, STATUS_SUCCESS, 4, "2345"},
        PreResultCase{"Complete", FLT_PREOP_COMPLETE, {"pre read"}, STATUS_SUCCESS, 2, "XY.."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Dispatch, PostOperationSeesTheFileSystemsAnswer) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    NTSTATUS seen = 0;
    TheFilter().post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        if (data->Iopb->MajorFunction == IRP_MJ_READ) {
            seen = data->IoStatus.Status;
            EXPECT_TRUE(data->Flags & FLTFL_CALLBACK_DATA_POST_OPERATION);
        }
    };
    char buffer[4];
    EXPECT_EQ(host::Read(h, {.buffer = buffer, .length = 4, .offset = 10}).status,
              STATUS_END_OF_FILE);
    EXPECT_EQ(seen, STATUS_END_OF_FILE);
}

// Fast I/O is served where the filter allows it and retried as an IRP where
// it does not.
TEST_F(Dispatch, FastIoServedWhenAllowedAndDisallowedComesBackAsAnIrp) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    char buffer[3];
    for (const bool allowed : {true, false}) {
        TheFilter().log.clear();
        TheFilter().pre = [allowed](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
            if (!allowed && FLT_IS_FASTIO_OPERATION(data)) {
                return FLT_PREOP_DISALLOW_FASTIO;
            }
            return std::nullopt;
        };
        const host::IoResult r = host::Read(h, {.buffer = buffer,
                                                .length = 3,
                                                .offset = allowed ? 7 : 0,
                                                .path = host::IoPath::Cached});
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(r.information, 3u);
        EXPECT_EQ(std::string(buffer, 3), allowed ? "789" : "012");
        EXPECT_EQ(TheFilter().Lines("p"), allowed
                                              ? (Lines{"pre read fast", "post read fast"})
                                              : (Lines{"pre read fast", "pre read", "post read"}));
    }
}

// What each path of a read looks like to the filter.
struct PathCase {
    host::IoPath path;
    ULONG irpFlags;
    UCHAR minor;
    bool buffer;
    bool mdl;
};

class ReadPath : public Dispatch, public ::testing::WithParamInterface<PathCase> {};

TEST_P(ReadPath, PresentsItsParameters) {
    const PathCase& c = GetParam();
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    FLT_IO_PARAMETER_BLOCK seen = {};
    TheFilter().pre =
        Only(IRP_MJ_READ, [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
            seen = *data->Iopb;
            return std::nullopt;
        });
    char buffer[4] = {};
    const host::IoResult r =
        host::Read(h, {.buffer = buffer, .length = 4, .offset = 1, .path = c.path});
    EXPECT_EQ(seen.IrpFlags, c.irpFlags);
    EXPECT_EQ(seen.MinorFunction, c.minor);
    EXPECT_EQ(seen.Parameters.Read.ReadBuffer != nullptr, c.buffer);
    EXPECT_EQ(seen.Parameters.Read.MdlAddress != nullptr, c.mdl);
    EXPECT_EQ(seen.Parameters.Read.ByteOffset.QuadPart, 1);
    if (c.path != host::IoPath::MdlComplete) {
        EXPECT_EQ(r.status, STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, 4), "1234");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReadPath,
    ::testing::Values(PathCase{host::IoPath::Irp, IRP_SYNCHRONOUS_API, IRP_MN_NORMAL, true, false},
                      PathCase{host::IoPath::NonCached, IRP_NOCACHE | IRP_SYNCHRONOUS_API,
                               IRP_MN_NORMAL, true, false},
                      PathCase{host::IoPath::Paging,
                               IRP_PAGING_IO | IRP_NOCACHE | IRP_SYNCHRONOUS_PAGING_IO,
                               IRP_MN_NORMAL, true, true},
                      PathCase{host::IoPath::Mdl, IRP_SYNCHRONOUS_API, IRP_MN_MDL, false, false},
                      PathCase{host::IoPath::MdlComplete, IRP_SYNCHRONOUS_API, IRP_MN_COMPLETE_MDL,
                               false, true}));

TEST_F(Dispatch, SynchronousHandleReadsAtItsCurrentOffset) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    char buffer[4];
    ASSERT_EQ(host::Read(h, {.buffer = buffer, .length = 4}).information, 4u);
    ASSERT_EQ(host::Read(h, {.buffer = buffer, .length = 4}).information, 4u);
    EXPECT_EQ(std::string(buffer, 4), "4567");
    // A read the filter completes leaves the offset where it was.
    TheFilter().pre =
        Only(IRP_MJ_READ, [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
            data->IoStatus.Status = STATUS_SUCCESS;
            data->IoStatus.Information = 0;
            return FLT_PREOP_COMPLETE;
        });
    ASSERT_EQ(host::Read(h, {.buffer = buffer, .length = 4}).status, STATUS_SUCCESS);
    EXPECT_EQ(h.FileObject()->CurrentByteOffset.QuadPart, 8);
}

// A file object opened without synchronous I/O has no position: every read
// and write names its offset, and none moves CurrentByteOffset.
TEST_F(Dispatch, PositionalHandlesNeedAnOffsetAndKeepNoPosition) {
    host::CreateRequest create;
    create.name = volume_->NtName("dir/file.bin");
    create.desiredAccess = GENERIC_READ | GENERIC_WRITE;
    create.createOptions = FILE_NON_DIRECTORY_FILE;
    host::Handle h;
    ASSERT_EQ(host::Create(create, &h).status, STATUS_SUCCESS);
    char buffer[4] = {};
    EXPECT_EQ(host::Read(h, {.buffer = buffer, .length = 4}).status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host::Write(h, {.buffer = "ab", .length = 2}).status, STATUS_INVALID_PARAMETER);
    const host::IoResult read = host::Read(h, {.buffer = buffer, .length = 4, .offset = 6});
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(buffer, read.information), "6789");
    EXPECT_EQ(host::Write(h, {.buffer = "ab", .length = 2, .offset = 1}).information, 2u);
    EXPECT_EQ(h.FileObject()->CurrentByteOffset.QuadPart, 0);
    EXPECT_EQ(host::Read(h, {.buffer = buffer, .length = 4, .offset = 0}).information, 4u);
    EXPECT_EQ(std::string(buffer, 4), "0ab3");
}

TEST_F(Dispatch, WritesNeedWriteAccessAndReallyWrite) {
    host::Handle reader, writer;
    ASSERT_EQ(OpenFile("dir/file.bin", &reader).status, STATUS_SUCCESS);
    EXPECT_EQ(host::Write(reader, {.buffer = "ab", .length = 2, .offset = 0}).status,
              STATUS_ACCESS_DENIED);
    ASSERT_EQ(OpenFile("dir/file.bin", &writer, GENERIC_WRITE | SYNCHRONIZE).status,
              STATUS_SUCCESS);
    TheFilter().log.clear();
    EXPECT_EQ(host::Write(writer,
                          {.buffer = "ab", .length = 2, .offset = 3, .path = host::IoPath::Cached})
                  .information,
              2u);
    EXPECT_EQ(ReadHostFile("dir/file.bin"), "012ab56789");
    EXPECT_EQ(TheFilter().Lines("p"), (Lines{"pre write fast", "post write fast"}));
}

TEST_F(Dispatch, WriteRelatedOperations) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h, GENERIC_READ | GENERIC_WRITE).status, STATUS_SUCCESS);
    TheFilter().log.clear();
    EXPECT_EQ(host::AcquireForModWrite(h, 10).status, STATUS_SUCCESS);
    EXPECT_EQ(host::AcquireForCcFlush(h).status, STATUS_SUCCESS);
    EXPECT_EQ(TheFilter().Lines("pre"),
              (Lines{"pre acquire-mod-write fsfilter", "pre release-mod-write fsfilter",
                     "pre acquire-cc-flush fsfilter", "pre release-cc-flush fsfilter"}));

    // Refused acquires are not released; a refused fast MDL write returns as an IRP.
    TheFilter().log.clear();
    TheFilter().pre = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
        if (FLT_IS_FASTIO_OPERATION(data)) {
            return FLT_PREOP_DISALLOW_FASTIO;
        }
        const UCHAR major = data->Iopb->MajorFunction;
        if (major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE) {
            return std::nullopt;
        }
        if (major == IRP_MJ_WRITE) {
            EXPECT_EQ(data->Iopb->MinorFunction, IRP_MN_MDL);
        }
        data->IoStatus.Status = STATUS_ACCESS_DENIED;
        data->IoStatus.Information = 0;
        return FLT_PREOP_COMPLETE;
    };
    EXPECT_EQ(host::AcquireForModWrite(h, 10).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(host::PrepareMdlWrite(h, 0, 4096).status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(TheFilter().Lines("pre"),
              (Lines{"pre acquire-mod-write fsfilter", "pre prepare-mdl-write fast", "pre write"}));
    EXPECT_EQ(ReadHostFile("dir/file.bin"), "0123456789");
}

TEST_F(Dispatch, FileSystemControlIsBuffered) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    const ULONG code = CTL_CODE(FILE_DEVICE_FILE_SYSTEM, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    char out[8] = {};
    EXPECT_EQ(host::FileSystemControl(h, {.code = code, .output = out, .outputLength = 8}).status,
              STATUS_INVALID_DEVICE_REQUEST);

    TheFilter().pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
        auto& fsctl = data->Iopb->Parameters.FileSystemControl.Buffered;
        EXPECT_EQ(fsctl.FsControlCode, code);
        EXPECT_EQ(std::string((char*)fsctl.SystemBuffer, 2), "in");  // the input, on the way down
        std::memcpy(fsctl.SystemBuffer, "answer", 6);
        data->IoStatus.Status = STATUS_SUCCESS;
        data->IoStatus.Information = 6;
        return FLT_PREOP_COMPLETE;
    };
    const host::IoResult r = host::FileSystemControl(
        h, {.code = code, .input = "in", .inputLength = 2, .output = out, .outputLength = 8});
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.information, 6u);
    EXPECT_EQ(std::string(out, 8), std::string("answer\0\0", 8))
        << "the information's bytes, no more";

    void* system = &system;
    TheFilter().pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
        system = data->Iopb->Parameters.FileSystemControl.Buffered.SystemBuffer;
        return std::nullopt;
    };
    host::FileSystemControl(
        h, {.code = code, .output = out, .outputLength = 8, .nullSystemBuffer = true});
    EXPECT_EQ(system, nullptr);
}

TEST_F(Dispatch, ParameterChangesNeedTheDirtyMark) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    for (const bool dirty : {true, false}) {
        TheFilter().pre =
            Only(IRP_MJ_READ, [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
                data->Iopb->Parameters.Read.ByteOffset.QuadPart = 5;
                if (dirty) {
                    FltSetCallbackDataDirty(data);
                }
                return std::nullopt;
            });
        char buffer[2];
        EXPECT_EQ(host::Read(h, {.buffer = buffer, .length = 2, .offset = 0}).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, 2), "56") << "the lower layers see the change";
        EXPECT_EQ(TakeBugChecks().size(), dirty ? 0u : 1u);
    }
}

TEST_F(Dispatch, CallbacksMustReleaseWhatTheyAcquire) {
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    TheFilter().pre = Only(IRP_MJ_READ, [](PFLT_CALLBACK_DATA, PCFLT_RELATED_OBJECTS) -> Verdict {
        KeEnterCriticalRegion();
        return std::nullopt;
    });
    char buffer[1];
    host::Read(h, {.buffer = buffer, .length = 1, .offset = 0});
    const std::vector<std::string> checks = TakeBugChecks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_NE(checks[0].find("critical region"), std::string::npos);
    KeLeaveCriticalRegion();
}

TEST_F(Dispatch, ExtraCreateParametersReachTheFilter) {
    const GUID wanted = {
        0x4248BE44, 0x647F, 0x488F, {0x8B, 0xE5, 0xA0, 0x8A, 0xAF, 0x70, 0xF0, 0x28}};
    const GUID other = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    struct Case {
        std::vector<GUID> ecps;
        bool list;
        NTSTATUS found;
    };
    for (const Case& c : {Case{{}, false, STATUS_NOT_FOUND}, Case{{other}, true, STATUS_NOT_FOUND},
                          Case{{other, wanted}, true, STATUS_SUCCESS}}) {
        bool sawList = false;
        NTSTATUS found = STATUS_NOT_FOUND;
        TheFilter().pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
            if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
                PECP_LIST list = nullptr;
                EXPECT_EQ(FltGetEcpListFromCallbackData(TheFilter().handle, data, &list),
                          STATUS_SUCCESS);
                sawList = list != nullptr;
                if (list != nullptr) {
                    PVOID context;
                    found = FltFindExtraCreateParameter(TheFilter().handle, list, &wanted, &context,
                                                        nullptr);
                }
            }
            return std::nullopt;
        };
        host::Handle h;
        ASSERT_EQ(
            host::Create({.name = Nt("dir/file.bin"), .extraCreateParameters = c.ecps}, &h).status,
            STATUS_SUCCESS);
        EXPECT_EQ(sawList, c.list);
        EXPECT_EQ(found, c.found);
    }
}

TEST_F(Dispatch, CreateFlagsAndStackFileObjects) {
    struct Seen {
        UCHAR operationFlags = 0;
        ULONG fileObjectFlags = 0;
        bool onStack = false;
        ACCESS_MASK access = 0;
    } seen;
    TheFilter().pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) -> Verdict {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
            ULONG_PTR low, high;
            IoGetStackLimits(&low, &high);
            const auto at = (ULONG_PTR)objects->FileObject;
            seen = {data->Iopb->OperationFlags, objects->FileObject->Flags, at >= low && at < high,
                    data->Iopb->Parameters.Create.SecurityContext->DesiredAccess};
        }
        return std::nullopt;
    };
    host::Handle h;
    EXPECT_EQ(host::Create({.name = Nt("dir/file.bin"), .fileObjectOnStack = true}, &h).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(seen.onStack);
    EXPECT_FALSE(h);

    EXPECT_EQ(host::Create({.name = Nt("dir/file.bin"), .desiredAccess = GENERIC_WRITE}, &h).status,
              STATUS_SUCCESS);
    EXPECT_FALSE(seen.onStack);
    EXPECT_TRUE(seen.access & FILE_WRITE_DATA) << "generic rights arrive mapped";

    EXPECT_EQ(
        host::Create({.name = Nt("dir/file.bin"), .operationFlags = SL_OPEN_TARGET_DIRECTORY}, &h)
            .information,
        (ULONG_PTR)FILE_EXISTS);
    EXPECT_EQ(seen.operationFlags, SL_OPEN_TARGET_DIRECTORY);

    EXPECT_EQ(host::Create({.name = volume_->DeviceName(), .createOptions = 0}, &h).status,
              STATUS_SUCCESS);
    EXPECT_TRUE(seen.fileObjectFlags & FO_VOLUME_OPEN);
}

TEST_F(Dispatch, FilterOpensGoBelowTheFilter) {
    NTSTATUS inner = STATUS_UNSUCCESSFUL;
    TheFilter().post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        if (data->Iopb->MajorFunction != IRP_MJ_CREATE || inner != STATUS_UNSUCCESSFUL) {
            return;
        }
        std::u16string name = Nt("dir/file.bin");
        UNICODE_STRING u = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2), name.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &u, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr,
                                   nullptr);
        IO_STATUS_BLOCK iosb;
        HANDLE handle;
        PFILE_OBJECT fo;
        inner = FltCreateFileEx(objects->Filter, objects->Instance, &handle, &fo,
                                GENERIC_READ | SYNCHRONIZE, &oa, &iosb, nullptr,
                                FILE_ATTRIBUTE_NORMAL, 7, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT,
                                nullptr, 0, IO_STOP_ON_SYMLINK);
        if (NT_SUCCESS(inner)) {
            char buffer[2];
            LARGE_INTEGER offset = {};
            EXPECT_EQ(FltReadFile(objects->Instance, fo, &offset, 2, buffer, 0, nullptr, nullptr,
                                  nullptr),
                      STATUS_SUCCESS);
            FILE_STANDARD_INFORMATION standard;
            EXPECT_EQ(FltQueryInformationFile(objects->Instance, fo, &standard, sizeof(standard),
                                              FileStandardInformation, nullptr),
                      STATUS_SUCCESS);
            EXPECT_EQ(standard.EndOfFile.QuadPart, 10);
            FltClose(handle);
            ObDereferenceObject(fo);
        }
    };
    host::Handle h;
    ASSERT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_SUCCESS);
    EXPECT_EQ(inner, STATUS_SUCCESS);
    EXPECT_EQ(TheFilter().Lines("pre"), (Lines{"pre create"}))
        << "the filter never sees its own I/O";
}

TEST_F(Dispatch, CancelledOpenFailsAndClosesTheFile) {
    TheFilter().post = [](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS objects) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE && NT_SUCCESS(data->IoStatus.Status)) {
            FltCancelFileOpen(objects->Instance, objects->FileObject);
            data->IoStatus.Status = STATUS_ACCESS_DENIED;
            data->IoStatus.Information = 0;
        }
    };
    host::Handle h;
    EXPECT_EQ(OpenFile("dir/file.bin", &h).status, STATUS_ACCESS_DENIED);
    EXPECT_FALSE(h);
    EXPECT_EQ(host::OpenFileCount(), 0u);
    EXPECT_TRUE(TheFilter().Lines("pre cleanup").empty())
        << "the cancelled open never had a handle";
}

TEST_F(Dispatch, FailedCreateReportsTheInjectedStatus) {
    host::FailCreate(2, STATUS_INSUFFICIENT_RESOURCES);
    host::Handle first, second, third;
    EXPECT_EQ(OpenFile("dir/file.bin", &first).status, STATUS_SUCCESS);
    EXPECT_EQ(OpenFile("dir/file.bin", &second).status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(OpenFile("dir/file.bin", &third).status, STATUS_SUCCESS);
    EXPECT_EQ(host::CreateCount(), 3u);
}

}  // namespace
}  // namespace platform_test
