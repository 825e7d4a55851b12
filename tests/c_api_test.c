/* Compiles the public header as C and exercises the block calls through the shared library. */
#include <stdio.h>
#include <string.h>

#include "qorimg/qorimg.h"

static int calls;
static int32_t count_calls(QorProgressInfo* info) {
    (void)info;
    ++calls;
    return 0;
}

int main(void) {
    uint32_t result = 77;
    int16_t transparent = 5;
    QorHandle h = QorGlobalAlloc(QOR_GMEM_MOVEABLE | QOR_GMEM_ZEROINIT, 100);
    unsigned char* p;
    if (h == 0 || QorGlobalSize(h) != 100) return 1;
    p = (unsigned char*)QorGlobalLock(h);
    if (p == NULL || p[99] != 0) return 2;
    QorGlobalUnlock(h);
    if (QorGlobalFree(h) != 0 || QorGlobalFree(h) != h) return 3;
    /* An empty name: one progress call, 101, outputs untouched. */
    if (QorReadGIF(count_calls, 1, "", &result, &transparent) != QOR_BAD_REQUEST) return 4;
    if (calls != 1 || result != 77 || transparent != 5) return 5;
    if (strlen(QorStatusText(QOR_READ_FAILED)) == 0) return 6;
    if (QorDocumentLayers(12345, NULL, 0) != 0 || QorReleaseDocument(12345) != QOR_BAD_REQUEST)
        return 7;
    puts("C API ok");
    return 0;
}
