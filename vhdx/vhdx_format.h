// VHDX on-disk structures, as far as the driver and the tool read them. All
// integers are little-endian. Each structure has one load function
// (format.cpp), declared below it: it copies the structure's bytes from file
// data at any alignment (Bytes holds at least the structure's size) and
// imports every field into host order, so that code reads fields by name,
// never at offsets of its own.
#pragma once

#include <stddef.h>

#include "platform/platform.h"

#pragma pack(push, 1)

struct VHDX_GUID {
    UCHAR Bytes[16];  // Windows layout: Data1..3 little-endian, Data4 as written
};

struct VHDX_FILE_IDENTIFIER {
    ULONGLONG Signature;  // "vhdxfile"
    WCHAR Creator[256];
};
VOID VhdxLoadFileIdentifier(const UCHAR* Bytes, VHDX_FILE_IDENTIFIER* Identifier);

// The fields of the 4 KiB header; the rest of it is reserved, covered by
// the checksum and not read.
struct VHDX_HEADER {
    ULONG Signature;  // "head"
    ULONG Checksum;   // CRC-32C of the 4 KiB header, this field taken as zero
    ULONGLONG SequenceNumber;
    VHDX_GUID FileWriteGuid;
    VHDX_GUID DataWriteGuid;
    VHDX_GUID LogGuid;
    USHORT LogVersion;
    USHORT Version;
    ULONG LogLength;
    ULONGLONG LogOffset;
};
VOID VhdxLoadHeader(const UCHAR* Bytes, VHDX_HEADER* Header);

struct VHDX_REGION_TABLE_HEADER {
    ULONG Signature;  // "regi"
    ULONG Checksum;   // CRC-32C of the 64 KiB table, this field taken as zero
    ULONG EntryCount;
    ULONG Reserved;
};
VOID VhdxLoadRegionTableHeader(const UCHAR* Bytes, VHDX_REGION_TABLE_HEADER* Header);

struct VHDX_REGION_TABLE_ENTRY {
    VHDX_GUID Guid;
    ULONGLONG FileOffset;  // 0: the region is absent
    ULONG Length;
    ULONG Required;  // bit 0; not read
};
VOID VhdxLoadRegionTableEntry(const UCHAR* Bytes, VHDX_REGION_TABLE_ENTRY* Entry);

struct VHDX_METADATA_TABLE_HEADER {
    ULONGLONG Signature;  // "metadata"
    USHORT Reserved;
    USHORT EntryCount;
    UCHAR Reserved2[20];
};
VOID VhdxLoadMetadataTableHeader(const UCHAR* Bytes, VHDX_METADATA_TABLE_HEADER* Header);

struct VHDX_METADATA_TABLE_ENTRY {
    VHDX_GUID ItemId;
    ULONG Offset;  // of the value, from the start of the metadata region
    ULONG Length;  // not read
    ULONG Flags;   // not read
    ULONG Reserved;
};
VOID VhdxLoadMetadataTableEntry(const UCHAR* Bytes, VHDX_METADATA_TABLE_ENTRY* Entry);

// The values of the metadata items the driver reads.
struct VHDX_FILE_PARAMETERS {
    ULONG BlockSize;
    ULONG Flags;  // bit 1: the image has a parent
};
VOID VhdxLoadFileParameters(const UCHAR* Bytes, VHDX_FILE_PARAMETERS* Parameters);

struct VHDX_VIRTUAL_DISK_SIZE {
    ULONGLONG VirtualDiskSize;
};
VOID VhdxLoadVirtualDiskSize(const UCHAR* Bytes, VHDX_VIRTUAL_DISK_SIZE* Size);

struct VHDX_SECTOR_SIZE {  // the logical and the physical sector size items
    ULONG SectorSize;
};
VOID VhdxLoadSectorSize(const UCHAR* Bytes, VHDX_SECTOR_SIZE* Size);

struct VHDX_PARENT_LOCATOR_HEADER {
    VHDX_GUID LocatorType;
    USHORT Reserved;
    USHORT KeyValueCount;
};
VOID VhdxLoadParentLocatorHeader(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_HEADER* Header);

struct VHDX_PARENT_LOCATOR_ENTRY {
    ULONG KeyOffset;    // from the start of the parent locator
    ULONG ValueOffset;  // from the start of the parent locator
    USHORT KeyLength;   // bytes of UTF-16LE, no NUL
    USHORT ValueLength;
};
VOID VhdxLoadParentLocatorEntry(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_ENTRY* Entry);

// The log: a circular run of 4 KiB sectors holding entries. An entry is its
// header and descriptors, padded to whole sectors, then one data sector per
// data descriptor.
struct VHDX_LOG_ENTRY_HEADER {
    ULONG Signature;              // "loge"
    ULONG Checksum;               // CRC-32C of the whole entry, this field taken as zero
    ULONG EntryLength;            // a non-zero multiple of 4 KiB
    ULONG Tail;                   // log offset of the sequence's first entry; 4 KiB aligned
    ULONGLONG SequenceNumber;     // non-zero, one more than the entry before it
    ULONG DescriptorCount;        // zero and data descriptors together
    ULONG Reserved;               // zero
    VHDX_GUID LogGuid;            // the header's LogGuid, else the entry is of another log
    ULONGLONG FlushedFileOffset;  // file size when written; a multiple of 1 MiB
    ULONGLONG LastFileOffset;     // the size the file must have; a multiple of 1 MiB
};
VOID VhdxLoadLogEntryHeader(const UCHAR* Bytes, VHDX_LOG_ENTRY_HEADER* Header);

// Zeros ZeroLength bytes of the file at FileOffset.
struct VHDX_LOG_ZERO_DESCRIPTOR {
    ULONG Signature;           // "zero"
    ULONG Reserved;            // zero
    ULONGLONG ZeroLength;      // a multiple of 4 KiB
    ULONGLONG FileOffset;      // 4 KiB aligned
    ULONGLONG SequenceNumber;  // the entry's
};
VOID VhdxLoadLogZeroDescriptor(const UCHAR* Bytes, VHDX_LOG_ZERO_DESCRIPTOR* Descriptor);

// Writes the 4 KiB at FileOffset from the entry's next data sector, whose
// first 8 and last 4 bytes the sector itself gives over to its signature
// and sequence number: they are kept here, as bytes.
struct VHDX_LOG_DATA_DESCRIPTOR {
    ULONG Signature;           // "desc"
    UCHAR TrailingBytes[4];    // the sector's last 4 bytes
    UCHAR LeadingBytes[8];     // the sector's first 8 bytes
    ULONGLONG FileOffset;      // 4 KiB aligned
    ULONGLONG SequenceNumber;  // the entry's
};
VOID VhdxLoadLogDataDescriptor(const UCHAR* Bytes, VHDX_LOG_DATA_DESCRIPTOR* Descriptor);

struct VHDX_LOG_DATA_SECTOR {
    ULONG Signature;     // "data"
    ULONG SequenceHigh;  // the entry's sequence number, high 32 bits
    UCHAR Data[4084];    // the update's bytes 8 to 4091
    ULONG SequenceLow;   // low 32 bits
};
VOID VhdxLoadLogDataSector(const UCHAR* Bytes, VHDX_LOG_DATA_SECTOR* Sector);

#pragma pack(pop)

static_assert(sizeof(VHDX_GUID) == 16, "on-disk size");
static_assert(sizeof(VHDX_FILE_IDENTIFIER) == 520, "on-disk size");
static_assert(sizeof(VHDX_HEADER) == 80, "on-disk size of the fields");
static_assert(sizeof(VHDX_REGION_TABLE_HEADER) == 16, "on-disk size");
static_assert(sizeof(VHDX_REGION_TABLE_ENTRY) == 32, "on-disk size");
static_assert(sizeof(VHDX_METADATA_TABLE_HEADER) == 32, "on-disk size");
static_assert(sizeof(VHDX_METADATA_TABLE_ENTRY) == 32, "on-disk size");
static_assert(sizeof(VHDX_FILE_PARAMETERS) == 8, "on-disk size");
static_assert(sizeof(VHDX_VIRTUAL_DISK_SIZE) == 8, "on-disk size");
static_assert(sizeof(VHDX_SECTOR_SIZE) == 4, "on-disk size");
static_assert(sizeof(VHDX_PARENT_LOCATOR_HEADER) == 20, "on-disk size");
static_assert(sizeof(VHDX_PARENT_LOCATOR_ENTRY) == 12, "on-disk size");
static_assert(sizeof(VHDX_LOG_ENTRY_HEADER) == 64, "on-disk size");
static_assert(sizeof(VHDX_LOG_ZERO_DESCRIPTOR) == 32, "on-disk size");
static_assert(sizeof(VHDX_LOG_DATA_DESCRIPTOR) == 32, "on-disk size");
static_assert(sizeof(VHDX_LOG_DATA_SECTOR) == 4096, "on-disk size");

// Where things lie.
constexpr ULONG VHDX_HEADER_SECTION_SIZE = 0x100000;
constexpr ULONG VHDX_HEADER_OFFSET = 0x10000;
constexpr ULONG VHDX_HEADER_SIZE = 4096;
constexpr ULONG VHDX_REGION_TABLE_OFFSET = 0x30000;
constexpr ULONG VHDX_REGION_TABLE_SIZE = 0x10000;
constexpr ULONG VHDX_REGION_TABLE_MAX_ENTRIES =
    (VHDX_REGION_TABLE_SIZE - sizeof(VHDX_REGION_TABLE_HEADER)) / sizeof(VHDX_REGION_TABLE_ENTRY);
constexpr ULONG VHDX_CHECKSUM_FIELD_OFFSET = offsetof(VHDX_HEADER, Checksum);
static_assert(offsetof(VHDX_REGION_TABLE_HEADER, Checksum) == VHDX_CHECKSUM_FIELD_OFFSET &&
                  offsetof(VHDX_LOG_ENTRY_HEADER, Checksum) == VHDX_CHECKSUM_FIELD_OFFSET,
              "one checksum gate for every checksummed structure");
constexpr ULONG VHDX_METADATA_TABLE_SIZE = 0x10000;
constexpr ULONG VHDX_LOG_SECTOR_SIZE = 4096;
constexpr ULONG VHDX_BAT_ENTRY_SIZE = 8;
constexpr ULONG VHDX_SECTOR_BITMAP_BLOCK_SIZE = 0x100000;
constexpr ULONG VHDX_SECTORS_PER_BITMAP = 0x800000;  // 2^23 bits
constexpr ULONG VHDX_PARENT_PATH_CHARS = 1026;       // counting the NUL

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
constexpr ULONG VHDX_LOG_ENTRY_SIGNATURE = 0x65676F6C;                // "loge"
constexpr ULONG VHDX_LOG_ZERO_SIGNATURE = 0x6F72657A;                 // "zero"
constexpr ULONG VHDX_LOG_DESCRIPTOR_SIGNATURE = 0x63736564;           // "desc"
constexpr ULONG VHDX_LOG_DATA_SIGNATURE = 0x61746164;                 // "data"

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
    return VHDX_GUID{{(UCHAR)d1, (UCHAR)(d1 >> 8), (UCHAR)(d1 >> 16), (UCHAR)(d1 >> 24), (UCHAR)d2,
                      (UCHAR)(d2 >> 8), (UCHAR)d3, (UCHAR)(d3 >> 8), (UCHAR)(d4 >> 56),
                      (UCHAR)(d4 >> 48), (UCHAR)(d4 >> 40), (UCHAR)(d4 >> 32), (UCHAR)(d4 >> 24),
                      (UCHAR)(d4 >> 16), (UCHAR)(d4 >> 8), (UCHAR)d4}};
}

// Two GUIDs match only when all 16 bytes are equal.
inline BOOLEAN VhdxGuidEqual(const VHDX_GUID& a, const VHDX_GUID& b) {
    return RtlCompareMemory(a.Bytes, b.Bytes, sizeof(a.Bytes)) == sizeof(a.Bytes);
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

// A BAT entry, loaded from file data at any alignment.
ULONGLONG VhdxLoadBatEntry(const UCHAR* Bytes);

// What a BAT entry says: its state, and the file offset of its block.
inline ULONG VhdxBatEntryState(ULONGLONG Entry) { return (ULONG)(Entry & VHDX_BAT_STATE_MASK); }
inline ULONGLONG VhdxBatEntryFileOffset(ULONGLONG Entry) {
    return Entry & VHDX_BAT_FILE_OFFSET_MASK;
}

// The metadata items the driver acts on, and the bytes each one's value
// needs. Unknown items, the page 83 data among them, are skipped.
enum VHDX_METADATA_ITEM : ULONG {
    VHDX_ITEM_UNKNOWN,
    VHDX_ITEM_FILE_PARAMETERS,
    VHDX_ITEM_VIRTUAL_DISK_SIZE,
    VHDX_ITEM_LOGICAL_SECTOR_SIZE,
    VHDX_ITEM_PHYSICAL_SECTOR_SIZE,
    VHDX_ITEM_PARENT_LOCATOR,
};
VHDX_METADATA_ITEM VhdxIdentifyMetadataItem(const VHDX_GUID& ItemId, PULONG ValueSize);

// The BAT's shape, derived from the metadata values alone.
struct VhdxGeometry {
    ULONG ChunkRatio;           // payload blocks per chunk
    ULONGLONG DataBlocksCount;  // payload blocks of the virtual disk
    ULONGLONG TotalBatEntries;  // up to and including the last payload block's entry
    ULONGLONG DataSize;         // served size: whole blocks, rounded up to 1 MiB
};
enum VHDX_GEOMETRY_RESULT : ULONG {
    VHDX_GEOMETRY_VALID,
    // Only the low 32 bits of the chunk ratio are kept, and they are zero:
    // nothing else is derived.
    VHDX_GEOMETRY_NO_CHUNK_RATIO,
    // Everything is derived, but some block a read can reach, or its chunk's
    // sector bitmap entry, has no 32-bit BAT index.
    VHDX_GEOMETRY_BEYOND_BAT_INDEX,
};
// BlockSize must be non-zero.
VHDX_GEOMETRY_RESULT VhdxDeriveGeometry(ULONGLONG VirtualDiskSize, ULONG BlockSize,
                                        ULONG LogicalSectorSize, VhdxGeometry* Geometry);

// BAT indices: payload block Block's entry, and the sector bitmap entry of
// the chunk that holds it.
inline ULONGLONG VhdxPayloadEntryIndex(ULONGLONG Block, ULONG ChunkRatio) {
    return Block + Block / ChunkRatio;
}
inline ULONGLONG VhdxSectorBitmapEntryIndex(ULONGLONG Block, ULONG ChunkRatio) {
    const ULONGLONG chunk = Block / ChunkRatio;
    return chunk * ((ULONGLONG)ChunkRatio + 1) + ChunkRatio;
}

// Where a byte of the virtual disk is described.
struct VhdxLocation {
    ULONGLONG Block;       // the payload block that holds it
    ULONGLONG EntryIndex;  // the block's BAT entry
    ULONG WithinBlock;     // its offset inside the block
    ULONG BlockRemaining;  // bytes from it to the block's end
    ULONG SectorBit;       // its logical sector's bit in the chunk's sector bitmap
};
VOID VhdxLocate(ULONG BlockSize, ULONG ChunkRatio, ULONG LogicalSectorSize, ULONGLONG Offset,
                VhdxLocation* Location);
