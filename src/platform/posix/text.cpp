// lstrcpynA.
#include "platform/posix/posix_internal.h"

// As on Windows: at most max_length - 1 characters and always a terminator when max_length is
// above 0; nothing is written for 0; the count is taken as unsigned, so a negative one does not
// bound the copy. Null pointers give null instead of the fault Windows would catch.
LPSTR WINAPI lstrcpynA(LPSTR string1, LPCSTR string2, int max_length)
{
    if (string1 == nullptr || string2 == nullptr) {
        return nullptr;
    }
    unsigned count = (unsigned)max_length;
    char* to = string1;
    const char* from = string2;
    while (count > 1 && *from != '\0') {
        *to++ = *from++;
        --count;
    }
    if (count > 0) {
        *to = '\0';
    }
    return string1;
}
