// The VHDX format's arithmetic: loads of the on-disk structures, the BAT's
// geometry and where a byte of the virtual disk is described. Pure
// functions over the caller's memory; no I/O, no allocation.
#include "vhdx/vhdx_format.h"

namespace {

// A field copied from the file holds its little-endian bytes; read them as
// such, whatever the host's byte order.
USHORT Import(USHORT Stored) {
    UCHAR bytes[sizeof(Stored)];
    RtlCopyMemory(bytes, &Stored, sizeof(Stored));
    return VhdxLoad16(bytes);
}
ULONG Import(ULONG Stored) {
    UCHAR bytes[sizeof(Stored)];
    RtlCopyMemory(bytes, &Stored, sizeof(Stored));
    return VhdxLoad32(bytes);
}
ULONGLONG Import(ULONGLONG Stored) {
    UCHAR bytes[sizeof(Stored)];
    RtlCopyMemory(bytes, &Stored, sizeof(Stored));
    return VhdxLoad64(bytes);
}

template <typename T>
VOID Copy(const UCHAR* Bytes, T* Structure) {
    RtlCopyMemory(Structure, Bytes, sizeof(T));
}

}  // namespace

VOID VhdxLoadFileIdentifier(const UCHAR* Bytes, VHDX_FILE_IDENTIFIER* Identifier) {
    Copy(Bytes, Identifier);
    Identifier->Signature = Import(Identifier->Signature);
    for (ULONG i = 0; i < sizeof(Identifier->Creator) / sizeof(WCHAR); i++) {
        Identifier->Creator[i] = Import((USHORT)Identifier->Creator[i]);
    }
}

VOID VhdxLoadHeader(const UCHAR* Bytes, VHDX_HEADER* Header) {
    Copy(Bytes, Header);
    Header->Signature = Import(Header->Signature);
    Header->Checksum = Import(Header->Checksum);
    Header->SequenceNumber = Import(Header->SequenceNumber);
    Header->LogVersion = Import(Header->LogVersion);
    Header->Version = Import(Header->Version);
    Header->LogLength = Import(Header->LogLength);
    Header->LogOffset = Import(Header->LogOffset);
}

VOID VhdxLoadRegionTableHeader(const UCHAR* Bytes, VHDX_REGION_TABLE_HEADER* Header) {
    Copy(Bytes, Header);
    Header->Signature = Import(Header->Signature);
    Header->Checksum = Import(Header->Checksum);
    Header->EntryCount = Import(Header->EntryCount);
    Header->Reserved = Import(Header->Reserved);
}

VOID VhdxLoadRegionTableEntry(const UCHAR* Bytes, VHDX_REGION_TABLE_ENTRY* Entry) {
    Copy(Bytes, Entry);
    Entry->FileOffset = Import(Entry->FileOffset);
    Entry->Length = Import(Entry->Length);
    Entry->Required = Import(Entry->Required);
}

VOID VhdxLoadMetadataTableHeader(const UCHAR* Bytes, VHDX_METADATA_TABLE_HEADER* Header) {
    Copy(Bytes, Header);
    Header->Signature = Import(Header->Signature);
    Header->Reserved = Import(Header->Reserved);
    Header->EntryCount = Import(Header->EntryCount);
}

VOID VhdxLoadMetadataTableEntry(const UCHAR* Bytes, VHDX_METADATA_TABLE_ENTRY* Entry) {
    Copy(Bytes, Entry);
    Entry->Offset = Import(Entry->Offset);
    Entry->Length = Import(Entry->Length);
    Entry->Flags = Import(Entry->Flags);
    Entry->Reserved = Import(Entry->Reserved);
}

VOID VhdxLoadFileParameters(const UCHAR* Bytes, VHDX_FILE_PARAMETERS* Parameters) {
    Copy(Bytes, Parameters);
    Parameters->BlockSize = Import(Parameters->BlockSize);
    Parameters->Flags = Import(Parameters->Flags);
}

VOID VhdxLoadVirtualDiskSize(const UCHAR* Bytes, VHDX_VIRTUAL_DISK_SIZE* Size) {
    Copy(Bytes, Size);
    Size->VirtualDiskSize = Import(Size->VirtualDiskSize);
}

VOID VhdxLoadSectorSize(const UCHAR* Bytes, VHDX_SECTOR_SIZE* Size) {
    Copy(Bytes, Size);
    Size->SectorSize = Import(Size->SectorSize);
}

VOID VhdxLoadParentLocatorHeader(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_HEADER* Header) {
    Copy(Bytes, Header);
    Header->Reserved = Import(Header->Reserved);
    Header->KeyValueCount = Import(Header->KeyValueCount);
}

VOID VhdxLoadParentLocatorEntry(const UCHAR* Bytes, VHDX_PARENT_LOCATOR_ENTRY* Entry) {
    Copy(Bytes, Entry);
    Entry->KeyOffset = Import(Entry->KeyOffset);
    Entry->ValueOffset = Import(Entry->ValueOffset);
    Entry->KeyLength = Import(Entry->KeyLength);
    Entry->ValueLength = Import(Entry->ValueLength);
}

VOID VhdxLoadLogEntryHeader(const UCHAR* Bytes, VHDX_LOG_ENTRY_HEADER* Header) {
    Copy(Bytes, Header);
    Header->Signature = Import(Header->Signature);
    Header->Checksum = Import(Header->Checksum);
    Header->EntryLength = Import(Header->EntryLength);
    Header->Tail = Import(Header->Tail);
    Header->SequenceNumber = Import(Header->SequenceNumber);
    Header->DescriptorCount = Import(Header->DescriptorCount);
    Header->Reserved = Import(Header->Reserved);
    Header->FlushedFileOffset = Import(Header->FlushedFileOffset);
    Header->LastFileOffset = Import(Header->LastFileOffset);
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
