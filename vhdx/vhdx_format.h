// VHDX on-disk structures, as far as the driver reads them. All integers are
// little-endian; they are loaded byte by byte so the code is correct on any
// host and at any alignment. The packed structures document the layouts and
// pin their sizes; the code reads through the Load helpers, never through
// casts of file data.
#pragma once

#include "platform/platform.h"

#pragma pack(push, 1)

struct VHDX_GUID {
    UCHAR Bytes[16];  // Windows layout: Data1..3 little-endian, Data4 as written
};

struct VHDX_FILE_IDENTIFIER {
    ULONGLONG Signature;  // "vhdxfile"
    WCHAR Creator[256];
};

struct VHDX_HEADER {
    ULONG Signature;  // "head"
    ULONG Checksum;   // CRC-32C of the 4 KiB header, this field taken as zero
    // The rest of the 4 KiB is covered by the checksum but not read.
};

struct VHDX_REGION_TABLE_HEADER {
    ULONG Signature;  // "regi"
    ULONG Checksum;   // CRC-32C of the 64 KiB table, this field taken as zero
    ULONG EntryCount;
    ULONG Reserved;
};

struct VHDX_REGION_TABLE_ENTRY {
    VHDX_GUID Guid;
    ULONGLONG FileOffset;  // 0: the region is absent
    ULONG Length;
    ULONG Required;  // bit 0; not read
};

struct VHDX_METADATA_TABLE_HEADER {
    ULONGLONG Signature;  // "metadata"
    USHORT Reserved;
    USHORT EntryCount;
    UCHAR Reserved2[20];
};

struct VHDX_METADATA_TABLE_ENTRY {
    VHDX_GUID ItemId;
    ULONG Offset;  // of the value, from the start of the metadata region
    ULONG Length;  // not read
    ULONG Flags;   // not read
    ULONG Reserved;
};

struct VHDX_PARENT_LOCATOR_HEADER {
    VHDX_GUID LocatorType;
    USHORT Reserved;
    USHORT KeyValueCount;
};

struct VHDX_PARENT_LOCATOR_ENTRY {
    ULONG KeyOffset;    // from the start of the parent locator
    ULONG ValueOffset;  // from the start of the parent locator
    USHORT KeyLength;   // bytes of UTF-16LE, no NUL
    USHORT ValueLength;
};

#pragma pack(pop)

static_assert(sizeof(VHDX_GUID) == 16, "on-disk size");
static_assert(sizeof(VHDX_FILE_IDENTIFIER) == 520, "on-disk size");
static_assert(sizeof(VHDX_REGION_TABLE_HEADER) == 16, "on-disk size");
static_assert(sizeof(VHDX_REGION_TABLE_ENTRY) == 32, "on-disk size");
static_assert(sizeof(VHDX_METADATA_TABLE_HEADER) == 32, "on-disk size");
static_assert(sizeof(VHDX_METADATA_TABLE_ENTRY) == 32, "on-disk size");
static_assert(sizeof(VHDX_PARENT_LOCATOR_HEADER) == 20, "on-disk size");
static_assert(sizeof(VHDX_PARENT_LOCATOR_ENTRY) == 12, "on-disk size");

// Where things lie.
constexpr ULONG VHDX_HEADER_SECTION_SIZE = 0x100000;
constexpr ULONG VHDX_HEADER_OFFSET = 0x10000;
constexpr ULONG VHDX_HEADER_SIZE = 4096;
constexpr ULONG VHDX_REGION_TABLE_OFFSET = 0x30000;
constexpr ULONG VHDX_REGION_TABLE_SIZE = 0x10000;
constexpr ULONG VHDX_REGION_TABLE_MAX_ENTRIES =
    (VHDX_REGION_TABLE_SIZE - sizeof(VHDX_REGION_TABLE_HEADER)) / sizeof(VHDX_REGION_TABLE_ENTRY);
constexpr ULONG VHDX_CHECKSUM_FIELD_OFFSET = 4;
constexpr ULONG VHDX_SECTOR_BITMAP_BLOCK_SIZE = 0x100000;
constexpr ULONG VHDX_SECTORS_PER_BITMAP = 0x800000;  // 2^23 bits
constexpr ULONG VHDX_PARENT_PATH_CHARS = 1026;      // counting the NUL

// Reads take signed 64-bit offsets, and on Windows the two largest unsigned
// values mean "end of file" and "current position": nothing the file names
// may reach past this.
constexpr ULONGLONG VHDX_MAX_FILE_OFFSET = 0x7FFFFFFFFFFFFFFFULL;
inline BOOLEAN VhdxWithinFileOffsets(ULONGLONG Position, ULONGLONG Length) {
    return Length <= VHDX_MAX_FILE_OFFSET && Position <= VHDX_MAX_FILE_OFFSET - Length;
}

constexpr ULONGLONG VHDX_FILE_SIGNATURE = 0x656C696678646876ULL;      // "vhdxfile"
constexpr ULONG VHDX_HEADER_SIGNATURE = 0x64616568;                   // "head"
constexpr ULONG VHDX_REGION_TABLE_SIGNATURE = 0x69676572;             // "regi"
constexpr ULONGLONG VHDX_METADATA_SIGNATURE = 0x617461646174656DULL;  // "metadata"

// BAT entries.
constexpr ULONGLONG VHDX_BAT_STATE_MASK = 0x7;
constexpr ULONGLONG VHDX_BAT_FILE_OFFSET_MASK = ~0xFFFFFULL;
enum VHDX_PAYLOAD_STATE : ULONG {
    PAYLOAD_BLOCK_NOT_PRESENT = 0,
    PAYLOAD_BLOCK_UNDEFINED = 1,
    PAYLOAD_BLOCK_ZERO = 2,
    PAYLOAD_BLOCK_UNMAPPED = 3,
    PAYLOAD_BLOCK_FULLY_PRESENT = 6,
    PAYLOAD_BLOCK_PARTIALLY_PRESENT = 7,
};
constexpr ULONG SB_BLOCK_PRESENT = 6;

constexpr ULONG VHDX_FILE_PARAMETERS_HAS_PARENT = 0x2;

// Little-endian loads from byte buffers.
inline USHORT VhdxLoad16(const UCHAR* p) { return (USHORT)(p[0] | (p[1] << 8)); }
inline ULONG VhdxLoad32(const UCHAR* p) {
    return (ULONG)p[0] | ((ULONG)p[1] << 8) | ((ULONG)p[2] << 16) | ((ULONG)p[3] << 24);
}
inline ULONGLONG VhdxLoad64(const UCHAR* p) {
    return (ULONGLONG)VhdxLoad32(p) | ((ULONGLONG)VhdxLoad32(p + 4) << 32);
}
inline void VhdxStore32(UCHAR* p, ULONG v) {
    p[0] = (UCHAR)v;
    p[1] = (UCHAR)(v >> 8);
    p[2] = (UCHAR)(v >> 16);
    p[3] = (UCHAR)(v >> 24);
}

// A GUID constant written as it reads: {d1-d2-d3-d4[0..1]-d4[2..7]}.
constexpr VHDX_GUID VhdxMakeGuid(ULONG d1, USHORT d2, USHORT d3, ULONGLONG d4) {
    return VHDX_GUID{{(UCHAR)d1, (UCHAR)(d1 >> 8), (UCHAR)(d1 >> 16), (UCHAR)(d1 >> 24),
                      (UCHAR)d2, (UCHAR)(d2 >> 8), (UCHAR)d3, (UCHAR)(d3 >> 8),
                      (UCHAR)(d4 >> 56), (UCHAR)(d4 >> 48), (UCHAR)(d4 >> 40), (UCHAR)(d4 >> 32),
                      (UCHAR)(d4 >> 24), (UCHAR)(d4 >> 16), (UCHAR)(d4 >> 8), (UCHAR)d4}};
}

// Two GUIDs match only when all 16 bytes are equal.
inline BOOLEAN VhdxGuidEqual(const UCHAR* bytes, const VHDX_GUID& guid) {
    return RtlCompareMemory(bytes, guid.Bytes, sizeof(guid.Bytes)) == sizeof(guid.Bytes);
}

constexpr VHDX_GUID VHDX_BAT_REGION_GUID =
    VhdxMakeGuid(0x2DC27766, 0xF623, 0x4200, 0x9D64115E9BFD4A08ULL);
constexpr VHDX_GUID VHDX_METADATA_REGION_GUID =
    VhdxMakeGuid(0x8B7CA206, 0x4790, 0x4B9A, 0xB8FE575F050F886EULL);
constexpr VHDX_GUID VHDX_FILE_PARAMETERS_GUID =
    VhdxMakeGuid(0xCAA16737, 0xFA36, 0x4D43, 0xB3B633F0AA44E76BULL);
constexpr VHDX_GUID VHDX_VIRTUAL_DISK_SIZE_GUID =
    VhdxMakeGuid(0x2FA54224, 0xCD1B, 0x4876, 0xB2115DBED83BF4B8ULL);
constexpr VHDX_GUID VHDX_LOGICAL_SECTOR_SIZE_GUID =
    VhdxMakeGuid(0x8141BF1D, 0xA96F, 0x4709, 0xBA47F233A8FAAB5FULL);
constexpr VHDX_GUID VHDX_PHYSICAL_SECTOR_SIZE_GUID =
    VhdxMakeGuid(0xCDA348C7, 0x445D, 0x4471, 0x9CC9E9885251C556ULL);
constexpr VHDX_GUID VHDX_PARENT_LOCATOR_GUID =
    VhdxMakeGuid(0xA8D35F2D, 0xB30B, 0x454D, 0xABF7D3D84834AB0CULL);
constexpr VHDX_GUID VHDX_PARENT_LOCATOR_TYPE_GUID =
    VhdxMakeGuid(0xB04AEFB7, 0xD19E, 0x4A81, 0xB78925B8E9445913ULL);
