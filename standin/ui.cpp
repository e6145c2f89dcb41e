// Message boxes and GUIDs. A "shown" box is recorded for the tests and
// answered with OK at once, as if the user had closed it.
#include <sys/random.h>

#include <cstring>

#include "standin/state.h"

namespace {

using standin::Operation;
using standin::detail::CallFails;

std::wstring WidenBytes(const char* text) {
    std::wstring wide;
    for (const char* c = text; c != nullptr && *c != '\0'; ++c) {
        wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));
    }
    return wide;
}

}  // namespace

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    if (CallFails(Operation::MessageBoxW)) {
        return 0;
    }
    standin::detail::RecordMessageBox({true, owner != nullptr, text != nullptr ? text : L"",
                                       caption != nullptr ? caption : L"", type});
    return IDOK;
}

int MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    if (CallFails(Operation::MessageBoxA)) {
        return 0;
    }
    standin::detail::RecordMessageBox(
        {false, owner != nullptr, WidenBytes(text), WidenBytes(caption), type});
    return IDOK;
}

HRESULT CoCreateGuid(GUID* guid) {
    if (CallFails(Operation::CoCreateGuid)) {
        return E_FAIL;
    }
    if (guid == nullptr) {
        return E_FAIL;
    }
    unsigned char bytes[sizeof(GUID)];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        const ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got <= 0) {
            return E_FAIL;
        }
        filled += static_cast<std::size_t>(got);
    }
    std::memcpy(guid, bytes, sizeof bytes);
    // A random (version 4) GUID of the RFC 4122 variant, as Windows makes.
    guid->Data3 = static_cast<WORD>((guid->Data3 & 0x0FFF) | 0x4000);
    guid->Data4[0] = static_cast<BYTE>((guid->Data4[0] & 0x3F) | 0x80);
    return S_OK;
}
