// The VHDX image reader: the per-image record and the routines that fill it
// from an image file and translate reads of its virtual disk.
#pragma once

#include "vhdx/vhdx_format.h"

// One per opened image file. Filled by the parse; read-only once a binding
// has succeeded. Owned by the stream context, which closes the file and frees
// the record.
struct VhdxContext {
    ULONGLONG VirtualDiskSize;
    ULONG BlockSize;
    ULONG LogicalSectorSize;
    ULONG PhysicalSectorSize;
    ULONG ChunkRatio;  // payload blocks per chunk of the BAT
    ULONGLONG DataBlocksCount;
    ULONGLONG TotalBatEntries;  // up to and including the last payload block's entry
    ULONGLONG DataSize;         // served size: whole blocks, rounded up to 1 MiB
    ULONGLONG BatOffset;
    ULONG BatLength;
    HANDLE FileHandle;
    PFILE_OBJECT FileObject;                   // every read of the image goes to it
    ULONG HasParent;                           // 0 or 1
    WCHAR ParentPath[VHDX_PARENT_PATH_CHARS];  // NUL-terminated
};

struct StreamContext;

// CRC-32C (Castagnoli, reflected 0x82F63B78). Zero bytes give 0.
ULONG VhdxComputeChecksum(const UCHAR* Buffer, ULONGLONG Length);

// The same in pieces: Final(Update(...Update(Init(), first)..., last)).
ULONG VhdxCrc32cInit();
ULONG VhdxCrc32cUpdate(ULONG State, const UCHAR* Buffer, ULONGLONG Length);
ULONG VhdxCrc32cFinal(ULONG State);
// Adds a checksummed structure of Size bytes (at least 8) with its Checksum
// field taken as zero, leaving the structure as it is.
ULONG VhdxCrc32cUpdateStructure(ULONG State, const UCHAR* Structure, ULONG Size);

// Fills Context (whose FileObject is set) from the image. The instance of
// RelatedObjects serves every allocation and read. Allocates nothing that
// outlives the call; a failure leaves the fields written before it.
NTSTATUS VhdxParseHeader(PCFLT_RELATED_OBJECTS RelatedObjects, VhdxContext* Context);

// Fills the geometry, HasParent and ParentPath from the metadata region.
NTSTATUS VhdxParseMetadata(PCFLT_RELATED_OBJECTS RelatedObjects,
                           const VHDX_REGION_TABLE_ENTRY* MetadataRegion, VhdxContext* Context);

// Proves the BAT region readable and derives ChunkRatio, the block counts,
// DataSize and the BAT position. Needs the metadata fields.
NTSTATUS VhdxParseBlockAllocationTable(PCFLT_RELATED_OBJECTS RelatedObjects,
                                       const VHDX_REGION_TABLE_ENTRY* BatRegion,
                                       VhdxContext* Context);

// What VhdxParseBlockAllocationTable records once the BAT proved readable:
// the derived geometry and the region's position.
inline VOID VhdxRecordBatGeometry(const VhdxGeometry* Geometry,
                                  const VHDX_REGION_TABLE_ENTRY* BatRegion, VhdxContext* Context) {
    Context->ChunkRatio = Geometry->ChunkRatio;
    Context->DataBlocksCount = Geometry->DataBlocksCount;
    Context->TotalBatEntries = Geometry->TotalBatEntries;
    Context->DataSize = Geometry->DataSize;
    Context->BatOffset = BatRegion->FileOffset;
    Context->BatLength = BatRegion->Length;
}

// Reads Length bytes of Image's virtual disk from Offset into Destination
// and stores the count produced in *BytesRead. Only the instance of
// RelatedObjects is used, and only ParentVhdxFileContext of Stream (the
// image that absent data comes from). STATUS_END_OF_FILE for an Offset at or
// beyond DataSize leaves *BytesRead untouched; any other failure sets it to
// 0. A short count with success means the request ran into DataSize, the end
// of the BAT region or a short read.
NTSTATUS VhdxProcessRead(PCFLT_RELATED_OBJECTS RelatedObjects, StreamContext* Stream,
                         VhdxContext* Image, ULONGLONG Offset, ULONG Length, PVOID Destination,
                         PULONG BytesRead);

// Serves a range inside one partially present block of Image, whose BAT
// entry is *PayloadEntry, sector by sector through the chunk's sector bitmap.
NTSTATUS VhdxReadPartialBlock(PCFLT_RELATED_OBJECTS RelatedObjects, StreamContext* Stream,
                              VhdxContext* Image, const ULONGLONG* PayloadEntry, ULONGLONG Offset,
                              ULONG Length, PVOID Destination, PULONG BytesRead);
