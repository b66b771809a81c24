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
PONTOR_PAGED BOOLEAN ChecksumMatches(UCHAR* Structure, ULONG Size, ULONG Stored) {
    VhdxStore32(Structure + VHDX_CHECKSUM_FIELD_OFFSET, 0);
    return VhdxComputeChecksum(Structure, Size) == Stored;
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
                                        const VHDX_PARENT_LOCATOR_HEADER& Header,
                                        VhdxContext* Context) {
    for (ULONG i = 0; i < Header.KeyValueCount; i++) {
        const ULONGLONG entry = Locator + sizeof(VHDX_PARENT_LOCATOR_HEADER) +
                                (ULONGLONG)i * sizeof(VHDX_PARENT_LOCATOR_ENTRY);
        if (!Within(entry, sizeof(VHDX_PARENT_LOCATOR_ENTRY), Length)) {
            PONTOR_PAGED_LOG_AS("VhdxParseMetadata",
                                "Parent locator entry %u lies outside the metadata region\n", i);
            return STATUS_UNKNOWN_REVISION;
        }
        VHDX_PARENT_LOCATOR_ENTRY keyValue;
        VhdxLoadParentLocatorEntry(Buffer + entry, &keyValue);
        const ULONGLONG keyOffset = Locator + keyValue.KeyOffset;
        const ULONGLONG valueOffset = Locator + keyValue.ValueOffset;
        const USHORT keyLength = keyValue.KeyLength;
        const USHORT valueLength = keyValue.ValueLength;
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

    VHDX_FILE_IDENTIFIER identifier;
    VhdxLoadFileIdentifier(buffer, &identifier);
    if (identifier.Signature != VHDX_FILE_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_FILE_IDENTIFIER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    VHDX_HEADER header;
    VhdxLoadHeader(buffer + VHDX_HEADER_OFFSET, &header);
    if (header.Signature != VHDX_HEADER_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    if (!ChecksumMatches(buffer + VHDX_HEADER_OFFSET, VHDX_HEADER_SIZE, header.Checksum)) {
        PONTOR_PAGED_LOG("Invalid VHDX_HEADER Checksum\n");
        return STATUS_UNKNOWN_REVISION;
    }
    UCHAR* table = buffer + VHDX_REGION_TABLE_OFFSET;
    VHDX_REGION_TABLE_HEADER tableHeader;
    VhdxLoadRegionTableHeader(table, &tableHeader);
    if (tableHeader.Signature != VHDX_REGION_TABLE_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_REGION_TABLE_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }
    if (!ChecksumMatches(table, VHDX_REGION_TABLE_SIZE, tableHeader.Checksum)) {
        PONTOR_PAGED_LOG("Invalid VHDX_REGION_TABLE_HEADER Checksum\n");
        return STATUS_UNKNOWN_REVISION;
    }

    // The 64 KiB table has room for 2047 entries; more would be read from
    // beyond it.
    const ULONG entryCount = tableHeader.EntryCount;
    if (entryCount > VHDX_REGION_TABLE_MAX_ENTRIES) {
        PONTOR_PAGED_LOG("VHDX_REGION_TABLE_HEADER EntryCount %u exceeds the table's %u entries\n",
                         entryCount, VHDX_REGION_TABLE_MAX_ENTRIES);
        return STATUS_UNKNOWN_REVISION;
    }
    VHDX_REGION_TABLE_ENTRY batRegion = {};
    VHDX_REGION_TABLE_ENTRY metadataRegion = {};
    for (ULONG i = 0; i < entryCount; i++) {
        VHDX_REGION_TABLE_ENTRY entry;
        VhdxLoadRegionTableEntry(
            table + sizeof(VHDX_REGION_TABLE_HEADER) + i * sizeof(VHDX_REGION_TABLE_ENTRY), &entry);
        if (VhdxGuidEqual(entry.Guid, VHDX_BAT_REGION_GUID)) {
            batRegion = entry;
        } else if (VhdxGuidEqual(entry.Guid, VHDX_METADATA_REGION_GUID)) {
            metadataRegion = entry;
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

    // Each region is allocated whole before it is read, so its length is
    // held to the file, not to the header: otherwise one small file could
    // ask for gigabytes of non-paged pool at every open of its stub.
    FILE_STANDARD_INFORMATION standard;
    status = FltQueryInformationFile(RelatedObjects->Instance, Context->FileObject, &standard,
                                     sizeof(standard), FileStandardInformation, NULL);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltQueryInformationFile failed with status 0x%x\n", status);
        return status;
    }
    const ULONGLONG fileEnd = (ULONGLONG)standard.EndOfFile.QuadPart;
    const struct {
        const VHDX_REGION_TABLE_ENTRY* entry;
        const char* name;
    } regions[] = {{&metadataRegion, "Metadata"}, {&batRegion, "BAT"}};  // in the order read
    for (const auto& region : regions) {
        const VHDX_REGION_TABLE_ENTRY* r = region.entry;
        if (!VhdxWithinFileOffsets(r->FileOffset, r->Length)) {
            PONTOR_PAGED_LOG(
                "Region at offset 0x%I64X of 0x%x bytes lies beyond the largest file "
                "offset\n",
                r->FileOffset, r->Length);
            return STATUS_UNKNOWN_REVISION;
        }
        // The status a read of a region wholly past the end already gets.
        if (r->FileOffset + r->Length > fileEnd) {
            PONTOR_PAGED_LOG(
                "%s region at offset 0x%I64X of 0x%x bytes ends past the end of the file at "
                "0x%I64X\n",
                region.name, r->FileOffset, r->Length, fileEnd);
            return STATUS_END_OF_FILE;
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
    NTSTATUS status =
        ReadImage(RelatedObjects, Context, MetadataRegion->FileOffset, length, buffer);
    if (!NT_SUCCESS(status)) {
        PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
        return status;
    }

    if (length < sizeof(VHDX_METADATA_TABLE_HEADER)) {
        PONTOR_PAGED_LOG("Metadata region of 0x%x bytes cannot hold VHDX_METADATA_TABLE_HEADER\n",
                         length);
        return STATUS_UNKNOWN_REVISION;
    }
    VHDX_METADATA_TABLE_HEADER tableHeader;
    VhdxLoadMetadataTableHeader(buffer, &tableHeader);
    if (tableHeader.Signature != VHDX_METADATA_SIGNATURE) {
        PONTOR_PAGED_LOG("Invalid VHDX_METADATA_TABLE_HEADER Signature\n");
        return STATUS_UNKNOWN_REVISION;
    }

    for (ULONG i = 0; i < tableHeader.EntryCount; i++) {
        const ULONGLONG entry =
            sizeof(VHDX_METADATA_TABLE_HEADER) + (ULONGLONG)i * sizeof(VHDX_METADATA_TABLE_ENTRY);
        if (!Within(entry, sizeof(VHDX_METADATA_TABLE_ENTRY), length)) {
            PONTOR_PAGED_LOG("Metadata table entry %u lies outside the metadata region\n", i);
            return STATUS_UNKNOWN_REVISION;
        }
        VHDX_METADATA_TABLE_ENTRY item;
        VhdxLoadMetadataTableEntry(buffer + entry, &item);
        const ULONGLONG value = item.Offset;

        // Unknown items are skipped unread, whatever their flags say.
        ULONG needed = 0;
        const VHDX_METADATA_ITEM kind = VhdxIdentifyMetadataItem(item.ItemId, &needed);
        if (kind == VHDX_ITEM_UNKNOWN) {
            continue;
        }
        if (!Within(value, needed, length)) {
            PONTOR_PAGED_LOG(
                "Metadata item of entry %u at offset 0x%x lies outside the metadata "
                "region\n",
                i, (ULONG)value);
            return STATUS_UNKNOWN_REVISION;
        }

        const UCHAR* bytes = buffer + value;
        if (kind == VHDX_ITEM_FILE_PARAMETERS) {
            VHDX_FILE_PARAMETERS parameters;
            VhdxLoadFileParameters(bytes, &parameters);
            Context->BlockSize = parameters.BlockSize;
            Context->HasParent = (parameters.Flags & VHDX_FILE_PARAMETERS_HAS_PARENT) ? 1 : 0;
        } else if (kind == VHDX_ITEM_VIRTUAL_DISK_SIZE) {
            VHDX_VIRTUAL_DISK_SIZE size;
            VhdxLoadVirtualDiskSize(bytes, &size);
            Context->VirtualDiskSize = size.VirtualDiskSize;
        } else if (kind == VHDX_ITEM_LOGICAL_SECTOR_SIZE ||
                   kind == VHDX_ITEM_PHYSICAL_SECTOR_SIZE) {
            VHDX_SECTOR_SIZE size;
            VhdxLoadSectorSize(bytes, &size);
            if (kind == VHDX_ITEM_LOGICAL_SECTOR_SIZE) {
                Context->LogicalSectorSize = size.SectorSize;
            } else {
                Context->PhysicalSectorSize = size.SectorSize;
            }
        } else {
            VHDX_PARENT_LOCATOR_HEADER locator;
            VhdxLoadParentLocatorHeader(bytes, &locator);
            if (VhdxGuidEqual(locator.LocatorType, VHDX_PARENT_LOCATOR_TYPE_GUID)) {
                status = ScanParentLocator(buffer, length, value, locator, Context);
                if (!NT_SUCCESS(status)) {
                    return status;
                }
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
        const NTSTATUS status =
            ReadImage(RelatedObjects, Context, BatRegion->FileOffset, BatRegion->Length, bat.Get());
        if (!NT_SUCCESS(status)) {
            PONTOR_PAGED_LOG("FltReadFile failed with status 0x%x\n", status);
            return status;
        }
    }
    PONTOR_PAGED_LOG("Block Allocation Table (BAT) at offset %I64d (0x%I64X)\n",
                     BatRegion->FileOffset, BatRegion->FileOffset);

    VhdxGeometry geometry;
    const VHDX_GEOMETRY_RESULT result = VhdxDeriveGeometry(
        Context->VirtualDiskSize, Context->BlockSize, Context->LogicalSectorSize, &geometry);
    if (result == VHDX_GEOMETRY_NO_CHUNK_RATIO) {
        PONTOR_PAGED_LOG("ChunkRatio of LogicalSectorSize %d and BlockSize %d is zero\n",
                         Context->LogicalSectorSize, Context->BlockSize);
        return STATUS_UNKNOWN_REVISION;
    }
    if (result == VHDX_GEOMETRY_BEYOND_BAT_INDEX) {
        PONTOR_PAGED_LOG("%I64d payload blocks need more BAT entries than a 32-bit index reaches\n",
                         geometry.DataBlocksCount);
        return STATUS_UNKNOWN_REVISION;
    }

    VhdxRecordBatGeometry(&geometry, BatRegion, Context);
    return STATUS_SUCCESS;
}
