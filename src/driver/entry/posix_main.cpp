// The Linux entry point: the arguments, joined again into one command line as Windows hands it.
#include <string.h>

#include "driver/driver.h"

// A Windows command line is at most 32767 characters; a longer one is cut here.
static char g_command_line[32768];

int main(int argc, char** argv)
{
    size_t length = 0;
    const size_t capacity = sizeof g_command_line;
    for (int index = 1; index < argc; ++index) {
        if (index > 1 && length + 1 < capacity) {
            g_command_line[length++] = ' ';
        }
        size_t part = strlen(argv[index]);
        if (part > capacity - 1 - length) {
            part = capacity - 1 - length;
        }
        memcpy(g_command_line + length, argv[index], part);
        length += part;
    }
    g_command_line[length] = '\0';
    return brightrelay_run(g_command_line);
}
