/* Prints, for every file under the folders given, the status of reading it as a GIF and as a
 * TIFF and a hash of every DIB delivered, one line per file: the guard that a change to the
 * readers leaves what they deliver byte for byte as it was.
 *
 *   dib_hashes NAME=FOLDER...
 *
 * Files are listed by NAME and their path below FOLDER, in byte order of that path. */
#define _DEFAULT_SOURCE
#include <dirent.h>
#include <qorimg/qorimg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

typedef struct {
    char** items;
    size_t count, capacity;
} Names;

static void Add(Names* names, const char* path) {
    if (names->count == names->capacity) {
        names->capacity = names->capacity != 0 ? 2 * names->capacity : 256;
        names->items = realloc(names->items, names->capacity * sizeof *names->items);
        if (names->items == NULL) exit(2);
    }
    names->items[names->count] = strdup(path);
    if (names->items[names->count++] == NULL) exit(2);
}

static void Walk(const char* folder, const char* below, Names* names) {
    char path[4096];
    snprintf(path, sizeof path, "%s%s%s", folder, *below != '\0' ? "/" : "", below);
    DIR* dir = opendir(path);
    if (dir == NULL) return;
    for (struct dirent* e; (e = readdir(dir)) != NULL;) {
        if (e->d_name[0] == '.') continue;
        char rel[4096], full[8192];
        snprintf(rel, sizeof rel, "%s%s%s", below, *below != '\0' ? "/" : "", e->d_name);
        snprintf(full, sizeof full, "%s/%s", folder, rel);
        struct stat st;
        if (stat(full, &st) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            Walk(folder, rel, names);
        } else if (S_ISREG(st.st_mode)) {
            Add(names, rel);
        }
    }
    closedir(dir);
}

static int ByName(const void* a, const void* b) {
    return strcmp(*(char* const*)a, *(char* const*)b);
}

/* FNV-1a, 64 bits, over the whole block. */
static uint64_t HashBlock(QorHandle block) {
    uint64_t h = 0xCBF29CE484222325ull;
    const unsigned char* p = QorGlobalLock(block);
    uint64_t n = QorGlobalSize(block);
    for (uint64_t i = 0; p != NULL && i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
    if (p != NULL) QorGlobalUnlock(block);
    return h;
}

static void PrintDocument(int16_t status, QorHandle first) {
    printf(" %d", status);
    if (status != 0) return;
    QorHandle handles[64];
    uint32_t layers = QorDocumentLayers(first, handles, 64);
    printf(":%u", layers);
    for (uint32_t i = 0; i < layers && i < 64; ++i) {
        printf(" %016llx", (unsigned long long)HashBlock(handles[i]));
    }
    QorReleaseDocument(first);
}

int main(int argc, char** argv) {
    for (int a = 1; a < argc; ++a) {
        const char* eq = strchr(argv[a], '=');
        if (eq == NULL) {
            fprintf(stderr, "usage: dib_hashes NAME=FOLDER...\n");
            return 2;
        }
        const char* folder = eq + 1;
        Names names = {0};
        Walk(folder, "", &names);
        qsort(names.items, names.count, sizeof *names.items, ByName);
        for (size_t i = 0; i < names.count; ++i) {
            char full[8192];
            snprintf(full, sizeof full, "%s/%s", folder, names.items[i]);
            printf("%.*s/%s gif", (int)(eq - argv[a]), argv[a], names.items[i]);
            QorHandle dib = 0;
            int16_t transparent = -1;
            int16_t status = QorReadGIF(NULL, 0, full, &dib, &transparent);
            PrintDocument(status, dib);
            if (status == 0) printf(" t%d", transparent);
            printf(" tif");
            dib = 0;
            status = QorReadTIF(NULL, 0, full, &dib);
            PrintDocument(status, dib);
            printf("\n");
            free(names.items[i]);
        }
        free(names.items);
    }
    return 0;
}
