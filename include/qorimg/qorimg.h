/* qorimg: GIF reading and writing, TIFF reading, delivered as packed DIBs.
 *
 * This header compiles as C (C99 or later) and as C++. Everything it declares is exported from
 * the shared library; nothing else is.
 */
#ifndef QORIMG_QORIMG_H
#define QORIMG_QORIMG_H

#include <stddef.h>
#include <stdint.h>

/* Calling conventions. The entry points, the block and document calls and the progress callback
 * use the C convention (the caller removes the arguments); the host imaging calls that qorhost.dll
 * exports use the standard convention (the callee removes them). Only 32-bit Windows tells the
 * two apart. */
#if defined(_WIN32)
#define QOR_CALL __cdecl
#define QOR_HOSTCALL __stdcall
#else
#define QOR_CALL
#define QOR_HOSTCALL
#endif

/* On Windows the DLL's export table comes from its .def file, which lists the undecorated names. */
#if defined(_WIN32)
#if defined(QORIMG_BUILDING)
#define QOR_API
#else
#define QOR_API __declspec(dllimport)
#endif
#elif defined(QORIMG_BUILDING) && (defined(__GNUC__) || defined(__clang__))
#define QOR_API __attribute__((visibility("default")))
#else
#define QOR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* A movable memory block handle: 0 means none or failure. On 32-bit Windows it is the kernel's own
 * HGLOBAL: a host may pass a block from GlobalAlloc to QorWriteGIF and free a delivered DIB with
 * GlobalFree (see the document calls for what that means for a document). Elsewhere, 64-bit
 * Windows included, it is a 32-bit id of a real block, so that it fits the record's 32-bit handle
 * fields; use the Qor block calls there. */
typedef uint32_t QorHandle;

/* What the progress callback receives: `done` runs 0 to 100 with `total` 100. `userValue` is
 * the value given to the entry point, handed back unchanged. */
typedef struct QorProgressInfo {
    uint32_t userValue;
    uint32_t done;
    uint32_t total;
} QorProgressInfo;

/* Return non-zero during the work to cancel it (status QOR_CANCELLED): everything is freed and
 * nothing is delivered. The result of the opening call (done 0, before any work) and of a call
 * with done 100 (a GIF, or one TIFF page, finished) is not taken as a cancel, since the work it
 * reports is complete: a callback that keeps returning non-zero stops a
 * TIFF read of several pages during the next page. */
typedef int32_t(QOR_CALL* QorProgressProc)(QorProgressInfo* info);

/* Status codes. 0 is success; any other value that the host document layer returns is passed
 * through unchanged. */
enum {
    QOR_OK = 0,
    QOR_CANCELLED = 100,
    QOR_BAD_REQUEST = 101,
    QOR_NO_MEMORY = 102,
    QOR_CREATE_FAILED = 200,
    QOR_OPEN_FAILED = 201,
    QOR_READ_FAILED = 202,
    QOR_WRITE_FAILED = 203,
    QOR_NOT_GIF = 304,
    QOR_NOT_TIFF = 318,
    QOR_GIF_CODE_OVERFLOW = 503,
    QOR_TIFF_COMPRESSION = 531,
    QOR_FAX_BAD_DATA = 532,
    QOR_TIFF_PLANAR = 533,
    QOR_TIFF_UNSUPPORTED = 534,
    QOR_TIFF_PREDICTOR_COMBINATION = 535,
    QOR_TIFF_PREDICTOR = 536,
    QOR_TIFF_MAGIC_OR_OPTIONS = 537,
    QOR_TIFF_BAD_DATA = 538,
    QOR_TIFF_TOO_LARGE = 602
};

/* A short English description of a status code (never null). */
/* clang-format off */
static inline const char* QorStatusText(int status) {
    switch (status) {
        case QOR_OK: return "success";
        case QOR_CANCELLED: return "cancelled by the progress callback";
        case QOR_BAD_REQUEST: return "bad request (missing file name, bitmap or output, or unusable bitmap)";
        case QOR_NO_MEMORY: return "out of memory, or the image is too large for one memory block";
        case QOR_CREATE_FAILED: return "the output file cannot be created";
        case QOR_OPEN_FAILED: return "the file cannot be opened";
        case QOR_READ_FAILED: return "the file ended early or cannot be read";
        case QOR_WRITE_FAILED: return "the output file cannot be written";
        case QOR_NOT_GIF: return "not a GIF file, or a damaged GIF block structure";
        case QOR_NOT_TIFF: return "not a TIFF file, or a page without width, height or strips";
        case QOR_GIF_CODE_OVERFLOW: return "damaged GIF image data (a code string is too long)";
        case QOR_TIFF_COMPRESSION: return "unsupported TIFF compression";
        case QOR_FAX_BAD_DATA: return "damaged fax-coded data";
        case QOR_TIFF_PLANAR: return "unsupported TIFF planar configuration";
        case QOR_TIFF_UNSUPPORTED: return "unsupported TIFF sample layout";
        case QOR_TIFF_PREDICTOR_COMBINATION:
            return "TIFF predictor 2 needs LZW compression and 8 bits per sample";
        case QOR_TIFF_PREDICTOR: return "unsupported TIFF predictor";
        case QOR_TIFF_MAGIC_OR_OPTIONS: return "bad TIFF magic number or unsupported fax options";
        case QOR_TIFF_BAD_DATA: return "damaged TIFF image data (a Deflate or JPEG stream)";
        case QOR_TIFF_TOO_LARGE: return "TIFF page wider or taller than 32767 pixels";
        default: return "refused by the document layer";
    }
}
/* clang-format on */

/* Reads the first image of a GIF file. On success *result is the delivered DIB (the first and
 * only layer of a document, see QorDocumentLayers) and *transparentIndex the transparent colour
 * index or -1. On failure neither output is written. */
QOR_API int16_t QOR_CALL QorReadGIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result,
                                    int16_t* transparentIndex);

/* Writes a packed DIB of 1, 4 or 8 bits per pixel as a GIF file. transparentOption (low byte):
 * 0 writes GIF87a; 1 writes GIF89a and, when transparentIndex is 0 to 255, a graphic control
 * extension naming it; 2 writes GIF89a naming colour 0. The caller keeps the bitmap. */
QOR_API int16_t QOR_CALL QorWriteGIF(QorProgressProc progress, uint32_t userValue,
                                     const char* fileName, QorHandle bitmap,
                                     uint32_t transparentOption, uint32_t interlaced,
                                     uint32_t transparentIndex);

/* Reads every page of a TIFF file. On success *result is the first page's DIB; all pages are
 * the layers of one document (QorDocumentLayers). On failure *result is not written. */
QOR_API int16_t QOR_CALL QorReadTIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result);

/* Documents: every successful read makes one, keyed by its first DIB handle. A host frees a
 * document of several layers in one of two ways:
 *  - QorReleaseDocument(first), which frees every layer still in the document. QorGlobalFree of a
 *    layer takes it out of its document, so layers freed that way before are not freed again.
 *  - Layer by layer: QorDocumentLayers lists the handles, and the host frees each with
 *    QorGlobalFree (or GlobalFree on 32-bit Windows).
 * Freeing the first layer ends the document: the library forgets it and frees none of its other
 * layers, which stay the host's to free (list them first). QorDocumentLayers and
 * QorReleaseDocument then find no document (0, QOR_BAD_REQUEST).
 *
 * On 32-bit Windows the library does not see GlobalFree, and the kernel hands a freed handle's
 * value to the next GlobalAlloc, the host's included. A host that frees a layer with GlobalFree
 * therefore frees the document's other layers itself too and never passes the document to
 * QorReleaseDocument. The library checks anyway: it frees a layer only while its handle names a
 * block of the size it delivered that still starts with the DIB header it delivered (size, width,
 * height, planes, bit count), so after GlobalFree of the first layer, QorReleaseDocument on that
 * value frees nothing, unless the kernel has meanwhile given the value to a block of that very
 * size into which the host has copied a DIB of the same header. A host that rewrites those header
 * fields of a delivered DIB in place frees that layer itself. */

/* Stores up to `capacity` DIB handles of the document whose first layer is `firstDib`, in layer
 * order, and returns the document's layer count (0 when no such document is known). */
QOR_API uint32_t QOR_CALL QorDocumentLayers(QorHandle firstDib, QorHandle* handles,
                                            uint32_t capacity);

/* Frees every DIB still in the document whose first layer is `firstDib`, and forgets the
 * document. Returns 0, or QOR_BAD_REQUEST when no such document is known. */
QOR_API int16_t QOR_CALL QorReleaseDocument(QorHandle firstDib);

/* Movable memory blocks, the same kind that the readers deliver and the writer takes. */
enum { QOR_GMEM_FIXED = 0x0000, QOR_GMEM_MOVEABLE = 0x0002, QOR_GMEM_ZEROINIT = 0x0040 };

/* Allocates a block of `bytes` bytes (at most 2^31 - 1); 0 on failure. */
QOR_API QorHandle QOR_CALL QorGlobalAlloc(uint32_t flags, uint64_t bytes);
/* Locks a block and returns its address (null for an unknown handle); locks nest. */
QOR_API void* QOR_CALL QorGlobalLock(QorHandle block);
/* Undoes one lock; returns non-zero while the block stays locked. */
QOR_API int QOR_CALL QorGlobalUnlock(QorHandle block);
/* Frees a block; returns 0 on success, or the handle itself when it is unknown. A DIB of a
 * document leaves the document (see above). The handle of a movable block that the library
 * allocated, every delivered DIB among them, is not reused soon after. */
QOR_API QorHandle QOR_CALL QorGlobalFree(QorHandle block);
/* The size of a block in bytes, 0 for an unknown handle. */
QOR_API uint64_t QOR_CALL QorGlobalSize(QorHandle block);

#ifdef __cplusplus
}
#endif

#endif /* QORIMG_QORIMG_H */
