// The Win32 file layer of the Windows tool build (platform/host/fs/win32), run
// under Wine on Linux (or on Windows): names beneath a volume's root answer
// with the host platform's statuses, only reads are served, and reads give
// NTFS's end-of-file answers. Handles, byte offsets and misuse are the shared
// Filter Manager's, tested on Linux (tests/platform/files_test.cpp). Every
// test ends with an empty pool and no file open.
#include <gtest/gtest.h>
#include <process.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/fs/win32/win32.h"
#include "platform/host/host.h"

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
        std::string bytes(kFileSize, '\0');
        for (uint64_t i = 0; i < kFileSize; i++) {
            bytes[i] = (char)Pattern(i);
        }
        for (const auto& [name, text] : {std::pair<const char*, std::string>{"disk.vhdx", bytes},
                                         {"dir/inner.vhdx", "inner"},
                                         {"plain.bin", "plain"}}) {
            std::ofstream(dir_ / name, std::ios::binary) << text;
        }
        volume_ = std::make_unique<host::Volume>(dir_);
    }
    void TearDown() override {
        volume_.reset();
        fs::remove_all(dir_);
        EXPECT_EQ(host::PoolOutstanding(), 0u) << "pool allocations leaked";
        EXPECT_EQ(host::OpenFileCount(), 0u) << "files left open";
    }

    // FltCreateFileEx as the tool calls it.
    NTSTATUS Open(const std::string& relative, Opened* file,
                  ACCESS_MASK access = GENERIC_READ | SYNCHRONIZE, ULONG disposition = FILE_OPEN,
                  ULONG options = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE) {
        std::u16string name = volume_->NtName(relative);
        UNICODE_STRING objectName;
        objectName.Buffer = name.data();
        objectName.Length = objectName.MaximumLength = (USHORT)(name.size() * 2);
        OBJECT_ATTRIBUTES attributes;
        InitializeObjectAttributes(&attributes, &objectName,
                                   OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
        IO_STATUS_BLOCK iosb = {};
        return FltCreateFileEx(nullptr, volume_->Instance(), &file->handle, &file->fileObject,
                               access, &attributes, &iosb, nullptr, FILE_ATTRIBUTE_NORMAL,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                               options, nullptr, 0, IO_STOP_ON_SYMLINK);
    }
    NTSTATUS Read(PFILE_OBJECT fileObject, LONGLONG at, ULONG length, void* buffer, ULONG* read) {
        LARGE_INTEGER offset;
        offset.QuadPart = at;
        return FltReadFile(nullptr, fileObject, &offset, length, buffer,
                           FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET, read, nullptr, nullptr);
    }

    fs::path dir_;
    std::unique_ptr<host::Volume> volume_;
};

TEST_F(Win32Files, NamesAnswerAsTheHostPlatform) {
    struct Case {
        const char* relative;  // '/'-separated, as NtName takes it
        NTSTATUS status;
        const char* begins;  // the first bytes of the file opened
    };
    for (const Case& c : {
             Case{"disk.vhdx", STATUS_SUCCESS, "\x03\x0A\x11\x18\x1F"},
             Case{"DISK.VHDX", STATUS_SUCCESS, "\x03\x0A\x11\x18\x1F"},
             Case{"dir/inner.vhdx", STATUS_SUCCESS, "inner"},
             Case{"plain.bin/", STATUS_SUCCESS, "plain"},
             Case{"none.vhdx", STATUS_OBJECT_NAME_NOT_FOUND, ""},
             Case{"none/inner.vhdx", STATUS_OBJECT_PATH_NOT_FOUND, ""},
             Case{"plain.bin/inner.vhdx", STATUS_OBJECT_PATH_NOT_FOUND, ""},
             Case{"dir", STATUS_FILE_IS_A_DIRECTORY, ""},
             Case{"", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"dir/../disk.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"./disk.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"dir//inner.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"disk.vhdx:data", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"d*.vhdx", STATUS_OBJECT_NAME_INVALID, ""},
             Case{"disk<vhdx", STATUS_OBJECT_NAME_INVALID, ""},
         }) {
        SCOPED_TRACE(c.relative);
        Opened file;
        ASSERT_EQ(Open(c.relative, &file), c.status);
        if (!NT_SUCCESS(c.status)) {
            EXPECT_EQ(file.handle, nullptr);
            EXPECT_EQ(file.fileObject, nullptr);
            continue;
        }
        char bytes[5] = {};
        ULONG read = 0;
        EXPECT_EQ(Read(file.fileObject, 0, 5, bytes, &read), STATUS_SUCCESS);
        EXPECT_EQ(std::string(bytes, read), c.begins);
    }
}

// The tool's layer serves reads only; a file held without sharing is a
// sharing violation.
TEST_F(Win32Files, RefusesWhatItDoesNotServe) {
    struct Case {
        const char* relative;
        ACCESS_MASK access;
        ULONG disposition, options;
    };
    constexpr ULONG kFile = FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE;
    for (const Case& c : {Case{"disk.vhdx", GENERIC_READ | GENERIC_WRITE, FILE_OPEN, kFile},
                          Case{"disk.vhdx", GENERIC_READ, FILE_OPEN_IF, kFile},
                          Case{"dir", GENERIC_READ, FILE_OPEN, FILE_DIRECTORY_FILE}}) {
        Opened file;
        EXPECT_EQ(Open(c.relative, &file, c.access, c.disposition, c.options),
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(file.handle, nullptr);
    }
    host::win32::FileHandle exclusive;
    ASSERT_EQ(host::win32::CreateNew(dir_ / "held.vhdx", &exclusive), 0u);
    Opened file;
    EXPECT_EQ(Open("held.vhdx", &file), STATUS_SHARING_VIOLATION);
    host::win32::Close(exclusive);
}

TEST_F(Win32Files, ReadsAnswerAsNtfs) {
    struct Case {
        LONGLONG offset;
        ULONG length;
        NTSTATUS status;
        ULONG count;
    };
    Opened file;
    ASSERT_EQ(Open("disk.vhdx", &file), STATUS_SUCCESS);
    for (const Case& c :
         {Case{100, 1000, STATUS_SUCCESS, 1000}, Case{9990, 100, STATUS_SUCCESS, 10},
          Case{0, 1 << 20, STATUS_SUCCESS, kFileSize}, Case{kFileSize, 1, STATUS_END_OF_FILE, 0},
          Case{(1LL << 32) + 100, 16, STATUS_END_OF_FILE, 0}, Case{kFileSize, 0, STATUS_SUCCESS, 0},
          Case{2 * kFileSize, 0, STATUS_SUCCESS, 0}, Case{-1, 16, STATUS_INVALID_PARAMETER, 0}}) {
        SCOPED_TRACE(testing::Message() << c.offset << "+" << c.length);
        std::vector<uint8_t> buffer(std::max<ULONG>(c.length, 1) + 16, 0xEE);
        ULONG read = 12345;
        EXPECT_EQ(Read(file.fileObject, c.offset, c.length, buffer.data(), &read), c.status);
        EXPECT_EQ(read, c.count);
        for (size_t i = 0; i < buffer.size(); i++) {
            ASSERT_EQ(buffer[i], i < c.count ? Pattern((uint64_t)c.offset + i) : 0xEE) << i;
        }
    }
    // An offset's high 32 bits reach the read: a mark just past 4 GiB (the
    // file sparse where the file system allows).
    std::fstream(dir_ / "plain.bin", std::ios::binary | std::ios::in | std::ios::out)
        .seekp((std::streamoff)(1ULL << 32) + 100)
        .write("mark", 4);
    Opened large;
    ASSERT_EQ(Open("plain.bin", &large), STATUS_SUCCESS);
    char bytes[8] = {};
    ULONG read = 0;
    EXPECT_EQ(Read(large.fileObject, (1LL << 32) + 100, 8, bytes, &read), STATUS_SUCCESS);
    EXPECT_EQ(std::string(bytes, read), "mark");
}

}  // namespace
