// The NT-name rules every file layer shares.
#include <algorithm>

#include "platform/host/fs/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host::fs {
namespace {

// Characters no NTFS file name holds (besides the separator): the
// wildcards, the stream separator, the quote and the pipe, and the controls.
bool InvalidInName(char16_t c) {
    constexpr std::u16string_view kInvalid = u"\"*/:<>?|";
    return c < 0x20 || kInvalid.find(c) != std::u16string_view::npos;
}

}  // namespace

bool EqualNoCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return Upcase(x) == Upcase(y); });
}

NTSTATUS SplitName(std::u16string_view path, std::vector<std::u16string>* components) {
    constexpr std::u16string_view kDefaultStream = u"::$DATA";
    size_t at = 0;
    while (at < path.size()) {
        if (path[at] != u'\\') {
            return STATUS_OBJECT_NAME_INVALID;
        }
        const size_t end = std::min(path.find(u'\\', at + 1), path.size());
        std::u16string_view component = path.substr(at + 1, end - at - 1);
        const bool last = end == path.size();
        if (component.empty() && last && !components->empty()) {
            break;
        }
        if (last && component.size() > kDefaultStream.size() &&
            EqualNoCase(component.substr(component.size() - kDefaultStream.size()),
                        kDefaultStream)) {
            component.remove_suffix(kDefaultStream.size());
        }
        if (component.empty() || component == u"." || component == u".." ||
            std::any_of(component.begin(), component.end(), InvalidInName)) {
            return STATUS_OBJECT_NAME_INVALID;
        }
        components->emplace_back(component);
        at = end;
    }
    return STATUS_SUCCESS;
}

Disposition Decide(const OpenRequest& p, bool exists, bool directory, bool readOnly) {
    Disposition d;
    const bool wantsWrite = p.access & (FILE_WRITE_DATA | FILE_APPEND_DATA);
    if (!exists) {
        if (p.disposition == FILE_OPEN || p.disposition == FILE_OVERWRITE) {
            d.status = STATUS_OBJECT_NAME_NOT_FOUND;
        }
        d.writable = !(p.options & FILE_DIRECTORY_FILE);
        d.information = FILE_CREATED;
        return d;
    }
    d.overwrite = p.disposition == FILE_OVERWRITE || p.disposition == FILE_OVERWRITE_IF ||
                  p.disposition == FILE_SUPERSEDE;
    if (p.disposition == FILE_CREATE) {
        d.status = STATUS_OBJECT_NAME_COLLISION;
    } else if (directory && (p.options & FILE_NON_DIRECTORY_FILE)) {
        d.status = STATUS_FILE_IS_A_DIRECTORY;
    } else if (!directory && (p.options & FILE_DIRECTORY_FILE)) {
        d.status = STATUS_NOT_A_DIRECTORY;
    } else if (directory && d.overwrite) {
        d.status = STATUS_INVALID_PARAMETER;
    } else if (!directory && (wantsWrite || d.overwrite) && readOnly) {
        // A read-only file refuses writers, whoever the host user is.
        d.status = STATUS_ACCESS_DENIED;
    }
    d.writable = !directory && (wantsWrite || d.overwrite);
    d.information = p.disposition == FILE_SUPERSEDE ? FILE_SUPERSEDED
                    : d.overwrite                   ? FILE_OVERWRITTEN
                                                    : FILE_OPENED;
    return d;
}

}  // namespace host::fs
