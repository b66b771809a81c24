// The file system below the filters: names, refusals, reads as NTFS answers
// them, information classes, share access.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <tuple>

#include "platform/host/fs/cached_views.h"
#include "tests/platform/test_filter.h"

namespace platform_test {
namespace {

class Files : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        WriteFile("Dir/Sub/Disk.VMDK", std::string(3000, 'x'));
        WriteFile("outside.bin", "secret");
    }

    // Opens through the volume's bare instance, as the driver's image opens do.
    NTSTATUS KernelOpen(const std::u16string& name, ULONG attributes, ULONG flags, HANDLE* handle,
                        PFILE_OBJECT* fo) {
        UNICODE_STRING u = {(USHORT)(name.size() * 2), (USHORT)(name.size() * 2),
                            (PWCH)name.data()};
        OBJECT_ATTRIBUTES oa;
        InitializeObjectAttributes(&oa, &u, attributes, nullptr, nullptr);
        IO_STATUS_BLOCK iosb;
        return FltCreateFileEx(nullptr, volume_->Instance(), handle, fo, GENERIC_READ | SYNCHRONIZE,
                               &oa, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL, 7, FILE_OPEN,
                               FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE, nullptr, 0,
                               flags);
    }
};

struct NameCase {
    const char* opened;
    ULONG attributes;
    ULONG flags;
    NTSTATUS status;
};

class OpenName : public Files, public ::testing::WithParamInterface<NameCase> {};

TEST_P(OpenName, ResolvesBeneathTheRootOnly) {
    MakeLink("Dir/link.bin", "outside.bin");
    MakeLink("Dir/loop", "");  // the root
    const NameCase& c = GetParam();
    HANDLE handle = nullptr;
    PFILE_OBJECT fo = nullptr;
    EXPECT_EQ(KernelOpen(Nt(c.opened), c.attributes, c.flags, &handle, &fo), c.status) << c.opened;
    if (handle != nullptr) {
        FltClose(handle);
        ObDereferenceObject(fo);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenName,
    ::testing::Values(NameCase{"Dir/Sub/Disk.VMDK", 0, 0, STATUS_SUCCESS},
                      NameCase{"dir/sub/disk.vmdk", OBJ_CASE_INSENSITIVE, 0, STATUS_SUCCESS},
                      NameCase{"dir/sub/disk.vmdk", 0, 0, STATUS_OBJECT_PATH_NOT_FOUND},
                      NameCase{"Dir/Sub/Disk.VMDK::$DATA", 0, 0, STATUS_SUCCESS},
                      NameCase{"Dir/Sub/Disk.VMDK:other", 0, 0, STATUS_OBJECT_NAME_INVALID},
                      NameCase{"Dir/Sub/missing", 0, 0, STATUS_OBJECT_NAME_NOT_FOUND},
                      NameCase{"Dir/missing/Disk.VMDK", 0, 0, STATUS_OBJECT_PATH_NOT_FOUND},
                      NameCase{"Dir/Sub/../../outside.bin", 0, 0, STATUS_OBJECT_NAME_INVALID},
                      NameCase{"Dir/./Sub/Disk.VMDK", 0, 0, STATUS_OBJECT_NAME_INVALID},
                      NameCase{"Dir/link.bin", 0, IO_STOP_ON_SYMLINK, STATUS_STOPPED_ON_SYMLINK},
                      NameCase{"Dir/link.bin", 0, 0, STATUS_ACCESS_DENIED},
                      NameCase{"Dir/loop/outside.bin", 0, IO_STOP_ON_SYMLINK,
                               STATUS_STOPPED_ON_SYMLINK},
                      NameCase{"Dir/Sub", 0, 0, STATUS_FILE_IS_A_DIRECTORY}));

TEST_F(Files, NamesAreNormalizedAndParsed) {
    Load();
    struct Parsed {
        std::string name, volume, parent, final, extension, stream;
    };
    std::vector<Parsed> seen;
    auto parse = [&](PFLT_CALLBACK_DATA data) {
        PFLT_FILE_NAME_INFORMATION info;
        ASSERT_EQ(FltGetFileNameInformation(
                      data, FLT_FILE_NAME_NORMALIZED | FLT_FILE_NAME_QUERY_DEFAULT, &info),
                  STATUS_SUCCESS);
        ASSERT_EQ(FltParseFileNameInformation(info), STATUS_SUCCESS);
        seen.push_back({host::Utf8(&info->Name), host::Utf8(&info->Volume),
                        host::Utf8(&info->ParentDir), host::Utf8(&info->FinalComponent),
                        host::Utf8(&info->Extension), host::Utf8(&info->Stream)});
        FltReleaseFileNameInformation(info);
    };
    TheFilter().pre = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) -> Verdict {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE) {
            parse(data);
        }
        return std::nullopt;
    };
    TheFilter().post = [&](PFLT_CALLBACK_DATA data, PCFLT_RELATED_OBJECTS) {
        if (data->Iopb->MajorFunction == IRP_MJ_CREATE && NT_SUCCESS(data->IoStatus.Status)) {
            parse(data);
        }
    };
    const std::string device = host::Utf8(volume_->DeviceName());
    host::Handle h;
    ASSERT_EQ(OpenFile("DIR/sub/disk.vmdk", &h).status, STATUS_SUCCESS);
    ASSERT_EQ(host::Create({.name = Nt("dir/New.Tar.GZ"), .disposition = FILE_CREATE}, &h).status,
              STATUS_SUCCESS);
    ASSERT_EQ(seen.size(), 4u);
    for (int i : {0, 1}) {  // before and after the open: the stored spelling
        EXPECT_EQ(seen[i].name, device + "\\Dir\\Sub\\Disk.VMDK");
        EXPECT_EQ(seen[i].volume, device);
        EXPECT_EQ(seen[i].parent, "\\Dir\\Sub\\");
        EXPECT_EQ(seen[i].final, "Disk.VMDK");
        EXPECT_EQ(seen[i].extension, "VMDK");
        EXPECT_EQ(seen[i].stream, "");
    }
    EXPECT_EQ(seen[2].name, device + "\\Dir\\New.Tar.GZ")
        << "a name still to be created keeps its spelling";
    EXPECT_EQ(seen[2].extension, "GZ");
    EXPECT_EQ(seen[3].name, seen[2].name);
    EXPECT_TRUE(Exists("Dir/New.Tar.GZ"));
}

struct ParseCase {
    const char16_t* name;
    const char* extension;
    const char* stream;
    const char* final;
};

TEST(FltParseFileName, SplitsTheLastComponent) {
    for (const ParseCase& c :
         {ParseCase{u"\\a\\b.vmdk", "vmdk", "", "b.vmdk"}, ParseCase{u"\\a.dir\\b", "", "", "b"},
          ParseCase{u"\\a\\b.tar.gz:s:$DATA", "gz", ":s:$DATA", "b.tar.gz:s:$DATA"},
          ParseCase{u"base.vhdx", "vhdx", "", "base.vhdx"}, ParseCase{u"\\a\\", "", "", ""},
          ParseCase{u"\\a\\.hidden", "hidden", "", ".hidden"}}) {
        UNICODE_STRING name, extension, stream, final;
        RtlInitUnicodeString(&name, c.name);
        ASSERT_EQ(FltParseFileName(&name, &extension, &stream, &final), STATUS_SUCCESS);
        EXPECT_EQ(host::Utf8(&extension), c.extension) << host::Utf8(&name);
        EXPECT_EQ(host::Utf8(&stream), c.stream) << host::Utf8(&name);
        EXPECT_EQ(host::Utf8(&final), c.final) << host::Utf8(&name);
    }
    UNICODE_STRING odd = {3, 4, (PWCH)u"ab"};
    UNICODE_STRING out;
    EXPECT_EQ(FltParseFileName(&odd, &out, &out, &out), STATUS_INVALID_PARAMETER);
}

// FltReadFile below the filter, at, across and beyond the end of a file.
struct ReadCase {
    LONGLONG offset;
    ULONG length;
    ULONG flags;
    NTSTATUS status;
    ULONG bytes;
    LONGLONG offsetAfter;  // the file object's current byte offset afterwards
};

class FltRead : public Files, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(FltRead, AnswersAsNtfs) {
    const ReadCase& c = GetParam();
    HANDLE handle;
    PFILE_OBJECT fo;
    ASSERT_EQ(KernelOpen(Nt("Dir/Sub/Disk.VMDK"), 0, 0, &handle, &fo), STATUS_SUCCESS);
    fo->CurrentByteOffset.QuadPart = 7;
    std::vector<char> buffer(c.length + 1, '.');
    ULONG bytes = 12345;
    LARGE_INTEGER offset;
    offset.QuadPart = c.offset;
    EXPECT_EQ(FltReadFile(volume_->Instance(), fo, &offset, c.length, buffer.data(), c.flags,
                          &bytes, nullptr, nullptr),
              c.status);
    EXPECT_EQ(bytes, c.bytes);
    EXPECT_EQ(std::string(buffer.data(), c.bytes), std::string(c.bytes, 'x'));
    EXPECT_EQ(buffer[c.bytes], '.') << "nothing written past the count";
    EXPECT_EQ(fo->CurrentByteOffset.QuadPart, c.offsetAfter);
    FltClose(handle);
    ObDereferenceObject(fo);
}

constexpr ULONG kKeep = FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET;
constexpr ULONG kPaging = FLTFL_IO_OPERATION_PAGING | kKeep;
INSTANTIATE_TEST_SUITE_P(Offsets, FltRead,
                         ::testing::Values(ReadCase{0, 2048, kKeep, STATUS_SUCCESS, 2048, 7},
                                           ReadCase{0, 2048, 0, STATUS_SUCCESS, 2048, 2048},
                                           ReadCase{2048, 2048, kPaging, STATUS_SUCCESS, 952, 7},
                                           ReadCase{2999, 10, 0, STATUS_SUCCESS, 1, 3000},
                                           ReadCase{3000, 10, kKeep, STATUS_END_OF_FILE, 0, 7},
                                           ReadCase{1 << 20, 10, 0, STATUS_END_OF_FILE, 0, 7},
                                           ReadCase{3000, 0, 0, STATUS_SUCCESS, 0, 7},
                                           ReadCase{-1, 10, 0, STATUS_INVALID_PARAMETER, 0, 7}));

// Names FltCreateFileEx cannot resolve on this volume, and what it returned
// kept and misused.
TEST_F(Files, KernelOpensOfForeignNamesFailAndMisuseIsABugCheck) {
    host::Volume other(Path("Dir"));
    HANDLE handle;
    PFILE_OBJECT fo;
    for (const auto& [what, name, status] :
         {std::tuple<const char*, std::u16string, NTSTATUS>{
              "another volume", other.NtName("Sub/Disk.VMDK"), STATUS_INVALID_PARAMETER},
          {"a device name this one begins", volume_->DeviceName() + u"7\\outside.bin",
           STATUS_OBJECT_PATH_NOT_FOUND}}) {
        handle = nullptr;
        EXPECT_EQ(KernelOpen(name, 0, 0, &handle, &fo), status) << what;
        EXPECT_EQ(handle, nullptr) << what;
    }

    // The file stays open until its handle is closed and the file object's
    // reference dropped.
    const size_t open = host::OpenFileCount();
    ASSERT_EQ(KernelOpen(Nt("outside.bin"), 0, 0, &handle, &fo), STATUS_SUCCESS);
    EXPECT_EQ(FltClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenFileCount(), open + 1);
    char byte = 0;
    LARGE_INTEGER offset = {};
    ULONG read = 0;
    EXPECT_EQ(FltReadFile(nullptr, fo, &offset, 1, &byte, 0, &read, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(byte, 's');
    FltClose(handle);
    EXPECT_EQ(TakeBugChecks(), std::vector<std::string>{"FltClose: invalid handle"});
    ObDereferenceObject(fo);
    EXPECT_EQ(host::OpenFileCount(), open);
    ASSERT_EQ(KernelOpen(Nt("outside.bin"), 0, 0, &handle, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(FltClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenFileCount(), open);

    FILE_OBJECT foreign = {};
    ObDereferenceObject(&foreign);
    EXPECT_EQ(TakeBugChecks(),
              std::vector<std::string>{"ObfDereferenceObject: not a referenced file object"});
    EXPECT_EQ(FltReadFile(nullptr, &foreign, &offset, 1, &byte, 0, nullptr, nullptr, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeBugChecks(), std::vector<std::string>{"FltReadFile: not an open file object"});
}

TEST_F(Files, InformationClassesDescribeTheFile) {
    host::Handle h;
    ASSERT_EQ(OpenFile("Dir/Sub/Disk.VMDK", &h).status, STATUS_SUCCESS);

    FILE_STANDARD_INFORMATION standard;
    EXPECT_EQ(
        host::QueryInformation(h, FileStandardInformation, &standard, sizeof(standard)).information,
        24u);
    EXPECT_EQ(standard.EndOfFile.QuadPart, 3000);
    EXPECT_EQ(standard.AllocationSize.QuadPart, 4096) << "whole clusters";
    EXPECT_FALSE(standard.Directory);

    alignas(8) UCHAR all[sizeof(FILE_ALL_INFORMATION) + 64];
    const host::IoResult r = host::QueryInformation(h, FileAllInformation, all, sizeof(all));
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    const auto* a = (FILE_ALL_INFORMATION*)all;
    EXPECT_EQ(a->StandardInformation.EndOfFile.QuadPart, 3000);
    EXPECT_EQ(a->InternalInformation.IndexNumber.QuadPart, (LONGLONG)IndexOf("Dir/Sub/Disk.VMDK"));
    const std::u16string name(a->NameInformation.FileName, a->NameInformation.FileNameLength / 2);
    EXPECT_EQ(name, u"\\Dir\\Sub\\Disk.VMDK");
    EXPECT_EQ(r.information,
              offsetof(FILE_ALL_INFORMATION, NameInformation.FileName) + name.size() * 2);

    FILE_NETWORK_OPEN_INFORMATION network;
    EXPECT_EQ(host::QueryInformation(h, FileNetworkOpenInformation, &network, sizeof(network))
                  .information,
              56u);
    EXPECT_EQ(network.EndOfFile.QuadPart, 3000);
    EXPECT_EQ(network.FileAttributes, (ULONG)FILE_ATTRIBUTE_ARCHIVE);

    alignas(8) UCHAR streams[64];
    EXPECT_EQ(
        host::QueryInformation(h, FileStreamInformation, streams, sizeof(streams)).information,
        24u + 14u);
    EXPECT_EQ(((FILE_STREAM_INFORMATION*)streams)->StreamSize.QuadPart, 3000);
}

// Buffers too short for a class, and classes the file system does not answer.
TEST_F(Files, ShortBuffersAndUnknownClasses) {
    host::Handle h;
    ASSERT_EQ(OpenFile("Dir/Sub/Disk.VMDK", &h).status, STATUS_SUCCESS);
    struct Case {
        FILE_INFORMATION_CLASS fileClass;
        ULONG length;
        NTSTATUS status;
        ULONG_PTR information;
    };
    for (const Case& c : {Case{FileStandardInformation, 23, STATUS_INFO_LENGTH_MISMATCH, 0},
                          Case{FileAllInformation, 60, STATUS_INFO_LENGTH_MISMATCH, 0},
                          Case{FileAllInformation, 104, STATUS_BUFFER_OVERFLOW, 104},
                          Case{FileNetworkOpenInformation, 55, STATUS_INFO_LENGTH_MISMATCH, 0},
                          Case{FileStreamInformation, 32, STATUS_BUFFER_OVERFLOW, 32},
                          Case{FileEndOfFileInformation, 8, STATUS_INVALID_PARAMETER, 0}}) {
        alignas(8) UCHAR buffer[128];
        std::memset(buffer, 0xEE, sizeof(buffer));
        const host::IoResult r = host::QueryInformation(h, c.fileClass, buffer, c.length);
        EXPECT_EQ(r.status, c.status) << c.fileClass << "/" << c.length;
        EXPECT_EQ(r.information, c.information) << c.fileClass << "/" << c.length;
        EXPECT_EQ(buffer[c.length], 0xEE) << "written past the buffer";
    }
}

TEST_F(Files, ShareAccessIsEnforcedUntilCleanup) {
    host::Handle reader;
    ASSERT_EQ(
        host::Create({.name = Nt("outside.bin"), .shareAccess = FILE_SHARE_READ}, &reader).status,
        STATUS_SUCCESS);
    host::Handle writer;
    EXPECT_EQ(OpenFile("outside.bin", &writer, GENERIC_WRITE).status, STATUS_SHARING_VIOLATION);
    host::Handle attributes;
    EXPECT_EQ(OpenFile("outside.bin", &attributes, FILE_READ_ATTRIBUTES).status, STATUS_SUCCESS)
        << "opens without data access are not checked";
    reader.Close();
    EXPECT_EQ(OpenFile("outside.bin", &writer, GENERIC_WRITE).status, STATUS_SUCCESS);
}

TEST_F(Files, DispositionsCreateAndOverwrite) {
    struct Case {
        const char* name;
        ULONG disposition;
        NTSTATUS status;
        ULONG_PTR information;
        const char* contentAfter;
    };
    for (const Case& c :
         {Case{"outside.bin", FILE_CREATE, STATUS_OBJECT_NAME_COLLISION, 0, "secret"},
          Case{"outside.bin", FILE_OPEN_IF, STATUS_SUCCESS, FILE_OPENED, "secret"},
          Case{"outside.bin", FILE_OVERWRITE, STATUS_SUCCESS, FILE_OVERWRITTEN, ""},
          Case{"new.bin", FILE_OVERWRITE, STATUS_OBJECT_NAME_NOT_FOUND, 0, nullptr},
          Case{"new.bin", FILE_OPEN_IF, STATUS_SUCCESS, FILE_CREATED, ""}}) {
        host::Handle h;
        const host::IoResult r = host::Create({.name = Nt(c.name),
                                               .desiredAccess = GENERIC_READ | GENERIC_WRITE,
                                               .disposition = c.disposition},
                                              &h);
        EXPECT_EQ(r.status, c.status) << c.name << " " << c.disposition;
        EXPECT_EQ(r.information, c.information) << c.name << " " << c.disposition;
        if (c.contentAfter != nullptr) {
            EXPECT_EQ(ReadHostFile(c.name), c.contentAfter);
        }
    }
    MakeReadOnly("outside.bin");
    host::Handle h;
    EXPECT_EQ(OpenFile("outside.bin", &h, GENERIC_WRITE).status, STATUS_ACCESS_DENIED)
        << "a read-only file";
}

// Small cached reads are copied from views of the file, taken under a read
// lease. Whatever another opener then does to the file, they answer as the
// file now is: the lease is broken first, and the views dropped.
class CachedReads : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        if (memory_ != nullptr) {
            GTEST_SKIP() << "views are the host file layer's";
        }
        for (size_t i = 0; i < content_.size(); i++) {
            content_[i] = (char)(i * 7 % 251);
        }
        WriteFile("big.bin", content_);
        ASSERT_EQ(KernelOpen(Nt("big.bin"), 0, 0, &handle_, &fo_), STATUS_SUCCESS);
    }
    void TearDown() override {
        if (fo_ != nullptr) {
            FltClose(handle_);
            ObDereferenceObject(fo_);
        }
        Files::TearDown();
    }

    NTSTATUS Read(uint64_t offset, ULONG length, std::string* bytes) {
        bytes->assign(length, '\0');
        ULONG got = 0;
        LARGE_INTEGER at;
        at.QuadPart = (LONGLONG)offset;
        const NTSTATUS status =
            FltReadFile(volume_->Instance(), fo_, &at, length, bytes->data(),
                        FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &got, nullptr, nullptr);
        bytes->resize(got);
        return status;
    }

    // Whether the process maps the file: the views are in use.
    bool Mapped() {
        std::ifstream maps("/proc/self/maps");
        const std::string path = Path("big.bin").string();
        for (std::string line; std::getline(maps, line);) {
            if (line.find(path) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    std::string content_ = std::string(1300 * 1024, '\0');  // five views and a part
    HANDLE handle_ = nullptr;
    PFILE_OBJECT fo_ = nullptr;
};

TEST_F(CachedReads, CopyTheFilesBytesFromAnywhere) {
    std::mt19937_64 random(7);
    std::string bytes;
    for (int i = 0; i < 3000; i++) {
        // Some cross a view's end, some the file's.
        const uint64_t offset = random() % (content_.size() + 100);
        const ULONG length = 1 + (ULONG)(random() % 4095);
        const NTSTATUS status = Read(offset, length, &bytes);
        if (offset >= content_.size()) {
            ASSERT_EQ(status, STATUS_END_OF_FILE) << offset;
            continue;
        }
        ASSERT_EQ(status, STATUS_SUCCESS) << offset;
        ASSERT_EQ(bytes, content_.substr(offset, length)) << offset << "+" << length;
    }
    EXPECT_TRUE(Mapped()) << "the reads were all the file's";
}

TEST_F(CachedReads, AnswerAsTheFileIsAfterAnotherOpenerChangesIt) {
    struct Case {
        const char* what;
        std::function<void(const std::string& path)> change;
        uint64_t offset;
        ULONG length;
        NTSTATUS status;
        std::string bytes;
    };
    const auto writeAt = [](off_t offset, const char* text) {
        return [=](const std::string& path) {
            const int fd = ::open(path.c_str(), O_WRONLY);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::pwrite(fd, text, std::strlen(text), offset), (ssize_t)std::strlen(text));
            ::close(fd);
        };
    };
    const auto truncateTo = [](off_t size) {
        return [=](const std::string& path) { ASSERT_EQ(::truncate(path.c_str(), size), 0); };
    };
    const std::string content = content_;
    for (const Case& c : {Case{"rewritten", writeAt(1000, "NEW"), 998, 7, STATUS_SUCCESS,
                               content.substr(998, 2) + "NEW" + content.substr(1003, 2)},
                          Case{"cut inside a page, read across the end", truncateTo(5000), 4990, 20,
                               STATUS_SUCCESS, content.substr(4990, 10)},
                          Case{"cut inside a page, read past the end", truncateTo(5000), 5100, 8,
                               STATUS_END_OF_FILE, ""},
                          Case{"grown", writeAt((off_t)content.size(), "tail"), content.size(), 4,
                               STATUS_SUCCESS, "tail"}}) {
        SCOPED_TRACE(c.what);
        WriteFile("big.bin", content);
        FltClose(handle_);
        ObDereferenceObject(fo_);
        fo_ = nullptr;
        ASSERT_EQ(KernelOpen(Nt("big.bin"), 0, 0, &handle_, &fo_), STATUS_SUCCESS);
        std::string bytes;
        for (uint64_t offset = 0; offset < 64 * 1024; offset += 1024) {
            ASSERT_EQ(Read(offset, 8, &bytes), STATUS_SUCCESS);
        }
        ASSERT_TRUE(Mapped()) << "no views to test";
        c.change(Path("big.bin").string());
        EXPECT_EQ(Read(c.offset, c.length, &bytes), c.status);
        EXPECT_EQ(bytes, c.bytes);
        EXPECT_FALSE(Mapped()) << "the views outlived the lease";
    }
}

// A child forked after the lease was taken has no watcher of its own (the
// kernel tells the parent's): its views are never used, and a truncation it
// makes is answered by the file.
TEST_F(CachedReads, AreNotUsedInAForkedChild) {
    const std::string path = Path("big.bin").string();
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    {
        host::fs::CachedViews views(fd);
        char byte;
        for (int i = 0; i < 32; i++) {
            views.Copy(i, 1, &byte);
        }
        ASSERT_TRUE(views.Copy(5000, 1, &byte)) << "no lease";
        const pid_t child = ::fork();
        if (child == 0) {
            const bool cut = ::truncate(path.c_str(), 4096) == 0;
            ::_exit(cut && !views.Copy(5000, 1, &byte) ? 0 : 1);
        }
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }
    ::close(fd);
}

}  // namespace
}  // namespace platform_test
