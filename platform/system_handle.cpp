#include "platform/system_handle.h"

SystemHandle::~SystemHandle() {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);  // nothing useful can be done when closing fails
    }
}
