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
        case QOR_GIF_CODE_OVERFLOW:
            return "damaged GIF image data (a code string is too long, or a code names no string)";
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

/* The library's own text of a status as a read with `flags` (QOR_READ_EXTENDED or 0) gives it:
 * QorStatusText's words, except where the rules of that read differ (an extended read takes
 * predictor 2 with LZW, Deflate and the other codings of bytes, so 533 there names the samples
 * alone). Never null; the text is the library's and stays valid. Hosts and the tool print it
 * rather than keeping texts of their own. */
QOR_API const char* QOR_CALL QorStatusTextFor(int status, uint32_t flags);

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
 * the layers of one document (QorDocumentLayers). On failure *result is not written. The
 * environment variable QORIMG_THREADS gives the threads it may use, as QorReadOptions.threads
 * does (absent: 0). */
QOR_API int16_t QOR_CALL QorReadTIF(QorProgressProc progress, uint32_t userValue,
                                    const char* fileName, uint32_t* result);

/* Reading on the caller's terms: the options of QorReadTIFEx and QorReadGIFEx.
 *
 * The record starts with its own size, so that it can grow: set `size` to sizeof(QorReadOptions)
 * and every other field to 0 for the defaults, which read exactly as QorReadTIF and QorReadGIF
 * do. A larger size is taken when the bytes past the fields known here are 0 (a caller built
 * with a later header that asks for nothing new); a smaller one, a set bit of `flags` that this
 * version does not know, or a non-zero `reserved`, gives QOR_BAD_REQUEST. The layout is the same
 * on 32-bit and 64-bit builds. */
typedef struct QorReadOptions {
    uint32_t size;        /*  0: sizeof(QorReadOptions) */
    uint32_t flags;       /*  4: QOR_READ_EXTENDED or 0; every other bit is reserved, must be 0 */
    uint32_t firstPage;   /*  8: TIFF: the first page to decode, 0 for the file's first */
    uint32_t pageCount;   /* 12: TIFF: the pages to decode from there; 0 for all to the last */
    uint64_t memoryLimit; /* 16: bytes that this read may take together: its DIBs, scratch
                           *     images and the decoders' working memory; 0 for the
                           *     default, 4 GiB (QOR_DEFAULT_MEMORY_LIMIT) */
    uint32_t threads;     /* 24: TIFF: threads that decode a page's strips, or pages side by
                           *     side: 1 for the caller's alone, 0 for the machine's processors;
                           *     at most 16. The DIBs, statuses and progress calls (all made on
                           *     the caller's thread) are the same for every count; no thread
                           *     outlives the call */
    uint32_t reserved;    /* 28: must be 0 */
} QorReadOptions;

/* QOR_READ_EXTENDED: read what the classic reads refuse, as image viewers show it. TIFF: Deflate
 * and JPEG data, two-dimensional Group 3 data, old-style LZW data, tiled pages, 16-bit samples,
 * separate planes; orientation applied, alpha kept (32-bit DIBs), CMYK and 4-bit grey as viewers
 * convert them, the resolution in the DIB header. GIF: every frame, composed as the animation
 * shows it, as a layer of the screen's size (see QorReadGIFEx). Pages
 * that a classic read delivers are delivered alike unless one of those rules applies to them. */
enum { QOR_READ_EXTENDED = 1 };
/* The flag bits that this version knows. */
enum { QOR_READ_KNOWN_FLAGS = QOR_READ_EXTENDED };
#define QOR_DEFAULT_MEMORY_LIMIT ((uint64_t)4 << 30)

/* QorReadTIF with options (null for the defaults). Only the pages firstPage to
 * firstPage + pageCount - 1 are read: their directories are parsed and checked, those that can be
 * decoded are, and they are the layers of the document, in file order. The directories before
 * them are only walked along, those after them not even that, so page 60000 of a file costs the
 * walk to it and one decode. Within the range every rule of QorReadTIF holds: a page refused by
 * its layout is skipped, a page that has no decoder or whose data cannot be decoded ends the read,
 * and when no page of the range can be decoded the status is that of its first page's refusal. A
 * range that runs past the last page ends there; a firstPage past the last page gives
 * QOR_BAD_REQUEST. When the read's memory (DIBs, scratch images, working memory) would pass
 * memoryLimit bytes, it ends with QOR_NO_MEMORY before the block that would pass it is allocated,
 * and every block is freed.
 * On success *result is the first decoded page's DIB and the document is the caller's, to free as
 * any other (QorReleaseDocument); on failure *result is not written and nothing is left
 * allocated. The library keeps no pointer to the options. */
QOR_API int16_t QOR_CALL QorReadTIFEx(QorProgressProc progress, uint32_t userValue,
                                      const char* fileName, const QorReadOptions* options,
                                      uint32_t* result);

/* QorReadGIF with options (null for the defaults). firstPage must be 0 and pageCount 0 or 1, or
 * the status is QOR_BAD_REQUEST. A read whose memory would pass memoryLimit gives QOR_NO_MEMORY
 * before the block that would pass it is allocated. Outputs as QorReadGIF.
 *
 * Without QOR_READ_EXTENDED the one page is the first image, at its own size, exactly as
 * QorReadGIF delivers it. With it, every frame (up to 65535; pageCount 1 keeps the first only) is
 * a layer of the document, in file order, each the size of the logical screen (cut to 32767; a
 * screen that gives no size takes the first frame's far edge) and showing the animation as it
 * stands once that frame is drawn: frames at their places and cut to the screen, each frame's
 * transparent index left out, its own colour table used, interlaced rows in place, and each
 * frame's disposal applied before the next is drawn: 2 restores its place to its transparent
 * index, or else to the screen's background index (0 without a global table), and 3 to what was
 * there before it; 0, 1 and the undefined 4 to 7 keep it. The first layer starts as the first
 * frame's transparent index (index 0 when it has none) all over; a first frame of disposal 3
 * without a transparent index is kept. This is what Pillow shows of each frame converted to RGB.
 * The layers are 8-bit DIBs with the global colour table when no frame has a table of its own, else
 * 24-bit DIBs; pixels of indices past a table are black. *transparentIndex is the first frame's, as
 * QorReadGIF gives it. The first frame decides the status as in QorReadGIF: whatever refuses it
 * fails the read. A later frame that cannot be decoded (damaged blocks, data or colour table, a
 * failed read of the file) ends the layers: the read succeeds with the frames before it. A frame
 * whose data ends early is delivered with what it holds, its missing pixels left as the frames
 * before made them. memoryLimit covers all layers together, with the area that disposal 3 restores
 * and the frame's own indices: the read ends with QOR_NO_MEMORY before the block that would pass
 * it, and everything is freed. */
QOR_API int16_t QOR_CALL QorReadGIFEx(QorProgressProc progress, uint32_t userValue,
                                      const char* fileName, const QorReadOptions* options,
                                      uint32_t* result, int16_t* transparentIndex);

/* Describing a file without decoding it. QorDescribeTIF and QorDescribeGIF read a TIFF's header
 * and directories, or a GIF's blocks, as a read does, and pass over the image data: their time
 * and memory grow with the number of directories or blocks, never with the pixels, and they
 * allocate no DIB. Each fills a record for the file, whose `size` the caller sets first, and the
 * records of up to `capacity` pages or frames into the caller's array (which may be null when
 * `capacity` is 0); the count in the file record is the true one, also when it is larger. The
 * statuses are those that the checks of a read give; a read can still fail later, in damaged
 * image data. Both return 0 with the records filled; QOR_BAD_REQUEST for a null name or record,
 * a record `size` smaller than this header's, or larger with a byte past this header's fields
 * that is not 0 (as for QorReadOptions), or a null array with a non-zero capacity; and
 * QOR_OPEN_FAILED when the file cannot be opened. On failure nothing is written. On success
 * `size` says how much of the record was filled: this header's size.  The records stay
 * the caller's, and the library allocates nothing that outlives the call. The records are
 * plain, with the same layout on 32-bit and 64-bit builds; strings are cut to their field and
 * always end with a zero byte. */

/* A TIFF file. */
typedef struct QorTifInfo {
    uint32_t size;      /*  0: sizeof(QorTifInfo), set by the caller */
    int16_t status;     /*  4: what QorReadTIF gives as far as the directories tell: 0; the
                         *     header's or chain's refusal; the status of the first page that
                         *     passes the checks but ends a read (531: no decoder; 202: its first
                         *     strip lies past the end of the file); page 1's status when no
                         *     page passes */
    uint16_t byteOrder; /*  6: 0x4949 ("II", little-endian), 0x4D4D ("MM"), 0 when neither */
    uint32_t pageCount; /*  8: directories in the chain, as a read counts them (at most 65535) */
    uint32_t stopPage;  /* 12: the page (1 = first) at which QorReadTIF stops, 0 when none */
    uint32_t fileSize;  /* 16 */
    uint32_t flags;     /* 20: set by the caller: the read flags (QOR_READ_EXTENDED or 0) whose
                         *     read the statuses describe; an unknown bit gives QOR_BAD_REQUEST */
} QorTifInfo;

/* One TIFF page, as its directory tells it. */
typedef struct QorTifPage {
    uint32_t directoryOffset; /*   0 */
    uint32_t width;           /*   4 */
    uint32_t height;          /*   8 */
    uint16_t bitsPerSample;   /*  12: 0 when the samples differ in size */
    uint16_t samplesPerPixel; /*  14 */
    uint16_t compression;     /*  16 */
    uint16_t photometric;     /*  18: 10 when the tag is absent */
    uint32_t strips;          /*  20: StripOffsets values; for a tiled page, TileOffsets values */
    int16_t status;           /*  24: 0 when a read decodes the page, else the status that its
                               *      layout gives it (531 for a compression without decoder, 202
                               *      for a first strip past the end of the file) */
    uint16_t tiled;           /*  26: 1 when the directory has TileWidth, TileLength and
                               *      TileOffsets (other tile tags alone are ignored) */
    uint32_t rowsPerStrip;    /*  28: 0 when the tag is absent */
    uint32_t rowsWithStrips;  /*  32: rows that its strips reach; the rest of a decoded page stays
                               *      blank (height when all do, 0 for a page not decoded) */
    uint16_t fillOrder;       /*  36: 1 when absent */
    uint16_t predictor;       /*  38: 1 when absent */
    uint16_t planarConfig;    /*  40: 1 when absent */
    uint16_t extraSamples;    /*  42: ExtraSamples values */
    uint16_t orientation;     /*  44: 1 (top left) when absent */
    uint16_t resolutionUnit;  /*  46: 1 none, 2 inch (when absent), 3 centimetre */
    uint32_t xResolution[2];  /*  48: numerator and denominator; 0 and 0 when absent */
    uint32_t yResolution[2];  /*  56 */
    uint16_t pageNumber;      /*  64: PageNumber's values, 0 and 0 when absent */
    uint16_t pageTotal;       /*  66 */
    uint32_t subfileType;     /*  68: NewSubfileType, 0 when absent */
    char dateTime[20];        /*  72: DateTime ("YYYY:MM:DD HH:MM:SS"), empty when absent */
    char software[40];        /*  92: Software, empty when absent */
} QorTifPage;

/* A GIF file and its first image, as a read takes it. */
typedef struct QorGifInfo {
    uint32_t size;            /*   0: sizeof(QorGifInfo), set by the caller */
    int16_t status;           /*   4: what QorReadGIF gives as far as the blocks tell */
    int16_t transparentIndex; /*   6: what QorReadGIF hands back, or -1 */
    char version[4];          /*   8: "87a" or "89a"; empty when the header cannot be read */
    uint32_t fileSize;        /*  12 */
    uint32_t screenWidth;     /*  16 */
    uint32_t screenHeight;    /*  20 */
    uint32_t frames;          /*  24: image descriptors up to the trailer or the data's end */
    uint32_t left, top;       /*  28: the first image's place */
    uint32_t width, height;   /*  36: its size (the screen's where the descriptor says 0) */
    uint16_t bitsPerPixel;    /*  44: of its DIB: 1, 4 or 8; 0 when it has none */
    uint16_t interlaced;      /*  46 */
    uint32_t colorCount;      /*  48: entries of the DIB's colour table */
    int32_t loopCount;        /*  52: of a looping application extension (0 loops forever),
                               *      -1 when there is none */
    uint32_t commentBytes;    /*  56: text of all comment extensions together */
    char comments[196];       /*  60: that text, each comment ended by a line feed */
} QorGifInfo;

/* One image of a GIF file, with the graphic control extension that comes before it (since the
 * previous image): the delay, disposal and transparent index that animate it. */
typedef struct QorGifFrame {
    uint32_t left, top;       /*  0 */
    uint32_t width, height;   /*  8: the screen's where the descriptor says 0 */
    uint16_t delay;           /* 16: hundredths of a second, 0 without the extension */
    uint8_t disposal;         /* 18: 0 none, 1 keep, 2 background, 3 previous */
    uint8_t interlaced;       /* 19 */
    int16_t transparentIndex; /* 20: -1 when the extension marks none */
    uint16_t localColors;     /* 22: entries of its own colour table, 0 without one */
} QorGifFrame;

QOR_API int16_t QOR_CALL QorDescribeTIF(const char* fileName, QorTifInfo* info, QorTifPage* pages,
                                        uint32_t capacity);
QOR_API int16_t QOR_CALL QorDescribeGIF(const char* fileName, QorGifInfo* info, QorGifFrame* frames,
                                        uint32_t capacity);

/* Files held in memory. QorOpenMemory registers `size` bytes at `data` and writes into `name`
 * (QOR_MEMORY_NAME_SIZE bytes at most, `nameSize` given) a name that every read and describe call
 * takes in place of a file name: the bytes are described and read exactly as a file of them
 * would be, with the same statuses, pixels, limits and threads, and without a file system. The
 * bytes stay the caller's; they must stay in place and unchanged until QorCloseMemory, which the
 * caller calls once no call that reads them is running. QorWriteGIF refuses such a name
 * (QOR_CREATE_FAILED): the bytes are read only. QorOpenMemory returns 0; QOR_BAD_REQUEST for a
 * null `name`, null `data` with a non-zero `size`, or a `nameSize` too small; QOR_NO_MEMORY.
 * QorCloseMemory returns 0, or QOR_BAD_REQUEST for a name that is not open. */
#define QOR_MEMORY_NAME_SIZE 40
QOR_API int16_t QOR_CALL QorOpenMemory(const void* data, uint64_t size, char* name,
                                       uint32_t nameSize);
QOR_API int16_t QOR_CALL QorCloseMemory(const char* name);

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
