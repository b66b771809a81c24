// Read translation: a range of the virtual disk becomes reads of payload
// blocks, zeros, reads of the parent image, and sector-by-sector reads of
// partially present blocks. Data goes straight into the caller's buffer.
#include "stub/stub.h"
#include "vhdx/pontor.h"
#include "vhdx/vhdx.h"

namespace {

// Data, BAT and bitmap reads keep the file object's byte offset.
constexpr ULONG kReadFlags = FLTFL_IO_OPERATION_DO_NOT_UPDATE_BYTE_OFFSET;

NTSTATUS ReadImage(PCFLT_RELATED_OBJECTS RelatedObjects, const VhdxContext* Image, ULONGLONG Offset,
                   ULONG Length, PVOID Buffer, PULONG BytesRead) {
    LARGE_INTEGER byteOffset;
    byteOffset.QuadPart = (LONGLONG)Offset;
    return FltReadFile(RelatedObjects->Instance, Image->FileObject, &byteOffset, Length, Buffer,
                       kReadFlags, BytesRead, NULL, NULL);
}

// A BAT entry whose block lies beyond the largest file offset: the image is
// damaged, and no byte of it may be served.
NTSTATUS RefuseEntry(const char* Routine, ULONGLONG Entry) {
    PONTOR_LOG_AS(Routine, "BAT entry 0x%016llx places its block beyond the largest file offset\n",
                  Entry);
    return STATUS_UNRECOGNIZED_MEDIA;
}

// The image that data absent from Image comes from, or null when there is
// none: a stand-alone image, or the parent itself, whose absent data would
// otherwise lead back to its own sectors. Resolved once per request, at the
// routine the request enters by.
VhdxContext* ParentOf(const StreamContext* Stream, const VhdxContext* Image) {
    VhdxContext* parent = Stream->ParentVhdxFileContext;
    return (Image->HasParent && parent != Image) ? parent : NULL;
}

// The bodies of VhdxProcessRead and VhdxReadPartialBlock, given Image's
// parent. A read of the parent itself is given none, as ParentOf would find:
// the stream's parent is that image.
NTSTATUS ReadVirtualDisk(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Image,
                         VhdxContext* Parent, ULONGLONG Offset, ULONG Length, PVOID Destination,
                         PULONG BytesRead);
NTSTATUS ReadPartialBlock(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Image,
                          VhdxContext* Parent, const ULONGLONG* PayloadEntry, ULONGLONG Offset,
                          ULONG Length, PVOID Destination, PULONG BytesRead);

// Bytes Image does not hold: zeros when it names no parent, the parent's
// bytes when it does. A differencing image whose parent did not resolve
// cannot serve them. Failures are logged as Routine's.
NTSTATUS ReadAbsent(const char* Routine, PCFLT_RELATED_OBJECTS RelatedObjects,
                    const VhdxContext* Image, VhdxContext* Parent, ULONGLONG Offset, ULONG Length,
                    UCHAR* Destination, PULONG Produced) {
    if (!Image->HasParent) {
        RtlZeroMemory(Destination, Length);
        *Produced = Length;
        return STATUS_SUCCESS;
    }
    const NTSTATUS status = Parent != NULL ? ReadVirtualDisk(RelatedObjects, Parent, NULL, Offset,
                                                             Length, Destination, Produced)
                                           : STATUS_UNRECOGNIZED_MEDIA;
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS(Routine,
                      "VhdxProcessRead failed with status 0x%x while reading data from parent "
                      "VHDX file at offset 0x%I64x\n",
                      status, Offset);
    }
    return status;
}

// Everything one call keeps, in one trivially destructible record, so the
// guarded body and its release step share it.
struct ReadRequest {
    PCFLT_RELATED_OBJECTS RelatedObjects;
    VhdxContext* Image;
    VhdxContext* Parent;  // where absent data comes from, or null
    ULONGLONG Offset;     // current virtual-disk offset
    ULONG Remaining;      // bytes still wanted
    UCHAR* Destination;   // next destination byte
    PULONG BytesRead;     // caller's out value, updated in place
    ULONGLONG* Entries;   // BAT entries from the first needed one
    ULONG EntryCount;     // whole entries the BAT read returned
    ULONG Countdown;      // payload entries left before the next sector bitmap entry
};

void ReleaseBatBuffer(PVOID Context) {
    ReadRequest* request = (ReadRequest*)Context;
    FltFreePoolAlignedWithTag(request->RelatedObjects->Instance, request->Entries, PONTOR_IO_TAG);
}

NTSTATUS WalkBlocks(PVOID Context) {
    ReadRequest* r = (ReadRequest*)Context;
    const VhdxContext* image = r->Image;

    for (ULONG i = 0; i < r->EntryCount && r->Remaining != 0; i++) {
        if (r->Countdown == 0) {
            // The chunk's sector bitmap entry: no bytes of its own.
            r->Countdown = image->ChunkRatio;
            continue;
        }
        const ULONGLONG entry = VhdxLoadBatEntry((const UCHAR*)&r->Entries[i]);
        VhdxLocation at;
        VhdxLocate(image->BlockSize, image->ChunkRatio, image->LogicalSectorSize, r->Offset, &at);
        const ULONG step = r->Remaining < at.BlockRemaining ? r->Remaining : at.BlockRemaining;
        const ULONG state = VhdxBatEntryState(entry);
        ULONG produced = 0;
        NTSTATUS status = STATUS_SUCCESS;

        switch (state) {
            case PAYLOAD_BLOCK_NOT_PRESENT:
                status = ReadAbsent("VhdxProcessRead", r->RelatedObjects, image, r->Parent,
                                    r->Offset, step, r->Destination, &produced);
                break;
            case PAYLOAD_BLOCK_UNDEFINED:
            case PAYLOAD_BLOCK_ZERO:
            case PAYLOAD_BLOCK_UNMAPPED:
                RtlZeroMemory(r->Destination, step);
                produced = step;
                break;
            case PAYLOAD_BLOCK_PARTIALLY_PRESENT:
                status = ReadPartialBlock(r->RelatedObjects, r->Image, r->Parent, &entry, r->Offset,
                                          step, r->Destination, &produced);
                if (!NT_SUCCESS(status)) {
                    PONTOR_LOG_AS(
                        "VhdxProcessRead",
                        "VhdxReadPartialBlock failed with status 0x%x while reading data from "
                        "parent VHDX file at offset 0x%I64x\n",
                        status, r->Offset);
                }
                break;
            default: {
                // Fully present, and the two states the format reserves.
                const ULONGLONG position = VhdxBatEntryFileOffset(entry) + at.WithinBlock;
                if (!VhdxWithinFileOffsets(VhdxBatEntryFileOffset(entry),
                                           (ULONGLONG)at.WithinBlock + step)) {
                    status = RefuseEntry("VhdxProcessRead", entry);
                    break;
                }
                status =
                    ReadImage(r->RelatedObjects, image, position, step, r->Destination, &produced);
                if (!NT_SUCCESS(status)) {
                    PONTOR_LOG_AS(
                        "VhdxProcessRead",
                        "FltReadFile failed with status 0x%x while reading data from VHDX file "
                        "at offset 0x%016llx\n",
                        status, position);
                } else if (produced < step) {
                    PONTOR_LOG_AS(
                        "VhdxProcessRead",
                        "FltReadFile read 0x%x of requested 0x%x while reading data from VHDX "
                        "file at offset 0x%016llx\n",
                        produced, step, position);
                }
                break;
            }
        }
        if (!NT_SUCCESS(status)) {
            *r->BytesRead = 0;
            return status;
        }

        *r->BytesRead += produced;
        r->Offset += produced;
        r->Destination += produced;
        r->Remaining -= produced;
        if (produced < step) {
            if (state == PAYLOAD_BLOCK_NOT_PRESENT || state == PAYLOAD_BLOCK_PARTIALLY_PRESENT) {
                PONTOR_LOG_AS(
                    "VhdxProcessRead",
                    "FltReadFile read 0x%x of requested 0x%x while reading data from VHDX "
                    "file at offset 0x%I64x\n",
                    produced, step, r->Offset);
            }
            return STATUS_SUCCESS;
        }
        r->Countdown--;
    }
    return STATUS_SUCCESS;
}

struct PartialRequest {
    PCFLT_RELATED_OBJECTS RelatedObjects;
    VhdxContext* Image;
    VhdxContext* Parent;  // where absent data comes from, or null
    ULONGLONG Offset;     // current virtual-disk offset
    ULONG Remaining;
    UCHAR* Destination;
    PULONG BytesRead;
    ULONGLONG Position;  // file position of the current byte in the payload block
    UCHAR* Bitmap;
    ULONG BitmapBytes;  // bytes of the sector bitmap block the read returned
    ULONG Bit;          // current sector's bit in the chunk's bitmap
};

void ReleaseBitmap(PVOID Context) {
    PartialRequest* request = (PartialRequest*)Context;
    FltFreePoolAlignedWithTag(request->RelatedObjects->Instance, request->Bitmap, PONTOR_IO_TAG);
}

NTSTATUS WalkSectors(PVOID Context) {
    PartialRequest* r = (PartialRequest*)Context;
    const VhdxContext* image = r->Image;
    RTL_BITMAP bitmap;
    RtlInitializeBitMap(&bitmap, (PULONG)r->Bitmap, VHDX_SECTORS_PER_BITMAP);

    while (r->Remaining != 0) {
        const ULONG withinSector = (ULONG)(r->Offset % image->LogicalSectorSize);
        const ULONG step = r->Remaining < image->LogicalSectorSize - withinSector
                               ? r->Remaining
                               : image->LogicalSectorSize - withinSector;

        // Geometries whose blocks straddle a chunk's 2^23 sectors would run
        // past the bitmap; bits a short read left unfilled decide nothing.
        if (r->Bit >= VHDX_SECTORS_PER_BITMAP) {
            PONTOR_LOG_AS("VhdxReadPartialBlock",
                          "Sector bit 0x%x lies beyond the chunk's sector bitmap\n", r->Bit);
            *r->BytesRead = 0;
            return STATUS_UNRECOGNIZED_MEDIA;
        }
        if (r->Bit / 8 >= r->BitmapBytes) {
            PONTOR_LOG_AS("VhdxReadPartialBlock",
                          "Sector bit 0x%x was not read from the sector bitmap\n", r->Bit);
            *r->BytesRead = 0;
            return STATUS_UNRECOGNIZED_MEDIA;
        }

        ULONG produced = 0;
        NTSTATUS status;
        const BOOLEAN here = RtlTestBit(&bitmap, r->Bit);
        if (here) {
            status =
                ReadImage(r->RelatedObjects, image, r->Position, step, r->Destination, &produced);
            if (!NT_SUCCESS(status)) {
                PONTOR_LOG_AS(
                    "VhdxReadPartialBlock",
                    "FltReadFile failed with status 0x%x while reading data from VHDX file "
                    "at offset 0x%016llx\n",
                    status, r->Position);
            }
        } else {
            status = ReadAbsent("VhdxReadPartialBlock", r->RelatedObjects, image, r->Parent,
                                r->Offset, step, r->Destination, &produced);
        }
        if (!NT_SUCCESS(status)) {
            *r->BytesRead = 0;
            return status;
        }

        *r->BytesRead += produced;
        r->Offset += produced;
        r->Position += produced;
        r->Destination += produced;
        r->Remaining -= produced;
        if (produced < step) {
            if (here) {
                PONTOR_LOG_AS(
                    "VhdxReadPartialBlock",
                    "FltReadFile read 0x%x of requested 0x%x while reading data from VHDX "
                    "file at offset 0x%016llx\n",
                    produced, step, r->Position);
            } else {
                PONTOR_LOG_AS(
                    "VhdxReadPartialBlock",
                    "FltReadFile read 0x%x of requested 0x%x while reading data from VHDX "
                    "file at offset 0x%I64x\n",
                    produced, step, r->Offset);
            }
            return STATUS_SUCCESS;
        }
        r->Bit++;
    }
    return STATUS_SUCCESS;
}

NTSTATUS ReadVirtualDisk(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Image,
                         VhdxContext* Parent, ULONGLONG Offset, ULONG Length, PVOID Destination,
                         PULONG BytesRead) {
    if (Offset >= Image->DataSize) {
        return STATUS_END_OF_FILE;
    }
    VhdxLocation first;
    VhdxLocate(Image->BlockSize, Image->ChunkRatio, Image->LogicalSectorSize, Offset, &first);
    const ULONG firstIndex = (ULONG)first.EntryIndex;
    if (Offset + Length > Image->DataSize) {
        Length = (ULONG)(Image->DataSize - Offset);
    }
    ULONG count = 0;
    if (Length != 0) {
        VhdxLocation last;
        VhdxLocate(Image->BlockSize, Image->ChunkRatio, Image->LogicalSectorSize,
                   Offset + Length - 1, &last);
        count = (ULONG)last.EntryIndex - firstIndex + 1;
    }
    *BytesRead = 0;

    const ULONGLONG position = Image->BatOffset + 8ULL * firstIndex;
    const ULONGLONG end = Image->BatOffset + Image->BatLength;
    if (position >= end) {
        PONTOR_LOG_AS("VhdxProcessRead",
                      "Trying to read beyond the BAT Data. Calculated offset 0x%016llx. Available "
                      "Data Boundary 0x%016llx\n",
                      position, end);
        return STATUS_UNSUCCESSFUL;
    }
    if (position + 8ULL * count > end) {
        count = (ULONG)((end - position) / 8);
    }
    // Nothing to fetch: a zero length, or a BAT that ends inside the entry.
    if (count == 0) {
        return STATUS_SUCCESS;
    }

    ReadRequest request;
    request.RelatedObjects = RelatedObjects;
    request.Image = Image;
    request.Parent = Parent;
    request.Offset = Offset;
    request.Remaining = Length;
    request.Destination = (UCHAR*)Destination;
    request.BytesRead = BytesRead;
    request.Entries = (ULONGLONG*)FltAllocatePoolAlignedWithTag(
        RelatedObjects->Instance, NonPagedPoolNx, 8ULL * count, PONTOR_IO_TAG);
    if (request.Entries == NULL) {
        PONTOR_LOG_AS("VhdxProcessRead", "FltAllocatePoolAlignedWithTag for BAT Buffer failed \n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    ULONG bytes = 0;
    NTSTATUS status =
        ReadImage(RelatedObjects, Image, position, 8 * count, request.Entries, &bytes);
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS("VhdxProcessRead",
                      "FltReadFile failed with status 0x%x while reading BAT entries from VHDX "
                      "file\n",
                      status);
        FltFreePoolAlignedWithTag(RelatedObjects->Instance, request.Entries, PONTOR_IO_TAG);
        return status;
    }
    if (bytes < 8 * count) {
        PONTOR_LOG_AS("VhdxProcessRead",
                      "FltReadFile read 0x%x bytes of required 0x%x while reading BAT entries from "
                      "VHDX file\n",
                      bytes, 8 * count);
    }
    // Entries the read did not fill are never taken for BAT entries.
    request.EntryCount = bytes / 8;
    request.Countdown = Image->ChunkRatio - (ULONG)(first.Block % Image->ChunkRatio);
    return PontorCallGuarded(WalkBlocks, ReleaseBatBuffer, &request);
}

NTSTATUS ReadPartialBlock(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Image,
                          VhdxContext* Parent, const ULONGLONG* PayloadEntry, ULONGLONG Offset,
                          ULONG Length, PVOID Destination, PULONG BytesRead) {
    VhdxLocation at;
    VhdxLocate(Image->BlockSize, Image->ChunkRatio, Image->LogicalSectorSize, Offset, &at);
    // In 64 bits: the last chunk's bitmap entry can lie past the 32-bit
    // indices the payload entries fit in, and a truncated index would name
    // some other entry inside the region.
    const ULONGLONG bitmapIndex = VhdxSectorBitmapEntryIndex(at.Block, Image->ChunkRatio);
    const ULONGLONG position = Image->BatOffset + 8 * bitmapIndex;
    const ULONGLONG end = Image->BatOffset + Image->BatLength;

    *BytesRead = 0;
    if (position >= end) {
        PONTOR_LOG_AS("VhdxReadPartialBlock",
                      "Trying to read beyond the BAT Data. Calculated offset 0x%016llx. Available "
                      "Data Boundary 0x%016llx\n",
                      position, end);
        return STATUS_UNSUCCESSFUL;
    }
    // Every sector's file position is the block's offset plus its place in
    // the block: checked whole before any is formed, so that no sum wraps
    // round to the start of the file.
    if (!VhdxWithinFileOffsets(VhdxBatEntryFileOffset(*PayloadEntry),
                               (ULONGLONG)at.WithinBlock + Length)) {
        return RefuseEntry("VhdxReadPartialBlock", *PayloadEntry);
    }

    ULONGLONG bitmapEntry = 0;
    ULONG bytes = 0;
    NTSTATUS status =
        ReadImage(RelatedObjects, Image, position, sizeof(bitmapEntry), &bitmapEntry, &bytes);
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS("VhdxReadPartialBlock",
                      "FltReadFile failed with status 0x%x while reading BAT entries from VHDX "
                      "file\n",
                      status);
        return status;
    }
    if (bytes != sizeof(bitmapEntry)) {
        PONTOR_LOG_AS(
            "VhdxReadPartialBlock",
            "FltReadFile read 0x%x bytes of required 0x%x while reading Sector BAT entries "
            "from VHDX file\n",
            bytes, (ULONG)sizeof(bitmapEntry));
        // What arrived stands and the rest stays zero; the state and offset
        // checks below decide whether such an entry can be used.
    }
    bitmapEntry = VhdxLoadBatEntry((const UCHAR*)&bitmapEntry);
    if (VhdxBatEntryState(bitmapEntry) != SB_BLOCK_PRESENT) {
        PONTOR_LOG_AS("VhdxReadPartialBlock", "Sector Bitmap Data SB_BLOCK_NOT_PRESENT\n");
        return STATUS_UNRECOGNIZED_MEDIA;
    }
    if (!VhdxWithinFileOffsets(VhdxBatEntryFileOffset(bitmapEntry),
                               VHDX_SECTOR_BITMAP_BLOCK_SIZE)) {
        return RefuseEntry("VhdxReadPartialBlock", bitmapEntry);
    }

    PartialRequest request;
    request.RelatedObjects = RelatedObjects;
    request.Image = Image;
    request.Parent = Parent;
    request.Offset = Offset;
    request.Remaining = Length;
    request.Destination = (UCHAR*)Destination;
    request.BytesRead = BytesRead;
    request.Bitmap = (UCHAR*)FltAllocatePoolAlignedWithTag(
        RelatedObjects->Instance, NonPagedPoolNx, VHDX_SECTOR_BITMAP_BLOCK_SIZE, PONTOR_IO_TAG);
    if (request.Bitmap == NULL) {
        PONTOR_LOG_AS("VhdxReadPartialBlock", "FltAllocatePoolAlignedWithTag for Bitmap failed \n");
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const ULONGLONG bitmapPosition = VhdxBatEntryFileOffset(bitmapEntry);
    status = ReadImage(RelatedObjects, Image, bitmapPosition, VHDX_SECTOR_BITMAP_BLOCK_SIZE,
                       request.Bitmap, &request.BitmapBytes);
    if (!NT_SUCCESS(status)) {
        PONTOR_LOG_AS("VhdxReadPartialBlock",
                      "FltReadFile failed with status 0x%x while reading Sector Bitmap data "
                      "0x%016llx\n",
                      status, bitmapPosition);
        FltFreePoolAlignedWithTag(RelatedObjects->Instance, request.Bitmap, PONTOR_IO_TAG);
        return status;
    }
    request.Bit = at.SectorBit;
    request.Position = VhdxBatEntryFileOffset(*PayloadEntry) + at.WithinBlock;
    return PontorCallGuarded(WalkSectors, ReleaseBitmap, &request);
}

}  // namespace

NTSTATUS VhdxProcessRead(PCFLT_RELATED_OBJECTS RelatedObjects, StreamContext* Stream,
                         VhdxContext* Image, ULONGLONG Offset, ULONG Length, PVOID Destination,
                         PULONG BytesRead) {
    return ReadVirtualDisk(RelatedObjects, Image, ParentOf(Stream, Image), Offset, Length,
                           Destination, BytesRead);
}

NTSTATUS VhdxReadPartialBlock(PCFLT_RELATED_OBJECTS RelatedObjects, StreamContext* Stream,
                              VhdxContext* Image, const ULONGLONG* PayloadEntry, ULONGLONG Offset,
                              ULONG Length, PVOID Destination, PULONG BytesRead) {
    return ReadPartialBlock(RelatedObjects, Image, ParentOf(Stream, Image), PayloadEntry, Offset,
                            Length, Destination, BytesRead);
}
