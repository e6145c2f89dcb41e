// Waits forever, touching nothing but the kernel: the build's wine-server
// script keeps it running for a test run, so that Wine keeps its system
// processes (services, devices) up between test programs instead of
// starting them again for each one. It must not use the window system:
// a desktop started without a display would stay for the whole run, and
// the message box tests need one started on theirs.
#include "platform/windows_api.h"

int main() {
    Sleep(INFINITE);
}
