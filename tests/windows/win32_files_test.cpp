// The Win32 file layer of the Windows tool build (platform/host/fs/win32), run
// under Wine on Linux (or on Windows): opens beneath a volume's root answer
// with the host platform's statuses, reads give NTFS's end-of-file answers,
// and a file stays open until its handle is closed and its last file object
// reference dropped. Every test ends with an empty pool and no file open.
#include <gtest/gtest.h>
#include <process.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host.h"
#include "platform/host/fs/win32/win32.h"

namespace {

namespace fs = std::filesystem;

constexpr uint64_t kFileSize = 10000;
uint8_t Pattern(uint64_t offset) { return (uint8_t)(offset * 7 + 3); }

// An open, closed on every way out of a test.
struct Opened {
    HANDLE handle = nullptr;
    PFILE_OBJECT fileObject = nullptr;
    ~Opened() {
        if (handle != nullptr) {
            FltClose(handle);
        }
        if (fileObject != nullptr) {
            ObDereferenceObject(fileObject);
        }
    }
};

class Win32Files : public ::testing::Test {
protected:
    void SetUp() override {
        static int n = 0;
        dir_ = fs::temp_directory_path() /
               ("pontor-win32-" + std::to_string(_getpid()) + "-" + std::to_string(++n));
        fs::create_directories(dir_ / "dir");
        std::vector<uint8_t> bytes(kFileSize);
        for (uint64_t i = 0; i < kFileSize; i++) {
            bytes[i] = Pattern(i);
        }
        Write("disk.vhdx", bytes);
        Write("dir/inner.vhdx", {'i', 'n', 'n', 'e', 'r'});
        Write("plain.bin", {'p', 'l', 'a', 'i', 'n'});
        volume_ = std::make_unique<host::Volume>(dir_);
        instance_ = volume_->Instance();
        host::SetBugCheckHandler([this](std::string_view what) { bugChecks_.emplace_back(what); });
    }
    void TearDown() override {
        host::SetBugCheckHandler({});
        volume_.reset();
        fs::remove_all(dir_);
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        EXPECT_EQ(host::OpenFileCount(), 0u) << "files left open";
    }

    void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write((const char*)bytes.data(), (std::streamsize)bytes.size());
    }

    // FltCreateFileEx as the tool calls it, with the name as given.
    NTSTATUS OpenName(std::u16string name, HANDLE* handle, PFILE_OBJECT* fileObject,
                      ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE,
                      ULONG disposition = FILE_OPEN,
                      ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE) {
        UNICODE_STRING objectName;
        objectName.Buffer = name.data();
        objectName.Length = objectName.MaximumLength = (USHORT)(name.size() * 2);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &objectName,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb = {};
        return FltCreateFileEx(nullptr, instance_, handle, fileObject, access, &attributes, &iosb,
                               nullptr, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                               options, nullptr, 0, IO_STOP_ON_SYMLINK);
    }
    NTSTATUS Open(const std::string& relative, HANDLE* handle, PFILE_OBJECT* fileObject) {
        return OpenName(volume_->NtName(relative), handle, fileObject);
    }

    fs::path dir_;
    std::unique_ptr<host::Volume> volume_;
    PFLT_INSTANCE instance_ = nullptr;  // the one opens go through
    std::vector<std::string> bugChecks_;
};

struct Named {
    const char* name;
    const char* relative;  // '/'-separated, as NtName takes it
    NTSTATUS status;
    const char* begins;  // the first bytes of the file opened
};

std::ostream& operator<<(std::ostream& out, const Named& c) { return out << c.name; }

class OpenNamed : public Win32Files, public ::testing::WithParamInterface<Named> {};

TEST_P(OpenNamed, AnswersAsTheHostPlatform) {
    const Named& c = GetParam();
    Opened file;
    ASSERT_EQ(Open(c.relative, &file.handle, &file.fileObject), c.status);
    if (!NT_SUCCESS(c.status)) {
        EXPECT_EQ(file.handle, nullptr);
        EXPECT_EQ(file.fileObject, nullptr);
        EXPECT_EQ(host::OpenFileCount(), 0u);
        return;
    }
    char bytes[5] = {};
    LARGE_INTEGER offset = {};
    ULONG read = 0;
    EXPECT_EQ(FltReadFile(nullptr, file.fileObject, &offset, 5, bytes,
                          FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &read, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(bytes, read), c.begins);
}

INSTANTIATE_TEST_SUITE_P(
    Names, OpenNamed,
    ::testing::ValuesIn(std::vector<Named>{
        {"Present", "disk.vhdx", STATUS_SUCCESS, "\x03\x0A\x11\x18\x1F"},
        {"OtherLetterCase", "DISK.VHDX", STATUS_SUCCESS, "\x03\x0A\x11\x18\x1F"},
        {"InADirectory", "dir/inner.vhdx", STATUS_SUCCESS, "inner"},
        {"TrailingSeparator", "plain.bin/", STATUS_SUCCESS, "plain"},
        {"Missing", "none.vhdx", STATUS_OBJECT_NAME_NOT_FOUND, ""},
        {"MissingDirectory", "none/inner.vhdx", STATUS_OBJECT_PATH_NOT_FOUND, ""},
        {"FileAsDirectory", "plain.bin/inner.vhdx", STATUS_OBJECT_PATH_NOT_FOUND, ""},
        {"Directory", "dir", STATUS_FILE_IS_A_DIRECTORY, ""},
        {"VolumeItself", "", STATUS_OBJECT_NAME_INVALID, ""},
        {"DotDot", "dir/../disk.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
        {"Dot", "./disk.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
        {"EmptyComponent", "dir//inner.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
        {"Stream", "disk.vhdx:data", STATUS_OBJECT_NAME_INVALID, ""},
        {"Wildcard", "d*.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
        {"DosWildcard", "disk<vhdx", STATUS_OBJECT_NAME_INVALID, ""},
    }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Win32Files, RefusesWhatItDoesNotServe) {
    host::Volume other(dir_ / "dir");
    const std::u16string name = volume_->NtName("disk.vhdx");
    const std::u16string device = volume_->DeviceName();
    struct Case {
        const char* what;
        NTSTATUS status;
        std::function<NTSTATUS(HANDLE*, PFILE_OBJECT*)> open;
    };
    const std::vector<Case> cases = {
        {"write access", STATUS_NOT_SUPPORTED,
         [&](HANDLE* h, PFILE_OBJECT* f) {
             return OpenName(name, h, f, GENERIC_READ | GENERIC_WRITE);
         }},
        {"a create", STATUS_NOT_SUPPORTED,
         [&](HANDLE* h, PFILE_OBJECT* f) {
             return OpenName(name, h, f, GENERIC_READ, FILE_OPEN_IF);
         }},
        {"a directory open", STATUS_NOT_SUPPORTED,
         [&](HANDLE* h, PFILE_OBJECT* f) {
             return OpenName(volume_->NtName("dir"), h, f, GENERIC_READ, FILE_OPEN,
                             FILE_DIRECTORY_FILE);
         }},
        {"a name on another volume", STATUS_INVALID_PARAMETER,
         [&](HANDLE* h, PFILE_OBJECT* f) { return OpenName(other.NtName("inner.vhdx"), h, f); }},
        {"a device name this one begins", STATUS_OBJECT_PATH_NOT_FOUND,
         [&](HANDLE* h, PFILE_OBJECT* f) { return OpenName(device + u"7\\disk.vhdx", h, f); }},
    };
    for (const Case& c : cases) {
        Opened file;
        EXPECT_EQ(c.open(&file.handle, &file.fileObject), c.status) << c.what;
        EXPECT_EQ(file.handle, nullptr) << c.what;
    }
}

TEST_F(Win32Files, AFileHeldWithoutSharingIsASharingViolation) {
    host::win32::FileHandle exclusive;
    ASSERT_EQ(host::win32::CreateNew(dir_ / "held.vhdx", &exclusive), 0u);
    Opened file;
    EXPECT_EQ(Open("held.vhdx", &file.handle, &file.fileObject), STATUS_SHARING_VIOLATION);
    host::win32::Close(exclusive);
}

struct Read {
    const char* name;
    LONGLONG offset;
    ULONG length;
    NTSTATUS status;
    ULONG count;
};

std::ostream& operator<<(std::ostream& out, const Read& c) { return out << c.name; }

class ReadAnswers : public Win32Files, public ::testing::WithParamInterface<Read> {};

TEST_P(ReadAnswers, AsNtfsAnswers) {
    const Read& c = GetParam();
    Opened file;
    ASSERT_EQ(Open("disk.vhdx", &file.handle, &file.fileObject), STATUS_SUCCESS);
    std::vector<uint8_t> buffer(std::max<ULONG>(c.length, 1) + 16, 0xEE);
    LARGE_INTEGER offset;
    offset.QuadPart = c.offset;
    ULONG read = 12345;
    EXPECT_EQ(FltReadFile(nullptr, file.fileObject, &offset, c.length, buffer.data(),
                          FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, &read, nullptr, nullptr),
              c.status);
    EXPECT_EQ(read, c.count);
    for (ULONG i = 0; i < c.count; i++) {
        ASSERT_EQ(buffer[i], Pattern((uint64_t)c.offset + i)) << "byte " << i;
    }
    for (size_t i = c.count; i < buffer.size(); i++) {
        ASSERT_EQ(buffer[i], 0xEE) << "written past the count at " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Reads, ReadAnswers,
                         ::testing::ValuesIn(std::vector<Read>{
                             {"Inside", 100, 1000, STATUS_SUCCESS, 1000},
                             {"CrossingTheEnd", 9990, 100, STATUS_SUCCESS, 10},
                             {"WholeFileIntoALargerBuffer", 0, 1 << 20, STATUS_SUCCESS, kFileSize},
                             {"AtTheEnd", kFileSize, 1, STATUS_END_OF_FILE, 0},
                             {"BeyondFourGiB", (1LL << 32) + 100, 16, STATUS_END_OF_FILE, 0},
                             {"NothingAtTheEnd", kFileSize, 0, STATUS_SUCCESS, 0},
                             {"NothingBeyondTheEnd", 2 * kFileSize, 0, STATUS_SUCCESS, 0},
                             {"NegativeOffset", -1, 16, STATUS_INVALID_PARAMETER, 0},
                         }),
                         [](const auto& info) { return std::string(info.param.name); });

// An offset's high 32 bits reach the read: a file larger than 4 GiB (sparse
// where the file system allows) with a mark just past 4 GiB.
TEST_F(Win32Files, ReadsPastFourGiB) {
    constexpr uint64_t kMark = (1ULL << 32) + 100;
    {
        std::fstream out(dir_ / "disk.vhdx", std::ios::binary | std::ios::in | std::ios::out);
        out.seekp((std::streamoff)kMark);
        out.write("mark", 4);
    }
    Opened file;
    ASSERT_EQ(Open("disk.vhdx", &file.handle, &file.fileObject), STATUS_SUCCESS);
    char bytes[8] = {};
    LARGE_INTEGER offset;
    offset.QuadPart = (LONGLONG)kMark;
    ULONG read = 0;
    EXPECT_EQ(FltReadFile(nullptr, file.fileObject, &offset, 8, bytes, 0, &read, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(std::string(bytes, read), "mark");
}

TEST_F(Win32Files, ReadsWithoutAnOffsetFollowTheCurrentByteOffset) {
    Opened file;
    ASSERT_EQ(Open("disk.vhdx", &file.handle, &file.fileObject), STATUS_SUCCESS);
    PFILE_OBJECT fileObject = file.fileObject;
    struct Step {
        ULONG flags;
        LONGLONG from, after;
    };
    for (const Step& s :
         {Step{0, 0, 10}, Step{0, 10, 20},
          Step{FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, 20, 20}, Step{0, 20, 30}}) {
        uint8_t bytes[10];
        ULONG read = 0;
        EXPECT_EQ(
            FltReadFile(nullptr, fileObject, nullptr, 10, bytes, s.flags, &read, nullptr, nullptr),
            STATUS_SUCCESS);
        EXPECT_EQ(bytes[0], Pattern((uint64_t)s.from));
        EXPECT_EQ(fileObject->CurrentByteOffset.QuadPart, s.after);
    }
}

TEST_F(Win32Files, TheFileStaysOpenUntilHandleAndReferenceAreGone) {
    HANDLE handle;
    PFILE_OBJECT fileObject;
    ASSERT_EQ(Open("disk.vhdx", &handle, &fileObject), STATUS_SUCCESS);
    EXPECT_EQ(FltClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenFileCount(), 1u);
    uint8_t byte = 0;
    LARGE_INTEGER offset;
    offset.QuadPart = 5;
    ULONG read = 0;
    EXPECT_EQ(FltReadFile(nullptr, fileObject, &offset, 1, &byte, 0, &read, nullptr, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(byte, Pattern(5));
    ObDereferenceObject(fileObject);
    EXPECT_EQ(host::OpenFileCount(), 0u);

    ASSERT_EQ(Open("disk.vhdx", &handle, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenFileCount(), 1u);
    EXPECT_EQ(FltClose(handle), STATUS_SUCCESS);
    EXPECT_TRUE(bugChecks_.empty());
}

TEST_F(Win32Files, MisuseIsABugCheck) {
    FILE_OBJECT foreign = {};
    struct Case {
        const char* what;
        std::function<void()> misuse;
    };
    const std::vector<Case> cases = {
        {"FltClose: invalid handle",
         [&] {
             HANDLE handle;
             PFILE_OBJECT fileObject;
             ASSERT_EQ(Open("disk.vhdx", &handle, &fileObject), STATUS_SUCCESS);
             FltClose(handle);
             FltClose(handle);
             ObDereferenceObject(fileObject);
         }},
        {"ObfDereferenceObject: not a referenced file object",
         [&] { ObDereferenceObject(&foreign); }},
        {"FltReadFile: not an open file object",
         [&] {
             uint8_t byte;
             LARGE_INTEGER offset = {};
             EXPECT_EQ(
                 FltReadFile(nullptr, &foreign, &offset, 1, &byte, 0, nullptr, nullptr, nullptr),
                 STATUS_INVALID_PARAMETER);
         }},
    };
    for (const Case& c : cases) {
        bugChecks_.clear();
        c.misuse();
        EXPECT_EQ(bugChecks_, std::vector<std::string>{c.what});
    }
}

}  // namespace
