// Bounded copy through the platform's lstrcpynA; control bytes blanked for the log.
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

void blank_control_bytes(char* text)
{
    for (; *text != '\0'; ++text) {
        unsigned char byte = static_cast<unsigned char>(*text);
        if (byte < 0x20u || byte == 0x7Fu) {
            *text = ' ';
        }
    }
}
