// The VHDX format's arithmetic: loads of the on-disk structures, the BAT's
// geometry and where a byte of the virtual disk is described. Pure
// functions over the caller's memory; no I/O, no allocation.
#include "vhdx/vhdx_format.h"

namespace {

// An integer field of a structure, or Count of them back to back.
struct Field {
    ULONG Offset;
    ULONG Width;  // 2, 4 or 8 bytes
    ULONG Count;
};
#define VHDX_FIELD(Type, Name) \
    { offsetof(Type, Name), sizeof(Type::Name), 1 }

template <typename V>
VOID StoreHostOrder(UCHAR* At, V Value) {
    RtlCopyMemory(At, &Value, sizeof(Value));
}

// Copies the structure from file data and turns each field's little-endian
// bytes into the host's order, whatever that is.
template <typename T, ULONG N>
VOID Load(const UCHAR* Bytes, T* Structure, const Field (&Fields)[N]) {
    RtlCopyMemory(Structure, Bytes, sizeof(T));
    for (const Field& field : Fields) {
        for (ULONG i = 0; i < field.Count; i++) {
            UCHAR* at = (UCHAR*)Structure + field.Offset + i * field.Width;
            if (field.Width == 2) {
                StoreHostOrder(at, VhdxLoad16(at));
            } else if (field.Width == 4) {
                StoreHostOrder(at, VhdxLoad32(at));
            } else {
                StoreHostOrder(at, VhdxLoad64(at));
            }
        }
    }
}

}  // namespace

constexpr Field kFileIdentifier[] = {VHDX_FIELD(VHDX_FILE_IDENTIFIER, Signature),
                                     {offsetof(VHDX_FILE_IDENTIFIER, Creator), sizeof(WCHAR),
                                      sizeof(VHDX_FILE_IDENTIFIER::Creator) / sizeof(WCHAR)}};
VOID VhdxLoadFileIdentifier(const UCHAR* Bytes, VHDX_FILE_IDENTIFIER* Identifier) {
    Load(Bytes, Identifier, kFileIdentifier);
}

constexpr Field kHeader[] = {
    VHDX_FIELD(VHDX_HEADER, Signature),      VHDX_FIELD(VHDX_HEADER, Checksum),
    VHDX_FIELD(VHDX_HEADER, SequenceNumber), VHDX_FIELD(VHDX_HEADER, LogVersion),
    VHDX_FIELD(VHDX_HEADER, Version),        VHDX_FIELD(VHDX_HEADER, LogLength),
    VHDX_FIELD(VHDX_HEADER, LogOffset)};
VOID VhdxLoadHeader(const UCHAR* Bytes, VHDX_HEADER* Header) { Load(Bytes, Header, kHeader); }

constexpr Field kRegionTableHeader[] = {VHDX_FIELD(VHDX_REGION_TABLE_HEADER, Signature),
                                        VHDX_FIELD(VHDX_REGION_TABLE_HEADER, Checksum),
                                        VHDX_FIELD(VHDX_REGION_TABLE_HEADER, EntryCount),
                                        VHDX_FIELD(VHDX_REGION_TABLE_HEADER, Reserved)};
VOID VhdxLoadRegionTableHeader(const UCHAR* Bytes, VHDX_REGION_TABLE_HEADER* Header) {
    Load(Bytes, Header, kRegionTableHeader);
}

constexpr Field kRegionTableEntry[] = {VHDX_FIELD(VHDX_REGION_TABLE_ENTRY, FileOffset),
                                       VHDX_FIELD(VHDX_REGION_TABLE_ENTRY, Length),
                                       VHDX_FIELD(VHDX_REGION_TABLE_ENTRY, Required)};
VOID VhdxLoadRegionTableEntry(const UCHAR* Bytes, VHDX_REGION_TABLE_ENTRY* Entry) {
    Load(Bytes, Entry, kRegionTableEntry);
}

constexpr Field kMetadataTableHeader[] = {VHDX_FIELD(VHDX_METADATA_TABLE_HEADER, Signature),
                                          VHDX_FIELD(VHDX_METADATA_TABLE_HEADER, Reserved),
                                          VHDX_FIELD(VHDX_METADATA_TABLE_HEADER, EntryCount)};
VOID VhdxLoadMetadataTableHeader(const UCHAR* Bytes, VHDX_METADATA_TABLE_HEADER* Header) {
    Load(Bytes, Header, kMetadataTableHeader);
}

constexpr Field kMetadataTableEntry[] = {
    VHDX_FIELD(VHDX_METADATA_TABLE_ENTRY, Offset), VHDX_FIELD(VHDX_METADATA_TABLE_ENTRY, Length),
    VHDX_FIELD(VHDX_METADATA_TABLE_ENTRY, Flags), VHDX_FIELD(VHDX_METADATA_TABLE_ENTRY, Reserved)};
VOID VhdxLoadMetadataTableEntry(const UCHAR* Bytes, VHDX_METADATA_TABLE_ENTRY* Entry) {
    Load(Bytes, Entry, kMetadataTableEntry);
}

constexpr Field kFileParameters[] = {VHDX_FIELD(VHDX_FILE_PARAMETERS, BlockSize),
                                     VHDX_FIELD(VHDX_FILE_PARAMETERS, Flags)};
VOID VhdxLoadFileParameters(const UCHAR* Bytes, VHDX_FILE_PARAMETERS* Parameters) {
    Load(Bytes, Parameters, kFileParameters);
}

constexpr Field kVirtualDiskSize[] = {VHDX_FIELD(VHDX_VIRTUAL_DISK_SIZE, VirtualDiskSize)};
VOID VhdxLoadVirtualDiskSize(const UCHAR* Bytes, VHDX_VIRTUAL_DISK_SIZE* Size) {
    Load(Bytes, Size, kVirtualDiskSize);
}

constexpr Field kSectorSize[] = {VHDX_FIELD(VHDX_SECTOR_SIZE, SectorSize)};
VOID VhdxLoadSectorSize(const UCHAR* Bytes, VHDX_SECTOR_SIZE* Size) {
    Load(Bytes, Size, kSectorSize);
}

constexpr Field kParentLocatorHeader[] = {VHDX_FIELD(VHDX_PARENT_LOCATOR_HEADER, Reserved),
                                          VHDX_FIELD(VHDX_PARENT_LOCATOR_HEADER, KeyValueCount)};
VOID VhdxLoadParentLocatorHeader(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_HEADER* Header) {
    Load(Bytes, Header, kParentLocatorHeader);
}

constexpr Field kParentLocatorEntry[] = {VHDX_FIELD(VHDX_PARENT_LOCATOR_ENTRY, KeyOffset),
                                         VHDX_FIELD(VHDX_PARENT_LOCATOR_ENTRY, ValueOffset),
                                         VHDX_FIELD(VHDX_PARENT_LOCATOR_ENTRY, KeyLength),
                                         VHDX_FIELD(VHDX_PARENT_LOCATOR_ENTRY, ValueLength)};
VOID VhdxLoadParentLocatorEntry(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_ENTRY* Entry) {
    Load(Bytes, Entry, kParentLocatorEntry);
}

constexpr Field kLogEntryHeader[] = {VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, Signature),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, Checksum),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, EntryLength),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, Tail),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, SequenceNumber),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, DescriptorCount),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, Reserved),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, FlushedFileOffset),
                                     VHDX_FIELD(VHDX_LOG_ENTRY_HEADER, LastFileOffset)};
VOID VhdxLoadLogEntryHeader(const UCHAR* Bytes, VHDX_LOG_ENTRY_HEADER* Header) {
    Load(Bytes, Header, kLogEntryHeader);
}

constexpr Field kLogZeroDescriptor[] = {VHDX_FIELD(VHDX_LOG_ZERO_DESCRIPTOR, Signature),
                                        VHDX_FIELD(VHDX_LOG_ZERO_DESCRIPTOR, Reserved),
                                        VHDX_FIELD(VHDX_LOG_ZERO_DESCRIPTOR, ZeroLength),
                                        VHDX_FIELD(VHDX_LOG_ZERO_DESCRIPTOR, FileOffset),
                                        VHDX_FIELD(VHDX_LOG_ZERO_DESCRIPTOR, SequenceNumber)};
VOID VhdxLoadLogZeroDescriptor(const UCHAR* Bytes, VHDX_LOG_ZERO_DESCRIPTOR* Descriptor) {
    Load(Bytes, Descriptor, kLogZeroDescriptor);
}

constexpr Field kLogDataDescriptor[] = {VHDX_FIELD(VHDX_LOG_DATA_DESCRIPTOR, Signature),
                                        VHDX_FIELD(VHDX_LOG_DATA_DESCRIPTOR, FileOffset),
                                        VHDX_FIELD(VHDX_LOG_DATA_DESCRIPTOR, SequenceNumber)};
VOID VhdxLoadLogDataDescriptor(const UCHAR* Bytes, VHDX_LOG_DATA_DESCRIPTOR* Descriptor) {
    Load(Bytes, Descriptor, kLogDataDescriptor);
}

constexpr Field kLogDataSector[] = {VHDX_FIELD(VHDX_LOG_DATA_SECTOR, Signature),
                                    VHDX_FIELD(VHDX_LOG_DATA_SECTOR, SequenceHigh),
                                    VHDX_FIELD(VHDX_LOG_DATA_SECTOR, SequenceLow)};
VOID VhdxLoadLogDataSector(const UCHAR* Bytes, VHDX_LOG_DATA_SECTOR* Sector) {
    Load(Bytes, Sector, kLogDataSector);
}

ULONGLONG VhdxLoadBatEntry(const UCHAR* Bytes) { return VhdxLoad64(Bytes); }

VHDX_METADATA_ITEM VhdxIdentifyMetadataItem(const VHDX_GUID& ItemId, PULONG ValueSize) {
    struct Known {
        const VHDX_GUID* Id;
        VHDX_METADATA_ITEM Item;
        ULONG ValueSize;
    };
    static const Known kKnown[] = {
        {&VHDX_FILE_PARAMETERS_GUID, VHDX_ITEM_FILE_PARAMETERS, sizeof(VHDX_FILE_PARAMETERS)},
        {&VHDX_VIRTUAL_DISK_SIZE_GUID, VHDX_ITEM_VIRTUAL_DISK_SIZE, sizeof(VHDX_VIRTUAL_DISK_SIZE)},
        {&VHDX_LOGICAL_SECTOR_SIZE_GUID, VHDX_ITEM_LOGICAL_SECTOR_SIZE, sizeof(VHDX_SECTOR_SIZE)},
        {&VHDX_PHYSICAL_SECTOR_SIZE_GUID, VHDX_ITEM_PHYSICAL_SECTOR_SIZE, sizeof(VHDX_SECTOR_SIZE)},
        {&VHDX_PARENT_LOCATOR_GUID, VHDX_ITEM_PARENT_LOCATOR, sizeof(VHDX_PARENT_LOCATOR_HEADER)},
    };
    for (const Known& known : kKnown) {
        if (VhdxGuidEqual(ItemId, *known.Id)) {
            *ValueSize = known.ValueSize;
            return known.Item;
        }
    }
    *ValueSize = 0;
    return VHDX_ITEM_UNKNOWN;
}

VHDX_GEOMETRY_RESULT VhdxDeriveGeometry(ULONGLONG VirtualDiskSize, ULONG BlockSize,
                                        ULONG LogicalSectorSize, VhdxGeometry* Geometry) {
    // Only the low 32 bits of the ratio are kept; sizes outside the format's
    // ranges can leave them zero, and the ratio is a divisor below.
    const ULONG chunkRatio = (ULONG)(((ULONGLONG)LogicalSectorSize << 23) / BlockSize);
    Geometry->ChunkRatio = chunkRatio;
    if (chunkRatio == 0) {
        return VHDX_GEOMETRY_NO_CHUNK_RATIO;
    }
    // Rounded-up division that cannot wrap near 2^64.
    const ULONGLONG blocks =
        VirtualDiskSize / BlockSize + (VirtualDiskSize % BlockSize != 0 ? 1 : 0);
    Geometry->DataBlocksCount = blocks;
    Geometry->TotalBatEntries = blocks + (blocks - 1) / chunkRatio;
    // At most (2^32 - 1)^2 + 0xFFFFF with a 32-bit block count: no overflow.
    Geometry->DataSize = (blocks * BlockSize + 0xFFFFF) & ~0xFFFFFULL;
    if (blocks > 0xFFFFFFFFULL) {
        return VHDX_GEOMETRY_BEYOND_BAT_INDEX;
    }

    // Reads index the BAT with 32-bit entry numbers. Every block a read can
    // reach, up to the last byte of the served size, and its chunk's sector
    // bitmap entry must have one; a wrapped index would alias another
    // block's entry.
    const ULONGLONG servedBlocks =
        Geometry->DataSize / BlockSize + (Geometry->DataSize % BlockSize != 0 ? 1 : 0);
    if ((servedBlocks + chunkRatio - 1) / chunkRatio * ((ULONGLONG)chunkRatio + 1) >
        0x100000000ULL) {
        return VHDX_GEOMETRY_BEYOND_BAT_INDEX;
    }
    return VHDX_GEOMETRY_VALID;
}

VOID VhdxLocate(ULONG BlockSize, ULONG ChunkRatio, ULONG LogicalSectorSize, ULONGLONG Offset,
                VhdxLocation* Location) {
    Location->Block = Offset / BlockSize;
    Location->EntryIndex = VhdxPayloadEntryIndex(Location->Block, ChunkRatio);
    Location->WithinBlock = (ULONG)(Offset % BlockSize);
    Location->BlockRemaining = BlockSize - Location->WithinBlock;
    Location->SectorBit = (ULONG)((Offset / LogicalSectorSize) & (VHDX_SECTORS_PER_BITMAP - 1));
}
