/* Prints the library's words for a status in a read mode: status_text STATUS FLAGS. The tool's
 * end-to-end test holds the tool's messages to them. */
#include <stdio.h>
#include <stdlib.h>

#include "qorimg/qorimg.h"

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    const char* text =
        QorStatusTextFor((int)strtol(argv[1], NULL, 10), (uint32_t)strtoul(argv[2], NULL, 10));
    if (text == NULL) return 1;
    puts(text);
    return 0;
}
