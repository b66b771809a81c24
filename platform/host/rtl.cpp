// Counted strings, memory and bitmaps. Strings are read byte-wise, so a
// string lying at an odd offset of an image buffer is read correctly.
#include <atomic>
#include <cstring>

#include "platform/host/internal.h"

namespace host {
namespace {

std::atomic<const char*> gFaultBegin{nullptr};
std::atomic<size_t> gFaultLength{0};

WCHAR CharAt(PCUNICODE_STRING s, size_t i) {
    WCHAR c;
    std::memcpy(&c, (const char*)s->Buffer + 2 * i, 2);
    return c;
}

WCHAR Upcase(WCHAR c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return (WCHAR)(c - 32);
    }
    return c;
}

}  // namespace

void ArmAccessFault(const void* begin, size_t length) {
    gFaultLength = 0;
    gFaultBegin = (const char*)begin;
    gFaultLength = length;
}

namespace detail {

void CheckAccess(const void* destination, size_t length) {
    const size_t armed = gFaultLength.load();
    const char* begin = gFaultBegin.load();
    const char* d = (const char*)destination;
    if (armed != 0 && length != 0 && d < begin + armed && begin < d + length) {
        throw AccessViolation{d < begin ? begin : d};
    }
}

}  // namespace detail
}  // namespace host

extern "C" {

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    size_t length = 0;
    if (SourceString != nullptr) {
        while (SourceString[length] != 0) {
            length++;
        }
    }
    DestinationString->Buffer = (PWCH)SourceString;
    DestinationString->Length = (USHORT)(length * 2);
    DestinationString->MaximumLength = SourceString ? (USHORT)(length * 2 + 2) : 0;
}

VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength
                   ? SourceString->Length
                   : DestinationString->MaximumLength;
    n &= ~1u;
    if (n != 0) {
        std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    }
    DestinationString->Length = n;
    // Windows terminates the copy when there is room for a NUL.
    if (n + 2 <= DestinationString->MaximumLength) {
        std::memset((char*)DestinationString->Buffer + n, 0, 2);
    }
}

LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive) {
    const size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    const size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; i++) {
        WCHAR a = host::CharAt(String1, i), b = host::CharAt(String2, i);
        if (CaseInSensitive) {
            a = host::Upcase(a);
            b = host::Upcase(b);
        }
        if (a != b) {
            return (LONG)a - (LONG)b;
        }
    }
    return (LONG)String1->Length - (LONG)String2->Length;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    const unsigned char* a = (const unsigned char*)Source1;
    const unsigned char* b = (const unsigned char*)Source2;
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) {
        i++;
    }
    return i;
}

VOID NTAPI RtlCopyMemory(VOID* Destination, const VOID* Source, SIZE_T Length) {
    host::detail::CheckAccess(Destination, Length);
    if (Length != 0) {
        std::memmove(Destination, Source, Length);
    }
}

VOID NTAPI RtlZeroMemory(VOID* Destination, SIZE_T Length) {
    host::detail::CheckAccess(Destination, Length);
    if (Length != 0) {
        std::memset(Destination, 0, Length);
    }
}

VOID NTAPI RtlInitializeBitMap(PRTL_BITMAP BitMapHeader, PULONG BitMapBuffer, ULONG SizeOfBitMap) {
    BitMapHeader->SizeOfBitMap = SizeOfBitMap;
    BitMapHeader->Buffer = BitMapBuffer;
}

BOOLEAN NTAPI RtlTestBit(PRTL_BITMAP BitMapHeader, ULONG BitNumber) {
    if (BitNumber >= BitMapHeader->SizeOfBitMap) {
        host::detail::BugCheck("RtlTestBit: bit " + std::to_string(BitNumber) +
                               " beyond a bitmap of " +
                               std::to_string(BitMapHeader->SizeOfBitMap));
        return FALSE;
    }
    const unsigned char byte = ((const unsigned char*)BitMapHeader->Buffer)[BitNumber / 8];
    return (byte >> (BitNumber % 8)) & 1;
}

NTSTATUS FLTAPI FltParseFileName(PCUNICODE_STRING FileName, PUNICODE_STRING Extension,
                                 PUNICODE_STRING Stream, PUNICODE_STRING FinalComponent) {
    if (FileName == nullptr || (FileName->Length & 1) ||
        FileName->Length > FileName->MaximumLength ||
        (FileName->Buffer == nullptr && FileName->Length != 0)) {
        return STATUS_INVALID_PARAMETER;
    }
    if (FileName->Length == 0) {
        return STATUS_OBJECT_NAME_INVALID;
    }
    const size_t n = FileName->Length / 2;
    size_t final = 0;
    for (size_t i = 0; i < n; i++) {
        if (host::CharAt(FileName, i) == u'\\') {
            final = i + 1;
        }
    }
    size_t stream = n;
    for (size_t i = final; i < n; i++) {
        if (host::CharAt(FileName, i) == u':') {
            stream = i;
            break;
        }
    }
    size_t extension = stream;
    for (size_t i = final; i < stream; i++) {
        if (host::CharAt(FileName, i) == u'.') {
            extension = i + 1;
        }
    }
    auto set = [&](PUNICODE_STRING out, size_t begin, size_t end) {
        if (out == nullptr) {
            return;
        }
        if (begin >= end) {
            out->Buffer = nullptr;
            out->Length = out->MaximumLength = 0;
            return;
        }
        out->Buffer = (PWCH)((char*)FileName->Buffer + 2 * begin);
        out->Length = out->MaximumLength = (USHORT)(2 * (end - begin));
    };
    set(Extension, extension, stream);
    set(Stream, stream, n);
    set(FinalComponent, final, n);
    return STATUS_SUCCESS;
}

}  // extern "C"
