// Status names and text conversions for tools and tests.
#include <cstdio>
#include <cstring>

#include "platform/host/rtl/rtl.h"

namespace host {

std::string StatusName(NTSTATUS status) {
    struct Name {
        NTSTATUS status;
        const char* name;
    };
    static const Name kNames[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_PENDING, "STATUS_PENDING"},
        {STATUS_BUFFER_OVERFLOW, "STATUS_BUFFER_OVERFLOW"},
        {STATUS_STOPPED_ON_SYMLINK, "STATUS_STOPPED_ON_SYMLINK"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_NOT_IMPLEMENTED, "STATUS_NOT_IMPLEMENTED"},
        {STATUS_INVALID_HANDLE, "STATUS_INVALID_HANDLE"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_NO_SUCH_FILE, "STATUS_NO_SUCH_FILE"},
        {STATUS_INVALID_DEVICE_REQUEST, "STATUS_INVALID_DEVICE_REQUEST"},
        {STATUS_END_OF_FILE, "STATUS_END_OF_FILE"},
        {STATUS_UNRECOGNIZED_MEDIA, "STATUS_UNRECOGNIZED_MEDIA"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_OBJECT_NAME_INVALID, "STATUS_OBJECT_NAME_INVALID"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_PATH_INVALID, "STATUS_OBJECT_PATH_INVALID"},
        {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {STATUS_OBJECT_PATH_SYNTAX_BAD, "STATUS_OBJECT_PATH_SYNTAX_BAD"},
        {STATUS_SHARING_VIOLATION, "STATUS_SHARING_VIOLATION"},
        {STATUS_UNKNOWN_REVISION, "STATUS_UNKNOWN_REVISION"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_DEVICE_NOT_READY, "STATUS_DEVICE_NOT_READY"},
        {STATUS_FILE_IS_A_DIRECTORY, "STATUS_FILE_IS_A_DIRECTORY"},
        {STATUS_NOT_SUPPORTED, "STATUS_NOT_SUPPORTED"},
        {STATUS_IO_DEVICE_ERROR, "STATUS_IO_DEVICE_ERROR"},
        {STATUS_NOT_A_DIRECTORY, "STATUS_NOT_A_DIRECTORY"},
        {STATUS_CANCELLED, "STATUS_CANCELLED"},
        {STATUS_NOT_FOUND, "STATUS_NOT_FOUND"},
        {STATUS_ACCESS_VIOLATION, "STATUS_ACCESS_VIOLATION"},
        {STATUS_FLT_CONTEXT_ALREADY_DEFINED, "STATUS_FLT_CONTEXT_ALREADY_DEFINED"},
        {STATUS_FLT_DO_NOT_ATTACH, "STATUS_FLT_DO_NOT_ATTACH"},
        {STATUS_FLT_DO_NOT_DETACH, "STATUS_FLT_DO_NOT_DETACH"},
        {STATUS_INVALID_INFO_CLASS, "STATUS_INVALID_INFO_CLASS"},
        {STATUS_INFO_LENGTH_MISMATCH, "STATUS_INFO_LENGTH_MISMATCH"},
        {STATUS_OBJECT_TYPE_MISMATCH, "STATUS_OBJECT_TYPE_MISMATCH"},
        {STATUS_OBJECT_NAME_COLLISION, "STATUS_OBJECT_NAME_COLLISION"},
        {STATUS_MUTANT_NOT_OWNED, "STATUS_MUTANT_NOT_OWNED"},
        {STATUS_DELETE_PENDING, "STATUS_DELETE_PENDING"},
        {STATUS_DISK_FULL, "STATUS_DISK_FULL"},
        {STATUS_INVALID_USER_BUFFER, "STATUS_INVALID_USER_BUFFER"},
        {STATUS_FILE_CLOSED, "STATUS_FILE_CLOSED"},
        {STATUS_INVALID_DEVICE_STATE, "STATUS_INVALID_DEVICE_STATE"},
        {STATUS_TIMEOUT, "STATUS_TIMEOUT"},
        {STATUS_FLT_DISALLOW_FAST_IO, "STATUS_FLT_DISALLOW_FAST_IO"},
        {STATUS_FLT_NOT_INITIALIZED, "STATUS_FLT_NOT_INITIALIZED"},
        {STATUS_FLT_DELETING_OBJECT, "STATUS_FLT_DELETING_OBJECT"},
        {STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND, "STATUS_FLT_CONTEXT_ALLOCATION_NOT_FOUND"},
        {STATUS_FLT_INVALID_CONTEXT_REGISTRATION, "STATUS_FLT_INVALID_CONTEXT_REGISTRATION"},
        {STATUS_FLT_CONTEXT_ALREADY_LINKED, "STATUS_FLT_CONTEXT_ALREADY_LINKED"},
    };
    for (const Name& n : kNames) {
        if (n.status == status) {
            return n.name;
        }
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", (unsigned)status);
    return text;
}

std::u16string Utf16(std::string_view utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = utf8[i];
        char32_t cp;
        size_t n;
        if (c < 0x80) {
            cp = c, n = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F, n = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F, n = 3;
        } else if ((c >> 3) == 30) {
            cp = c & 0x07, n = 4;
        } else {
            cp = 0xFFFD, n = 1;
        }
        if (i + n > utf8.size()) {
            cp = 0xFFFD, n = utf8.size() - i;
        } else {
            for (size_t k = 1; k < n; k++) {
                cp = (cp << 6) | (utf8[i + k] & 0x3F);
            }
        }
        i += n;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += (char16_t)(0xD800 + (cp >> 10));
            out += (char16_t)(0xDC00 + (cp & 0x3FF));
        } else {
            out += (char16_t)cp;
        }
    }
    return out;
}

std::string Utf8(std::u16string_view utf16) {
    std::string out;
    for (size_t i = 0; i < utf16.size(); i++) {
        char32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
            utf16[i + 1] < 0xE000) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// Reads the units byte-wise: the string may lie at any alignment.
std::string Utf8(PCUNICODE_STRING s) {
    std::u16string units(s->Length / 2, u'\0');
    if (!units.empty()) {
        std::memcpy(units.data(), s->Buffer, units.size() * 2);
    }
    return Utf8(units);
}

}  // namespace host
