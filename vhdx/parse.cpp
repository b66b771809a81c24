// Opening an image: the header section, the metadata region and the BAT
// region fill one VhdxContext. Every offset, count and length taken from the
// file is checked against the buffer it indexes before it is used.
#include "vhdx/pontor.h"
#include "vhdx/vhdx.h"

namespace {

// Header-section and region reads are paging reads that keep the file
// object's byte offset; only the status is looked at.
constexpr ULONG kParseReadFlags =
    FLTFL_IO_OPERATION_PAGING | FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET;

PONTOR_PAGED NTSTATUS ReadImage(PCFLT_RELATED_OBJECTS RelatedObjects, const VhdxContext* Context,
                                ULONGLONG Offset, ULONG Length, UCHAR* Buffer) {
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = (LONGLONG)Offset;
    return FltReadFile(RelatedObjects->Instance, Context->FileObject, &byteOffset, Length, Buffer,
                       kParseReadFlags, NULL, NULL, NULL);
}

// The checksum gate: the stored value must equal the CRC-32C of the structure
// with the checksum field taken as zero. The field is left zero.
PONTOR_PAGED BOOLEAN ChecksumMatches(UCHAR* Structure, ULONG Size) {
    const ULONG stored = VhdxLoad32(Structure + VHDX_CHECKSUM_FIELD_OFFSET);
    VhdxStore32(Structure + VHDX_CHECKSUM_FIELD_OFFSET, 0);
    return VhdxComputeChecksum(Structure, Size) == stored;
}

VHDX_REGION_TABLE_ENTRY LoadRegionEntry(const UCHAR* p) {
    VHDX_REGION_TABLE_ENTRY entry;
    RtlCopyMemory(entry.Guid.Bytes, p, sizeof(entry.Guid.Bytes));
    entry.FileOffset = VhdxLoad64(p + 16);
    entry.Length = VhdxLoad32(p + 24);
    entry.Required = VhdxLoad32(p + 28);
    return entry;
}

// Whether [Offset, Offset + Size) lies inside a buffer of Length bytes, in
// arithmetic that cannot wrap.
BOOLEAN Within(ULONGLONG Offset, ULONGLONG Size, ULONG Length) {
    return Offset <= Length && Size <= Length - Offset;
}

// A counted string over bytes of the metadata buffer. The host and the
// Windows string routines both read it at any alignment.
UNICODE_STRING StringAt(UCHAR* Buffer, ULONGLONG Offset, USHORT Length) {
    UNICODE_STRING s;
    s.Length = Length;
    s.MaximumLength = Length;
    s.Buffer = (PWCH)(Buffer + Offset);
    return s;
}

const UNICODE_STRING kRelativePathKey = {26, 26, (PWCH)PONTOR_WIDE("relative_path")};
const UNICODE_STRING kVolumePathKey = {22, 22, (PWCH)PONTOR_WIDE("volume_path")};

// Scans one parent locator whose value starts at Locator in the metadata
// buffer; the first "relative_path", or "volume_path" that parses as a file
// name, supplies ParentPath.
PONTOR_PAGED NTSTATUS ScanParentLocator(UCHAR* Buffer, ULONG Length, ULONGLONG Locator,
                                        VhdxContext* Context) {
    const ULONG count = VhdxLoad16(Buffer + Locator + 18);
    for (ULONG i = 0; i < count; i++) {
        const ULONGLONG entry = Locator + sizeof(VHDX_PARENT_LOCATOR_HEADER) +
                                (ULONGLONG)i * sizeof(VHDX_PARENT_LOCATOR_ENTRY);
        if (!Within(entry, sizeof(VHDX_PARENT_LOCATOR_ENTRY), Length)) {
            PONTOR_PAGED_LOG_AS("VhdxParseMetadata",
                                "Parent locator entry %u lies outside the metadata region\n", i);
            return STATUS_UNKNOWN_REVISION;
        }
        const ULONGLONG keyOffset = Locator + VhdxLoad32(Buffer + entry);
        const ULONGLONG valueOffset = Locator + VhdxLoad32(Buffer + entry + 4);
        const USHORT keyLength = VhdxLoad16(Buffer + entry + 8);
        const USHORT valueLength = VhdxLoad16(Buffer + entry + 10);
        if (!Within(keyOffset, keyLength, Length) || !Within(valueOffset, valueLength, Length)) {
            PONTOR_PAGED_LOG_AS("VhdxParseMetadata",
                                "Parent locator key or value %u lies outside the metadata region\n",
                                i);
            return STATUS_UNKNOWN_REVISION;
        }
        UNICODE_STRING key = StringAt(Buffer, keyOffset, keyLength);
        UNICODE_STRING value = StringAt(Buffer, valueOffset, valueLength);
        UNICODE_STRING finalComponent = {0, 0, NULL};

        BOOLEAN matched = TRUE;
        const UCHAR* path = NULL;
        ULONG pathLength = 0;
        if (RtlCompareUnicodeString(&key, &kRelativePathKey, FALSE) == 0) {
            path = Buffer + valueOffset;
            pathLength = valueLength;
        } else if (RtlCompareUnicodeString(&key, &kVolumePathKey, FALSE) == 0 &&
                   NT_SUCCESS(FltParseFileName(&value, NULL, NULL, &finalComponent))) {
            path = (const UCHAR*)finalComponent.Buffer;
            pathLength = finalComponent.Length;
        } else {
            matched = FALSE;
        }
        if (matched) {
            if (pathLength / sizeof(WCHAR) >= VHDX_PARENT_PATH_CHARS) {
                PONTOR_PAGED_LOG_AS("VhdxParseMetadata",
                                    "Parent path %wZ is longer than %u characters\n", &value,
                                    VHDX_PARENT_PATH_CHARS - 1);
                return STATUS_UNKNOWN_REVISION;
            }
            if (pathLength != 0) {
                RtlCopyMemory(Context->ParentPath, path, pathLength);
            }
            Context->ParentPath[pathLength / sizeof(WCHAR)] = 0;
            return STATUS_SUCCESS;
        }
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0, "\r\n[PONTOR] %s: Key %wZ, Value %wZ\n",
                   "VhdxParseMetadata", &key, &value);
    }
    return STATUS_SUCCESS;
}

}  // namespace

PONTOR_PAGED NTSTATUS VhdxParseHeader(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Context) {
    PAGED_CODE();

    PontorPoolBuffer section(RelatedObjects->Instance, VHDX_HEADER_SECTION_SIZE, PONTOR_IO_TAG);
    UCHAR* buffer = section.Get();
    if (buffer == NULL) {
        PONTOR_PAGED_LOG("Failed to allocate I/O buffer.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadImage(RelatedObjects, Context, 0, VHDX_HEADER_SECTION_SIZE, buffer);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
        return status;
    }

    if (VhdxLoad64(buffer) != VHDX_FILE_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_FILE_IDENTIFIER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    UCHAR* header = buffer + VHDX_HEADER_OFFSET;
    if (VhdxLoad32(header) != VHDX_HEADER_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    if (!ChecksumMatches(header, VHDX_HEADER_SIZE)) {
        PONTOR_PAGED_LOG("Invalid VHDX_HEADER Checksum\n");
        return STATUS_UNKNOWN_REVISION;
    }
    UCHAR* table = buffer + VHDX_REGION_TABLE_OFFSET;
    if (VhdxLoad32(table) != VHDX_REGION_TABLE_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_REGION_TABLE_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    if (!ChecksumMatches(table, VHDX_REGION_TABLE_SIZE)) {
        PONTOR_PAGED_LOG("Invalid VHDX_REGION_TABLE_HEADER Checksum\n");
        return STATUS_UNKNOWN_REVISION;
    }

    // The 64 KiB table has room for 2047 entries; more would be read from
    // beyond it.
    const ULONG entryCount = VhdxLoad32(table + 8);
    if (entryCount > VHDX_REGION_TABLE_MAX_ENTRIES) {
        PONTOR_PAGED_LOG("VHDX_REGION_TABLE_HEADER EntryCount %u exceeds the table's %u entries\n",
                         entryCount, VHDX_REGION_TABLE_MAX_ENTRIES);
        return STATUS_UNKNOWN_REVISION;
    }
    VHDX_REGION_TABLE_ENTRY batRegion = {};
    VHDX_REGION_TABLE_ENTRY metadataRegion = {};
    for (ULONG i = 0; i < entryCount; i++) {
        const UCHAR* entry =
            table + sizeof(VHDX_REGION_TABLE_HEADER) + i * sizeof(VHDX_REGION_TABLE_ENTRY);
        if (VhdxGuidEqual(entry, VHDX_BAT_REGION_GUID)) {
            batRegion = LoadRegionEntry(entry);
        } else if (VhdxGuidEqual(entry, VHDX_METADATA_REGION_GUID)) {
            metadataRegion = LoadRegionEntry(entry);
        }
    }
    // An entry never copied has FileOffset 0, which counts as absent too.
    if (batRegion.FileOffset == 0) {
        PONTOR_PAGED_LOG("Could not location a Block Allocation Table entry\n");
        return STATUS_UNKNOWN_REVISION;
    }
    if (metadataRegion.FileOffset == 0) {
        PONTOR_PAGED_LOG("Could not location a Metadata entry\n");
        return STATUS_UNKNOWN_REVISION;
    }

    const VHDX_REGION_TABLE_ENTRY* regions[] = {&batRegion, &metadataRegion};
    for (const VHDX_REGION_TABLE_ENTRY* region : regions) {
        if (!VhdxWithinFileOffsets(region->FileOffset, region->Length)) {
            PONTOR_PAGED_LOG(
                "Region at offset 0x%I64X of 0x%x bytes lies beyond the largest file "
                "offset\n",
                region->FileOffset, region->Length);
            return STATUS_UNKNOWN_REVISION;
        }
    }

    status = VhdxParseMetadata(RelatedObjects, &metadataRegion, Context);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FakeVhdxParseMetadata failed with status 0x%x\n", status);
        return status;
    }
    status = VhdxParseBlockAllocationTable(RelatedObjects, &batRegion, Context);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FakeVhdxParseBlockAllocationTable failed with status 0x%x\n", status);
        return status;
    }
    return STATUS_SUCCESS;
}

PONTOR_PAGED NTSTATUS VhdxParseMetadata(PCFLT_RELATED_OBJECTS RelatedObjects,
                                        const VHDX_REGION_TABLE_ENTRY* MetadataRegion,
                                        VhdxContext* Context) {
    PAGED_CODE();

    Context->VirtualDiskSize = 0;
    Context->BlockSize = 0;
    Context->LogicalSectorSize = 0;
    Context->PhysicalSectorSize = 0;

    const ULONG length = MetadataRegion->Length;
    PontorPoolBuffer region(RelatedObjects->Instance, length, PONTOR_IO_TAG);
    UCHAR* buffer = region.Get();
    if (buffer == NULL) {
        PONTOR_PAGED_LOG("Failed to allocate I/O buffer.\n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS status = ReadImage(RelatedObjects, Context, MetadataRegion->FileOffset, length, buffer);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
        return status;
    }

    if (length < sizeof(VHDX_METADATA_TABLE_HEADER)) {
        PONTOR_PAGED_LOG("Metadata region of 0x%x bytes cannot hold VHDX_METADATA_TABLE_HEADER\n",
                         length);
        return STATUS_UNKNOWN_REVISION;
    }
    if (VhdxLoad64(buffer) != VHDX_METADATA_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_METADATA_TABLE_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }

    const ULONG entryCount = VhdxLoad16(buffer + 10);
    for (ULONG i = 0; i < entryCount; i++) {
        const ULONGLONG entry = sizeof(VHDX_METADATA_TABLE_HEADER) +
                                (ULONGLONG)i * sizeof(VHDX_METADATA_TABLE_ENTRY);
        if (!Within(entry, sizeof(VHDX_METADATA_TABLE_ENTRY), length)) {
            PONTOR_PAGED_LOG("Metadata table entry %u lies outside the metadata region\n", i);
            return STATUS_UNKNOWN_REVISION;
        }
        const UCHAR* itemId = buffer + entry;
        const ULONGLONG value = VhdxLoad32(buffer + entry + 16);

        // The bytes each known item's value needs; unknown items are skipped
        // unread, whatever their flags say.
        ULONG needed = 0;
        if (VhdxGuidEqual(itemId, VHDX_FILE_PARAMETERS_GUID) ||
            VhdxGuidEqual(itemId, VHDX_VIRTUAL_DISK_SIZE_GUID)) {
            needed = 8;
        } else if (VhdxGuidEqual(itemId, VHDX_LOGICAL_SECTOR_SIZE_GUID) ||
                   VhdxGuidEqual(itemId, VHDX_PHYSICAL_SECTOR_SIZE_GUID)) {
            needed = 4;
        } else if (VhdxGuidEqual(itemId, VHDX_PARENT_LOCATOR_GUID)) {
            needed = sizeof(VHDX_PARENT_LOCATOR_HEADER);
        } else {
            continue;
        }
        if (!Within(value, needed, length)) {
            PONTOR_PAGED_LOG(
                "Metadata item of entry %u at offset 0x%x lies outside the metadata "
                "region\n",
                i, (ULONG)value);
            return STATUS_UNKNOWN_REVISION;
        }

        if (VhdxGuidEqual(itemId, VHDX_FILE_PARAMETERS_GUID)) {
            Context->BlockSize = VhdxLoad32(buffer + value);
            Context->HasParent =
                (VhdxLoad32(buffer + value + 4) & VHDX_FILE_PARAMETERS_HAS_PARENT) ? 1 : 0;
        } else if (VhdxGuidEqual(itemId, VHDX_VIRTUAL_DISK_SIZE_GUID)) {
            Context->VirtualDiskSize = VhdxLoad64(buffer + value);
        } else if (VhdxGuidEqual(itemId, VHDX_LOGICAL_SECTOR_SIZE_GUID)) {
            Context->LogicalSectorSize = VhdxLoad32(buffer + value);
        } else if (VhdxGuidEqual(itemId, VHDX_PHYSICAL_SECTOR_SIZE_GUID)) {
            Context->PhysicalSectorSize = VhdxLoad32(buffer + value);
        } else if (VhdxGuidEqual(buffer + value, VHDX_PARENT_LOCATOR_TYPE_GUID)) {
            status = ScanParentLocator(buffer, length, value, Context);
            if (!NT_SUCCESS(status)) {
                return status;
            }
        }
    }

    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 0,
               "\r\n[PONTOR] %s: BlockSize = %d, VirtualDiskSize = %I64d, PhysicalSectorSize = "
               "%d, LogicalSectorSize = %d\n",
               __FUNCTION__, Context->BlockSize, Context->VirtualDiskSize,
               Context->PhysicalSectorSize, Context->LogicalSectorSize);
    if (Context->BlockSize == 0 || Context->VirtualDiskSize == 0 ||
        Context->PhysicalSectorSize == 0 || Context->LogicalSectorSize == 0) {
        PONTOR_PAGED_LOG("One or more required metadata types could not be located.\n");
        return STATUS_UNKNOWN_REVISION;
    }
    return STATUS_SUCCESS;
}

PONTOR_PAGED NTSTATUS VhdxParseBlockAllocationTable(PCFLT_RELATED_OBJECTS RelatedObjects,
                                                    const VHDX_REGION_TABLE_ENTRY* BatRegion,
                                                    VhdxContext* Context) {
    PAGED_CODE();

    // The BAT is read whole only to prove it readable; reads fetch entries
    // on demand.
    {
        PontorPoolBuffer bat(RelatedObjects->Instance, BatRegion->Length, PONTOR_IO_TAG);
        if (bat.Get() == NULL) {
            PONTOR_PAGED_LOG("Failed to allocate I/O buffer.\n");
            return STATUS_INSUFFICIENT_RESOURCES;
        }
        const NTSTATUS status = ReadImage(RelatedObjects, Context, BatRegion->FileOffset,
                                          BatRegion->Length, bat.Get());
        if (!NT_SUCCESS(status)) {
            PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
            return status;
        }
    }
    PONTOR_PAGED_LOG("Block Allocation Table (BAT) at offset %I64d (0x%I64X)\n",
                     BatRegion->FileOffset, BatRegion->FileOffset);

    // Only the low 32 bits of the ratio are kept; sizes outside the format's
    // ranges can leave them zero, and the ratio is a divisor below.
    const ULONG chunkRatio =
        (ULONG)(((ULONGLONG)Context->LogicalSectorSize << 23) / Context->BlockSize);
    if (chunkRatio == 0) {
        PONTOR_PAGED_LOG("ChunkRatio of LogicalSectorSize %d and BlockSize %d is zero\n",
                         Context->LogicalSectorSize, Context->BlockSize);
        return STATUS_UNKNOWN_REVISION;
    }
    // Rounded-up division that cannot wrap near 2^64.
    const ULONGLONG blocks = Context->VirtualDiskSize / Context->BlockSize +
                             (Context->VirtualDiskSize % Context->BlockSize != 0 ? 1 : 0);

    // Reads index the BAT with 32-bit entry numbers. Every block a read can
    // reach, up to the last byte of the served size, and its chunk's sector
    // bitmap entry must have one; a wrapped index would alias another
    // block's entry.
    const ULONGLONG dataSize =
        blocks > 0xFFFFFFFFULL ? 0 : (blocks * Context->BlockSize + 0xFFFFF) & ~0xFFFFFULL;
    const ULONGLONG servedBlocks = dataSize / Context->BlockSize +
                                   (dataSize % Context->BlockSize != 0 ? 1 : 0);
    if (blocks > 0xFFFFFFFFULL ||
        (servedBlocks + chunkRatio - 1) / chunkRatio * ((ULONGLONG)chunkRatio + 1) >
            0x100000000ULL) {
        PONTOR_PAGED_LOG("%I64d payload blocks need more BAT entries than a 32-bit index reaches\n",
                         blocks);
        return STATUS_UNKNOWN_REVISION;
    }

    Context->ChunkRatio = chunkRatio;
    Context->DataBlocksCount = blocks;
    Context->TotalBatEntries = blocks + (blocks - 1) / chunkRatio;
    Context->DataSize = dataSize;  // at most (2^32 - 1)^2 + 0xFFFFF: no overflow
    Context->BatOffset = BatRegion->FileOffset;
    Context->BatLength = BatRegion->Length;
    return STATUS_SUCCESS;
}
