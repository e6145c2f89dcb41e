// The stub identity: the same for a stub and for every package made of it
// (embedded, signed by osslsigncode, tagged), different for another stub;
// and the SHA-256 it rests on, from OpenSSL natively and from BCrypt under
// Windows.
#include "tools/packaging/stub_identity.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "tests/support/package_deformations.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tvkpack_images.h"
#include "tools/package_writer/package_writer.h"
#include "tools/packaging/sha256.h"
#include "tools/tag_writer/pe_checksum.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace {

using test_support::FixturePath;
using test_support::ReadBytes;
using tvkpack::Bytes;

std::string Hex(const packaging::Sha256Digest& digest) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : digest) {
        text += kDigits[byte >> 4];
        text += kDigits[byte & 0xF];
    }
    return text;
}

std::string StubIdentity(const Bytes& image) {
    return packaging::StubIdentity(package_writer::BytesSource(image));
}

std::size_t NtOffset(const Bytes& image) {
    return static_cast<std::size_t>(package_writer::ReadHeaders(image).nt_offset);
}

TEST(Sha256, GivesTheStandardDigests) {
    struct Case {
        std::string message;
        const char* digest;  // FIPS 180-2 test vectors
    };
    const Case kCases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(Hex(packaging::Sha256(Bytes(test.message.begin(), test.message.end()))),
                  test.digest)
            << test.message;
    }
}

TEST(StubIdentity, IsTheStubsForEveryPackageMadeOfItAndOnlyForIt) {
    const Bytes stub = ReadBytes(FixturePath("tiny_stub.exe"));
    const Bytes signed_package = ReadBytes(FixturePath("signed_package.exe"));
    const std::string identity = StubIdentity(stub);
    ASSERT_EQ(identity.size(), 64u);
    ASSERT_EQ(identity.find_first_not_of("0123456789abcdef"), std::string::npos) << identity;

    Bytes other_checksum = stub;
    other_checksum[NtOffset(stub) + tag_writer::kChecksumOffset] ^= 0x5A;
    Bytes changed_code = stub;
    changed_code[stub.size() - 1] ^= 0x01;  // in the last section's data
    Bytes changed_installer = signed_package;
    changed_installer[stub.size() + 100] ^= 0x01;

    struct Case {
        const char* what_it_proves;
        Bytes image;
        bool same;
    };
    const Case kCases[] = {
        {"the unsigned package: the installer lies behind the sections",
         test_support::TvkpackEmbed(stub, ReadBytes(FixturePath("tiny_installer.exe"))), true},
        {"signed by osslsigncode: checksum and security directory do not count", signed_package,
         true},
        {"another installer, signed", ReadBytes(FixturePath("signed_runnable.exe")), true},
        {"tagged", test_support::TvkpackTag(signed_package, {Bytes{'{', '}'}, {}, {}, {}}).package,
         true},
        {"another checksum", other_checksum, true},
        {"a byte of the installer changed", changed_installer, true},
        {"a byte of the stub's sections changed", changed_code, false},
    };
    for (const Case& test : kCases) {
        EXPECT_EQ(StubIdentity(test.image) == identity, test.same) << test.what_it_proves;
    }
}

TEST(StubIdentity, RefusesFilesThatCarryNoStub) {
    const Bytes stub = ReadBytes(FixturePath("tiny_stub.exe"));
    Bytes pe32_plus = stub;
    test_support::SetOptionalMagic(pe32_plus, 0x20B);
    const Bytes cut_short(stub.begin(), stub.end() - 1);
    struct Case {
        const char* what_it_proves;
        Bytes image;
        const char* message;
    };
    const Case kCases[] = {
        {"a text file", Bytes{'#', '!', '/', 'b', 'i', 'n'}, "it is not a PE file"},
        {"a PE32+ image", pe32_plus, "it is not a PE32 image"},
        {"a stub cut short", cut_short, "its last section reaches beyond the end of the file"},
    };
    for (const Case& test : kCases) {
        try {
            StubIdentity(test.image);
            ADD_FAILURE() << test.what_it_proves << ": accepted";
        } catch (const tvkpack::CommandError& error) {
            EXPECT_NE(std::string(error.what()).find(test.message), std::string::npos)
                << test.what_it_proves << ": " << error.what();
        }
    }
}

}  // namespace
