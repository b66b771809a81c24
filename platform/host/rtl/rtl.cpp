// Counted strings, memory and bitmaps. Strings are read byte-wise, so a
// string lying at an odd offset of an image buffer is read correctly.
#include <cstring>

#include "platform/host/faults/internal.h"
#include "platform/host/ke/internal.h"
#include "platform/host/rtl/internal.h"
#include "platform/host/rtl/rtl.h"

namespace host {

char16_t Upcase(char16_t c) {
    if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) {
        return (char16_t)(c - 32);
    }
    return c;
}

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
        WCHAR a = host::rtl::CharAt(String1, i), b = host::rtl::CharAt(String2, i);
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
    host::faults::CheckAccess(Destination, Length);
    if (Length != 0) {
        std::memmove(Destination, Source, Length);
    }
}

VOID NTAPI RtlZeroMemory(VOID* Destination, SIZE_T Length) {
    host::faults::CheckAccess(Destination, Length);
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
        host::ke::BugCheck("RtlTestBit: bit " + std::to_string(BitNumber) + " beyond a bitmap of " +
                           std::to_string(BitMapHeader->SizeOfBitMap));
        return FALSE;
    }
    const unsigned char byte = ((const unsigned char*)BitMapHeader->Buffer)[BitNumber / 8];
    return (byte >> (BitNumber % 8)) & 1;
}

}  // extern "C"
