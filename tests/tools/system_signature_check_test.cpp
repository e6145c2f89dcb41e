// Windows' own signature check (WinVerifyTrust, as Authenticode policy uses
// it: no user interface, no revocation check) on the signed test package, on
// that package tagged by tvkpack, on a copy with one byte of its installer
// changed, and on an unsigned file.
//
// Under Wine, WinVerifyTrust checks the signature and the digest of the file
// but not whether the certificate chain ends in a trusted root, so the
// throwaway self-signed test certificate passes there; on Windows the signed
// package would give CERT_E_UNTRUSTEDROOT unless that certificate were
// trusted. Windows builds only: the check is the system's.
#ifdef _WIN32

#include <gtest/gtest.h>

#include <string>

#include "platform/windows_api.h"
#include "tests/support/fixtures.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tools/tvkpack/tvkpack_commands.h"
// windows.h first: these rely on its types.
#include <softpub.h>
#include <wintrust.h>

namespace {

using test_support::Bytes;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

constexpr LONG kTrusted = 0;
constexpr LONG kBadDigest = static_cast<LONG>(0x80096010);    // TRUST_E_BAD_DIGEST
constexpr LONG kNoSignature = static_cast<LONG>(0x800B0100);  // TRUST_E_NOSIGNATURE

// What WinVerifyTrust says of the file's Authenticode signature.
LONG VerifyTrust(const std::wstring& path) {
    WINTRUST_FILE_INFO file{};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = path.c_str();
    WINTRUST_DATA data{};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
}

TEST(WinVerifyTrust, AcceptsTheSignedAndTheTaggedPackageAndRejectsAChangedOrUnsignedOne) {
    ScopedTempDir dir;
    const Bytes signed_package = ReadBytes(FixturePath("signed_package.exe"));
    const Bytes stub = ReadBytes(FixturePath("tiny_stub.exe"));

    const std::string params = "{\"product\":\"Demo\"}";
    tvkpack::TagContent content;
    content.params_json = Bytes(params.begin(), params.end());
    WriteBytes(dir.File("tagged.exe"), test_support::TvkpackTag(signed_package, content).package);

    Bytes changed = signed_package;
    changed[stub.size() + 100] ^= 0x01;  // a byte of the installer image, which is signed
    WriteBytes(dir.File("changed.exe"), changed);

    struct Case {
        const char* what_it_proves;
        std::wstring path;
        LONG expected;
    };
    const Case kCases[] = {
        {"the package as signed", FixturePath("signed_package.exe").wstring(), kTrusted},
        {"the same package tagged by tvkpack", dir.WindowsFile("tagged.exe"), kTrusted},
        {"one byte of the installer changed", dir.WindowsFile("changed.exe"), kBadDigest},
        {"an unsigned package", FixturePath("unsigned_package.exe").wstring(), kNoSignature},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(static_cast<unsigned long>(VerifyTrust(test.path)),
                  static_cast<unsigned long>(test.expected))
            << test.what_it_proves;
    }
}

}  // namespace

#endif  // _WIN32
