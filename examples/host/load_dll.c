/* How a host application uses qorimg.dll: load it at run time, find the entry points, read a GIF
 * and a TIFF with a progress callback, list the document's layers, read a TIFF again a page at a
 * time on up to 4 threads (its pages counted first, without decoding), write a GIF from a DIB of
 * its own, free every block, and unload the DLL: the reads leave no thread running.
 *
 *   load_dll IN.gif IN.tif OUT.gif
 *
 * qorimg.dll needs qorhost.dll next to it. On 32-bit Windows the library's blocks are the
 * kernel's own, so the host uses GlobalAlloc, GlobalLock and GlobalFree directly; on 64-bit
 * Windows handles are 32-bit ids and the host uses the library's Qor block calls. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "qorimg/qorimg.h"

typedef int16_t(QOR_CALL* ReadGifFn)(QorProgressProc, uint32_t, const char*, uint32_t*, int16_t*);
typedef int16_t(QOR_CALL* ReadTifFn)(QorProgressProc, uint32_t, const char*, uint32_t*);
typedef int16_t(QOR_CALL* ReadTifExFn)(QorProgressProc, uint32_t, const char*,
                                       const QorReadOptions*, uint32_t*);
typedef int16_t(QOR_CALL* DescribeTifFn)(const char*, QorTifInfo*, QorTifPage*, uint32_t);
typedef int16_t(QOR_CALL* WriteGifFn)(QorProgressProc, uint32_t, const char*, QorHandle, uint32_t,
                                      uint32_t, uint32_t);
typedef uint32_t(QOR_CALL* LayersFn)(QorHandle, QorHandle*, uint32_t);
typedef QorHandle(QOR_CALL* AllocFn)(uint32_t, uint64_t);
typedef void*(QOR_CALL* LockFn)(QorHandle);
typedef int(QOR_CALL* UnlockFn)(QorHandle);
typedef QorHandle(QOR_CALL* FreeFn)(QorHandle);

static ReadGifFn readGif;
static ReadTifFn readTif;
static ReadTifExFn readTifEx;
static DescribeTifFn describeTif;
static WriteGifFn writeGif;
static LayersFn documentLayers;
#ifdef _WIN64
static AllocFn blockAlloc;
static LockFn blockLock;
static UnlockFn blockUnlock;
static FreeFn blockFree;
#endif

/* The host's block calls: the kernel's on 32-bit Windows, the library's on 64-bit Windows. */
static QorHandle NewBlock(size_t bytes) {
#ifdef _WIN64
    return blockAlloc(QOR_GMEM_MOVEABLE | QOR_GMEM_ZEROINIT, bytes);
#else
    return (QorHandle)(uintptr_t)GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
#endif
}
static void* LockBlock(QorHandle h) {
#ifdef _WIN64
    return blockLock(h);
#else
    return GlobalLock((HGLOBAL)(uintptr_t)h);
#endif
}
static void UnlockBlock(QorHandle h) {
#ifdef _WIN64
    blockUnlock(h);
#else
    GlobalUnlock((HGLOBAL)(uintptr_t)h);
#endif
}
static int FreeBlock(QorHandle h) {
#ifdef _WIN64
    return blockFree(h) == 0;
#else
    return GlobalFree((HGLOBAL)(uintptr_t)h) == NULL;
#endif
}

/* The progress callback's user value says which call reports. */
static const char* const kWork[] = {"read GIF", "read TIFF", "write GIF"};

static int32_t QOR_CALL ShowProgress(QorProgressInfo* info) {
    static uint32_t shown = 101;
    uint32_t percent = info->total != 0 ? info->done * 100 / info->total : 0;
    /* Every step of 25 percent, and each new start. */
    if (percent < shown || percent >= shown + 25) {
        printf("  [%s] %u%%\n", kWork[info->userValue % 3], percent);
        shown = percent;
    }
    return 0;
}

static void* Entry(HMODULE dll, const char* name) {
    void* p = (void*)GetProcAddress(dll, name);
    if (p == NULL) fprintf(stderr, "qorimg.dll has no %s\n", name);
    return p;
}

/* Prints every layer of the document that `first` opened and frees each layer's DIB. */
static int ListAndFree(const char* what, QorHandle first) {
    QorHandle layers[64];
    uint32_t count = documentLayers(first, layers, 64), i;
    printf("%s: %u layer(s)\n", what, count);
    for (i = 0; i < count && i < 64; ++i) {
        const unsigned char* dib = (const unsigned char*)LockBlock(layers[i]);
        int32_t width, height;
        uint16_t bits;
        if (dib == NULL) return 0;
        memcpy(&width, dib + 4, 4);
        memcpy(&height, dib + 8, 4);
        memcpy(&bits, dib + 14, 2);
        printf("  layer %u: %d x %d, %u bits per pixel\n", i, width, height, bits);
        UnlockBlock(layers[i]);
        if (!FreeBlock(layers[i])) return 0;
    }
    return count > 0;
}

/* Reads the TIFF one page at a time, as a viewer does: the description gives the page count and
 * each page's size and status without decoding any, and each read decodes one page only, under a
 * memory limit of the host's choosing. Only one page's DIB is held at any time. */
static int ReadPageByPage(const char* path) {
    QorTifInfo info;
    QorTifPage first;
    QorReadOptions options;
    uint32_t page;
    int16_t status;
    memset(&info, 0, sizeof info);
    info.size = sizeof info;
    status = describeTif(path, &info, &first, 1);
    printf("QorDescribeTIF: %d (%s), %u page(s), page 1 %u x %u, status %d\n", status,
           QorStatusText(status), info.pageCount, first.width, first.height, first.status);
    if (status != QOR_OK || info.pageCount == 0) return 0;
    memset(&options, 0, sizeof options);
    options.size = sizeof options;
    options.pageCount = 1;
    options.memoryLimit = (uint64_t)64 << 20;
    /* Up to 4 threads decode a page's strips; none of them outlives the call. */
    options.threads = 4;
    for (page = 0; page < info.pageCount; ++page) {
        uint32_t dib = 0;
        char what[32];
        options.firstPage = page;
        status = readTifEx(NULL, 1, path, &options, &dib);
        printf("QorReadTIFEx page %u: %d (%s)\n", page + 1, status, QorStatusText(status));
        if (status != QOR_OK) continue; /* a page that cannot be decoded is skipped */
        sprintf(what, "page %u", page + 1);
        if (!ListAndFree(what, dib)) return 0;
    }
    return 1;
}

/* A 64 x 48 8-bit DIB with a grey ramp palette and diagonal stripes. */
static QorHandle MakeStripes(void) {
    const int32_t width = 64, height = 48;
    const uint32_t stride = 64, colours = 256;
    QorHandle h = NewBlock(40 + 4 * colours + stride * (uint32_t)height);
    unsigned char* p = h != 0 ? (unsigned char*)LockBlock(h) : NULL;
    uint32_t headerSize = 40, imageBytes = stride * (uint32_t)height, i;
    uint16_t planes = 1, bits = 8;
    int32_t x, y;
    if (p == NULL) return 0;
    memcpy(p, &headerSize, 4);
    memcpy(p + 4, &width, 4);
    memcpy(p + 8, &height, 4);
    memcpy(p + 12, &planes, 2);
    memcpy(p + 14, &bits, 2);
    memcpy(p + 20, &imageBytes, 4);
    memcpy(p + 32, &colours, 4);
    for (i = 0; i < colours; ++i) p[40 + 4 * i] = p[41 + 4 * i] = p[42 + 4 * i] = (unsigned char)i;
    for (y = 0; y < height; ++y)
        for (x = 0; x < width; ++x)
            p[40 + 4 * colours + (uint32_t)y * stride + (uint32_t)x] = (unsigned char)((x + y) * 4);
    UnlockBlock(h);
    return h;
}

int main(int argc, char** argv) {
    HMODULE dll;
    uint32_t gif = 0, tif = 0;
    int16_t transparent = 0, status;
    QorHandle stripes;
    if (argc != 4) {
        fprintf(stderr, "usage: load_dll IN.gif IN.tif OUT.gif\n");
        return 2;
    }
    dll = LoadLibraryA("qorimg.dll");
    if (dll == NULL) {
        fprintf(stderr, "cannot load qorimg.dll (error %lu)\n", (unsigned long)GetLastError());
        return 1;
    }
    readGif = (ReadGifFn)Entry(dll, "QorReadGIF");
    readTif = (ReadTifFn)Entry(dll, "QorReadTIF");
    readTifEx = (ReadTifExFn)Entry(dll, "QorReadTIFEx");
    describeTif = (DescribeTifFn)Entry(dll, "QorDescribeTIF");
    writeGif = (WriteGifFn)Entry(dll, "QorWriteGIF");
    documentLayers = (LayersFn)Entry(dll, "QorDocumentLayers");
#ifdef _WIN64
    blockAlloc = (AllocFn)Entry(dll, "QorGlobalAlloc");
    blockLock = (LockFn)Entry(dll, "QorGlobalLock");
    blockUnlock = (UnlockFn)Entry(dll, "QorGlobalUnlock");
    blockFree = (FreeFn)Entry(dll, "QorGlobalFree");
    if (!blockAlloc || !blockLock || !blockUnlock || !blockFree) return 1;
#endif
    if (!readGif || !readTif || !readTifEx || !describeTif || !writeGif || !documentLayers)
        return 1;

    status = readGif(ShowProgress, 0, argv[1], &gif, &transparent);
    printf("QorReadGIF: %d (%s), transparent index %d\n", status, QorStatusText(status),
           transparent);
    if (status != QOR_OK || !ListAndFree(argv[1], gif)) return 1;

    status = readTif(ShowProgress, 1, argv[2], &tif);
    printf("QorReadTIF: %d (%s)\n", status, QorStatusText(status));
    if (status != QOR_OK || !ListAndFree(argv[2], tif)) return 1;
    if (!ReadPageByPage(argv[2])) return 1;

    stripes = MakeStripes();
    status = writeGif(ShowProgress, 2, argv[3], stripes, 0, 1, 0);
    printf("QorWriteGIF: %d (%s)\n", status, QorStatusText(status));
    if (stripes == 0 || !FreeBlock(stripes) || status != QOR_OK) return 1;
    status = readGif(NULL, 0, argv[3], &gif, &transparent);
    if (status != QOR_OK || !ListAndFree(argv[3], gif)) return 1;

    FreeLibrary(dll);
    puts("done");
    return 0;
}
