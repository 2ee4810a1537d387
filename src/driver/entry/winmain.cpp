// The Windows entry point: a GUI-subsystem program that creates no window.
#include "driver/driver.h"
#include "platform/platform.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous_instance, LPSTR command_line, int show)
{
    (void)instance;
    (void)previous_instance;
    (void)show;
    return brightrelay_run(command_line);
}
