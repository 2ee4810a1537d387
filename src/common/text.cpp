// Bounded copy through the platform's lstrcpynA.
#include "common/text.h"

#include "platform/platform.h"

void copy_bounded(char* destination, uint32_t capacity, const char* source)
{
    if (destination == nullptr || capacity == 0) {
        return;
    }
    if (capacity > 0x7FFFFFFFu) {
        capacity = 0x7FFFFFFFu;
    }
    lstrcpynA(destination, source != nullptr ? source : "", static_cast<int>(capacity));
}
