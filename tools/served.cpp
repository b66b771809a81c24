#include "tools/served.h"

#include "filter/filter.h"
#include "stub/stub.h"

namespace tool {

FilterStack::FilterStack(const std::filesystem::path& root, LogPolicy logs) : root_(root) {
    if (logs.replay) {
        auto layer =
            std::make_unique<ReplayedLayer>(host::fs::NewHostLayer(root), std::move(logs.notify));
        logs_ = layer.get();
        volume_ = std::make_unique<host::Volume>(std::move(layer), root);
    } else {
        volume_ = std::make_unique<host::Volume>(root);
    }
    std::string error;
    driver_ = host::ServingDriver::Load(DriverEntry, &error);
    if (driver_ == nullptr) {
        volume_.reset();
        throw ToolError{"driver", error};
    }
}

FilterStack::~FilterStack() {
    driver_.reset();
    volume_.reset();
}

ULONG CreateOptionsFor(FileIo io) {
    return FILE_NON_DIRECTORY_FILE | (io == FileIo::Synchronous ? FILE_SYNCHRONOUS_IO_NONALERT : 0);
}

host::IoResult FilterStack::Open(const std::string& relative, ACCESS_MASK access,
                                 host::Handle* handle, FileIo io) {
    host::CreateRequest request;
    request.name = volume_->NtName(relative);
    request.desiredAccess = access;
    request.createOptions = CreateOptionsFor(io);
    return host::Create(request, handle);
}

const OptionSpec kIgnoreLogOption = {
    0, "ignore-log", nullptr,
    "serve images whose log was not replayed as they stand, stale, as the driver does on Windows"};

OpenedStub::OpenedStub(const std::string& path, const ParsedArgs& args) : path_(path) {
    const bool verbose = args.Verbose();
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(path, error).lexically_normal();
    if (!std::filesystem::exists(absolute, error)) {
        throw ToolError{path, ErrnoText(ENOENT)};
    }
    // The binding runs on this thread: the notices come while the open binds.
    stack_ = std::make_unique<FilterStack>(
        absolute.parent_path(),
        LogPolicy{!args.Flag("ignore-log"),
                  [this](const LogNotice& notice) { logNotices_.push_back(notice); }});
    host::IoResult result;
    {
        host::DebugCapture capture;
        result = stack_->Open(absolute.filename().string(), GENERIC_READ | SYNCHRONIZE, &handle_);
        for (const std::string& text : capture.Texts()) {
            if (verbose) {
                std::fputs(text.c_str(), stderr);
            }
            const size_t begin = text.find("[PONTOR] ");
            if (begin != std::string::npos) {
                driverLines_.push_back(
                    text.substr(begin + 9, text.find_last_not_of("\r\n") - begin - 8));
            }
        }
    }
    if (!args.Flag("json")) {
        for (const LogNotice& notice : logNotices_) {
            std::fprintf(stderr, "%s\n", NoticeLine(notice, Shown(notice)).c_str());
        }
    }
    if (!NT_SUCCESS(result.status)) {
        throw ToolError{path, "cannot open", result.status};
    }
}

std::string OpenedStub::Shown(const LogNotice& notice) const {
    return (std::filesystem::path(path_).parent_path() / notice.image).string();
}

OpenedStub::~OpenedStub() {
    handle_.Close();
    stack_.reset();
}

void OpenedStub::RequireBound() {
    const HeaderReply reply = QueryStubHeader(handle_);
    if (NT_SUCCESS(reply.status)) {
        return;
    }
    if (reply.status == STATUS_NOT_FOUND) {
        throw ToolError{path_, "not a stub (no vmdk extension, or shorter than 2048 bytes)",
                        reply.status};
    }
    // The driver says why it did not bind in its own words: its first
    // complaint is the innermost. A wrong signature it refuses silently.
    std::string why = "the stub is not bound to an image";
    std::string complaint;
    for (const std::string& line : driverLines_) {
        const bool informational = line.find("Initializing VMDK file") != std::string::npos ||
                                   line.find("BlockSize = ") != std::string::npos ||
                                   line.find("(BAT) at offset") != std::string::npos ||
                                   line.find(": Key ") != std::string::npos;
        if (!informational) {
            complaint = line;
            break;
        }
    }
    why += complaint.empty() ? " (it has no stub signature)" : ": " + complaint;
    if (complaint.find("nested differencing") != std::string::npos) {
        why += std::string(" ") + kFlattenHint;
    }
    throw ToolError{path_, why, reply.status};
}

uint64_t OpenedStub::EndOfFile() {
    uint64_t size = 0;
    const NTSTATUS status = QueryEndOfFile(handle_, &size);
    if (!NT_SUCCESS(status)) {
        throw ToolError{path_, "size query failed", status};
    }
    return size;
}

HeaderReply QueryStubHeader(const host::Handle& handle) {
    HeaderReply reply;
    reply.bytes.resize(PONTOR_STUB_HEADER_SIZE);
    host::FsControlRequest request;
    request.code = FSCTL_GET_STUB_HEADER;
    request.output = reply.bytes.data();
    request.outputLength = (ULONG)reply.bytes.size();
    const host::IoResult result = host::FileSystemControl(handle, request);
    reply.status = result.status;
    reply.bytes.resize(
        NT_SUCCESS(result.status) ? std::min<size_t>(result.information, reply.bytes.size()) : 0);
    return reply;
}

NTSTATUS QueryEndOfFile(const host::Handle& handle, uint64_t* endOfFile) {
    FILE_STANDARD_INFORMATION info = {};
    const host::IoResult result =
        host::QueryInformation(handle, FileStandardInformation, &info, sizeof info);
    if (NT_SUCCESS(result.status)) {
        *endOfFile = (uint64_t)info.EndOfFile.QuadPart;
    }
    return result.status;
}

int ErrnoOf(NTSTATUS status) {
    switch (status) {
        case STATUS_SUCCESS: return 0;
        case STATUS_ACCESS_DENIED: return EACCES;
        case STATUS_NO_SUCH_FILE:
        case STATUS_OBJECT_NAME_NOT_FOUND:
        case STATUS_OBJECT_PATH_NOT_FOUND: return ENOENT;
        case STATUS_OBJECT_NAME_INVALID:
        case STATUS_OBJECT_PATH_INVALID:
        case STATUS_OBJECT_PATH_SYNTAX_BAD:
        case STATUS_INVALID_PARAMETER: return EINVAL;
        case STATUS_OBJECT_NAME_COLLISION: return EEXIST;
        case STATUS_SHARING_VIOLATION: return EBUSY;
        case STATUS_FILE_IS_A_DIRECTORY: return EISDIR;
        case STATUS_NOT_A_DIRECTORY: return ENOTDIR;
        case STATUS_STOPPED_ON_SYMLINK: return ELOOP;
        case STATUS_INSUFFICIENT_RESOURCES: return ENOMEM;
        case STATUS_DISK_FULL: return ENOSPC;
        case STATUS_CANCELLED: return EINTR;
        case STATUS_NOT_IMPLEMENTED:
        case STATUS_NOT_SUPPORTED: return EOPNOTSUPP;
        case STATUS_NOT_FOUND:  // the header query on a file that is no stub
        case STATUS_INVALID_DEVICE_REQUEST: return ENOTTY;
        case STATUS_DEVICE_NOT_READY: return ENODATA;  // the header query on an unbound stub
        default: return EIO;  // STATUS_UNRECOGNIZED_MEDIA, STATUS_UNSUCCESSFUL, ...
    }
}

}  // namespace tool
