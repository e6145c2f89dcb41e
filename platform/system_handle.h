// Owns one Windows handle for the scope of the operation that uses it.
#pragma once

#include "platform/windows_api.h"

// Closes its handle when the scope ends, normally or by an exception. Null
// and INVALID_HANDLE_VALUE are never passed to CloseHandle. Never copied or
// moved: the handle has exactly one owner.
struct SystemHandle {
    explicit SystemHandle(HANDLE owned) : handle(owned) {}
    virtual ~SystemHandle();

    SystemHandle(const SystemHandle&) = delete;
    SystemHandle& operator=(const SystemHandle&) = delete;

    HANDLE handle;
};
