#include "package/pe_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "package/package_layout.h"
#include "platform/pe_format_exception.h"
#include "tests/support/fixtures.h"
#include "tests/support/package_deformations.h"
#include "tests/support/package_images.h"
#include "tests/support/temp_dir.h"
#include "tools/package_writer/package_writer.h"

#ifndef _WIN32
#include "standin/standin_controls.h"
#endif

namespace {

using package_writer::Bytes;
using package_writer::SectionEntry;
using test_support::FixturePath;
using test_support::ReadBytes;
using test_support::ScopedTempDir;
using test_support::WriteBytes;

const char kMissingMz[] = "The file is not a valid executable: missing 'MZ' magic";
const char kWrongOffset[] = "The file is not a valid executable: PE header offset is wrong";
const char kMissingPe[] = "The file is not a valid executable: missing 'PE' signature";
const char kWrongMagic[] = "The file is not a valid executable: wrong 32-bit PE magic";
const char kNoSignature[] = "The file does not have a digital signature";
const char kWrongSize[] = "The file size is infcorrect";
const char kNoInstaller[] = "The installer data is missing";

// An independent reading of a package's headers, straight from the bytes and
// without the package writer: where the certificate table is, and where the
// section data of a well-formed image ends (the furthest end of any
// section's data).
struct IndependentReading {
    std::uint32_t table_offset = 0;
    std::uint32_t table_size = 0;
    std::uint32_t sections_end = 0;
};

std::uint32_t Le32(const Bytes& bytes, std::size_t at) {
    return bytes.at(at) | (bytes.at(at + 1) << 8) | (bytes.at(at + 2) << 16) |
           (std::uint32_t{bytes.at(at + 3)} << 24);
}

IndependentReading ReadIndependently(const Bytes& file) {
    IndependentReading reading;
    const std::uint32_t pe = Le32(file, 0x3C);
    const std::uint32_t sections = file.at(pe + 6) | (file.at(pe + 7) << 8);
    reading.table_offset = Le32(file, pe + 24 + 128);  // optional header + DataDirectory[4]
    reading.table_size = Le32(file, pe + 24 + 132);
    for (std::uint32_t i = 0; i < sections; ++i) {
        const std::size_t entry = pe + 24 + 224 + 40 * i;
        const std::uint32_t size = Le32(file, entry + 16);
        const std::uint32_t pointer = Le32(file, entry + 20);
        if (pointer != 0) {
            reading.sections_end = std::max(reading.sections_end, pointer + size);
        }
    }
    return reading;
}

// What construction gave: the four numbers, or the message it failed with.
struct Outcome {
    bool constructed = false;
    std::string message;
    std::int32_t table_offset = 0;
    std::int32_t table_size = 0;
    std::int32_t installer_offset = 0;
    std::int32_t installer_length = 0;
};

Outcome Construct(const std::wstring& path) {
    Outcome outcome;
    try {
        PeReader reader(path);
        outcome.constructed = true;
        EXPECT_EQ(reader.path(), path);
        outcome.table_offset = reader.certificate_table_offset();
        outcome.table_size = reader.certificate_table_size();
        outcome.installer_offset = reader.installer_offset();
        outcome.installer_length = reader.installer_length();
    } catch (const PeFormatException& error) {
        outcome.message = error.what();
    }
    return outcome;
}

// Writes the file, constructs a reader on it and checks that validation left
// the file as it was.
Outcome ConstructOn(const ScopedTempDir& dir, const Bytes& file) {
    WriteBytes(dir.File("package.exe"), file);
    Outcome outcome = Construct(dir.WindowsFile("package.exe"));
    EXPECT_TRUE(ReadBytes(dir.File("package.exe")) == file) << "validation changed the file";
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"package.exe"}) << "validation wrote a file";
    return outcome;
}

Bytes SignedPackage() {
    return ReadBytes(FixturePath("signed_package.exe"));
}

// The section entries of the signed test package, in table order.
std::vector<SectionEntry> Sections(const Bytes& file) {
    return package_writer::ReadHeaders(file).sections;
}

std::size_t IndexOfGreatestPointer(const Bytes& file) {
    const auto sections = Sections(file);
    std::size_t best = 0;
    for (std::size_t i = 0; i < sections.size(); ++i) {
        if (sections[i].pointer > sections[best].pointer) {
            best = i;
        }
    }
    return best;
}

// ---------------------------------------------------------------------------
// A package really signed by osslsigncode

TEST(PeReaderSigned, AcceptsSignedPackageWithNumbersOfAnIndependentReading) {
    const Bytes file = SignedPackage();
    const IndependentReading expected = ReadIndependently(file);
    ASSERT_EQ(std::uint64_t{expected.table_offset} + expected.table_size, file.size());
    ASSERT_LT(expected.sections_end, expected.table_offset);
    // The installer really lies there: the tiny installer program, byte for
    // byte (signing may pad it to the certificate table's 8-byte alignment).
    const Bytes installer = ReadBytes(FixturePath("tiny_installer.exe"));
    ASSERT_TRUE(
        std::equal(installer.begin(), installer.end(), file.begin() + expected.sections_end));

    ScopedTempDir dir;
    const Outcome outcome = ConstructOn(dir, file);
    ASSERT_TRUE(outcome.constructed) << outcome.message;
    EXPECT_EQ(outcome.table_offset, static_cast<std::int32_t>(expected.table_offset));
    EXPECT_EQ(outcome.table_size, static_cast<std::int32_t>(expected.table_size));
    EXPECT_EQ(outcome.installer_offset, static_cast<std::int32_t>(expected.sections_end));
    EXPECT_EQ(outcome.installer_length,
              static_cast<std::int32_t>(expected.table_offset - expected.sections_end));
}

TEST(PeReaderSigned, AcceptsTaggedPackageWhoseTableCoversTheExtraData) {
    const Bytes signed_file = SignedPackage();
    package_writer::TagOptions options;
    options.version = 2;
    options.params_base64 = "eyJhIjoxfQ==";
    options.icon = test_support::PatternBytes(300, 3);
    options.picture = test_support::PatternBytes(1000, 4);
    const Bytes file = test_support::TagImage(signed_file, options);
    const IndependentReading expected = ReadIndependently(file);

    ScopedTempDir dir;
    const Outcome outcome = ConstructOn(dir, file);
    ASSERT_TRUE(outcome.constructed) << outcome.message;
    EXPECT_EQ(outcome.table_size, static_cast<std::int32_t>(expected.table_size));
    EXPECT_EQ(std::size_t(outcome.table_offset) + std::size_t(outcome.table_size), file.size());
    EXPECT_EQ(outcome.installer_offset, static_cast<std::int32_t>(expected.sections_end));
    EXPECT_EQ(outcome.installer_length,
              static_cast<std::int32_t>(expected.table_offset - expected.sections_end));
}

// ---------------------------------------------------------------------------
// Every failure of the format checks, each from a real file

struct FailureCase {
    const char* what;  // what the row proves
    std::function<Bytes()> make;
    const char* message;
};

Bytes Modified(const std::function<void(Bytes&)>& change) {
    Bytes file = SignedPackage();
    change(file);
    return file;
}

std::uint32_t NtOffsetOf(const Bytes& file) {
    return Le32(file, 0x3C);
}

const std::vector<FailureCase>& FailureCases() {
    using namespace package_writer;
    using namespace test_support;
    static const std::vector<FailureCase> cases = {
        {"an empty file has no DOS header", [] { return Bytes{}; }, kMissingMz},
        {"a file shorter than the DOS header",
         [] { return Modified([](Bytes& f) { f.resize(63); }); }, kMissingMz},
        {"a wrong DOS magic", [] { return Modified([](Bytes& f) { f[1] = 'X'; }); }, kMissingMz},
        {"e_lfanew 0", [] { return Modified([](Bytes& f) { SetNtHeadersOffset(f, 0); }); },
         kWrongOffset},
        {"e_lfanew 4097", [] { return Modified([](Bytes& f) { SetNtHeadersOffset(f, 4097); }); },
         kWrongOffset},
        {"e_lfanew INT32_MAX",
         [] { return Modified([](Bytes& f) { SetNtHeadersOffset(f, INT32_MAX); }); }, kWrongOffset},
        {"a negative e_lfanew passes the range check and fails the seek",
         [] { return Modified([](Bytes& f) { SetNtHeadersOffset(f, -1); }); }, kMissingPe},
        {"the most negative e_lfanew",
         [] { return Modified([](Bytes& f) { SetNtHeadersOffset(f, INT32_MIN); }); }, kMissingPe},
        {"a wrong PE signature",
         [] { return Modified([](Bytes& f) { f[NtOffsetOf(f) + 2] = 1; }); }, kMissingPe},
        {"a file that ends inside the NT headers",
         [] { return Modified([](Bytes& f) { f.resize(NtOffsetOf(f) + 247); }); }, kMissingPe},
        {"e_lfanew 4096 in a file that ends before 4096 + 248 bytes",
         [] {
             return Modified([](Bytes& f) {
                 SetNtHeadersOffset(f, 4096);
                 f.resize(4096 + 100);
             });
         },
         kMissingPe},
        {"a PE32+ optional header",
         [] { return Modified([](Bytes& f) { SetOptionalMagic(f, 0x20B); }); }, kWrongMagic},
        {"a ROM optional header",
         [] { return Modified([](Bytes& f) { SetOptionalMagic(f, 0x107); }); }, kWrongMagic},
        {"an unsigned package with installer data, as built before signing",
         [] { return ReadBytes(FixturePath("unsigned_package.exe")); }, kNoSignature},
        {"a zeroed security directory",
         [] { return Modified([](Bytes& f) { SetSecurityDirectory(f, 0, 0); }); }, kNoSignature},
        {"a certificate table offset of 0",
         [] {
             return Modified([](Bytes& f) {
                 SetSecurityDirectory(f, 0, static_cast<std::uint32_t>(f.size()));
             });
         },
         kNoSignature},
        {"a certificate table size of 0",
         [] {
             return Modified([](Bytes& f) {
                 SetSecurityDirectory(f, static_cast<std::uint32_t>(f.size()), 0);
             });
         },
         kNoSignature},
        {"one byte appended behind the certificate table",
         [] { return Modified([](Bytes& f) { AppendBytes(f, 1); }); }, kWrongSize},
        {"a tagged package with bytes appended",
         [] {
             TagOptions options;
             options.params_base64 = "e30=";
             Bytes f = TagImage(SignedPackage(), options);
             AppendBytes(f, 16, 0xAB);
             return f;
         },
         kWrongSize},
        {"a certificate table that ends before the last byte",
         [] {
             return Modified([](Bytes& f) {
                 const auto table = ReadHeaders(f).security;
                 SetSecurityDirectory(f, table.offset, table.size - 8);
             });
         },
         kWrongSize},
        {"a certificate table that ends beyond the file",
         [] {
             return Modified([](Bytes& f) {
                 const auto table = ReadHeaders(f).security;
                 SetSecurityDirectory(f, table.offset, table.size + 1);
             });
         },
         kWrongSize},
        {"a certificate table whose end wraps around 4 GiB onto the file size",
         [] {
             return Modified([](Bytes& f) {
                 const auto size = static_cast<std::uint32_t>(f.size());
                 SetSecurityDirectory(f, size + 16, 0xFFFFFFF0u);
             });
         },
         kWrongSize},
        {"a signed stub with nothing between its sections and its certificate table",
         [] { return ReadBytes(FixturePath("signed_stub.exe")); }, kNoInstaller},
        {"a last section whose data reaches into the certificate table",
         [] {
             return Modified([](Bytes& f) {
                 const auto index = IndexOfGreatestPointer(f);
                 const auto table = ReadHeaders(f).security;
                 const auto last = Sections(f)[index];
                 SetSection(f, index, {last.pointer, table.offset - last.pointer + 8});
             });
         },
         kNoInstaller},
        {"a last section that ends exactly at the certificate table",
         [] {
             return Modified([](Bytes& f) {
                 const auto index = IndexOfGreatestPointer(f);
                 const auto table = ReadHeaders(f).security;
                 const auto last = Sections(f)[index];
                 SetSection(f, index, {last.pointer, table.offset - last.pointer});
             });
         },
         kNoInstaller},
        {"a last section whose end wraps around 4 GiB to a small offset",
         [] {
             return Modified([](Bytes& f) {
                 const auto index = IndexOfGreatestPointer(f);
                 const auto last = Sections(f)[index];
                 SetSection(f, index, {last.pointer, 0u - last.pointer + 16});
             });
         },
         kNoInstaller},
        {"a last section that starts at the end of the file",
         [] {
             return Modified([](Bytes& f) {
                 SetSection(f, 0, {static_cast<std::uint32_t>(f.size()), 0});
             });
         },
         kNoInstaller},
        {"a section table that runs past the end of the file",
         [] { return Modified([](Bytes& f) { SetSectionCount(f, 0xFFFF); }); }, kNoInstaller},
    };
    return cases;
}

TEST(PeReaderFormat, RejectsEachMalformedFileWithTheMessageOfItsCheck) {
    ScopedTempDir dir;
    for (const FailureCase& row : FailureCases()) {
        SCOPED_TRACE(row.what);
        const Outcome outcome = ConstructOn(dir, row.make());
        EXPECT_FALSE(outcome.constructed);
        EXPECT_EQ(outcome.message, row.message);
    }
}

// Positions in a package are signed 32-bit numbers, so a file of 2 GiB or
// more is no package, even when the low 32 bits of its size equal the
// certificate table's end. The files are sparse: the headers of the signed
// package, then a hole.
TEST(PeReaderFormat, RejectsFilesOf2GiBOrMoreWhoseLowSizeBitsMatchTheTable) {
    struct Row {
        const char* what;
        std::uint64_t file_size;
        bool keep_table;  // the signed table as it is, else one that ends at 2 GiB
    };
    const Row rows[] = {
        {"exactly 2 GiB, the table ending there", 0x80000000ull, false},
        {"4 GiB more than the signed file", 0x100000000ull, true},
    };
    ScopedTempDir dir;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Bytes file = SignedPackage();
        const package_writer::SecurityDirectory table = package_writer::ReadHeaders(file).security;
        const std::uint64_t size = row.keep_table ? row.file_size + file.size() : row.file_size;
        if (!row.keep_table) {
            test_support::SetSecurityDirectory(file, table.offset,
                                               static_cast<std::uint32_t>(size - table.offset));
        }
        WriteBytes(dir.File("huge.exe"), file);
        std::filesystem::resize_file(dir.File("huge.exe"), size);
        const Outcome outcome = Construct(dir.WindowsFile("huge.exe"));
        EXPECT_FALSE(outcome.constructed);
        EXPECT_EQ(outcome.message, kWrongSize);
        EXPECT_EQ(std::filesystem::file_size(dir.File("huge.exe")), size);
        std::filesystem::remove(dir.File("huge.exe"));
    }
}

TEST(PeReaderFormat, RejectsMissingFileWithTheMzMessage) {
    ScopedTempDir dir;
    const Outcome outcome = Construct(dir.WindowsFile("absent.exe"));
    EXPECT_FALSE(outcome.constructed);
    EXPECT_EQ(outcome.message, kMissingMz);
    EXPECT_TRUE(dir.Names().empty());
}

// ---------------------------------------------------------------------------
// Where the installer image lies

struct LayoutCase {
    const char* what;
    std::function<Bytes()> make;
    // The expected installer offset, given the file.
    std::function<std::uint32_t(const Bytes&)> installer_offset;
};

std::uint32_t EndOf(const SectionEntry& section) {
    return section.pointer + section.size;
}

const std::vector<LayoutCase>& LayoutCases() {
    using namespace package_writer;
    using namespace test_support;
    static const std::vector<LayoutCase> cases = {
        {"e_lfanew 4096 is accepted",
         [] { return Modified([](Bytes& f) { MoveNtHeaders(f, 4096); }); },
         [](const Bytes& f) { return ReadIndependently(f).sections_end; }},
        {"a section whose pointer lies beyond the file is skipped, whatever its size",
         [] {
             return Modified([](Bytes& f) {
                 SetSection(f, IndexOfGreatestPointer(f),
                            {static_cast<std::uint32_t>(f.size()) + 1, 0});
             });
         },
         [](const Bytes& f) {
             // The runner-up: the section with the greatest pointer left.
             std::uint32_t best_pointer = 0, end = 0;
             for (const auto& s : Sections(f)) {
                 if (s.pointer <= f.size() && s.pointer > best_pointer) {
                     best_pointer = s.pointer;
                     end = EndOf(s);
                 }
             }
             return end;
         }},
        {"the greatest pointer wins even when an earlier section ends further out",
         [] {
             return Modified([](Bytes& f) {
                 const auto table = ReadHeaders(f).security;
                 const auto first = Sections(f)[0];
                 SetSection(f, 0, {first.pointer, table.offset - first.pointer - 100});
             });
         },
         [](const Bytes& f) { return EndOf(Sections(f)[IndexOfGreatestPointer(f)]); }},
        {"no sections: the installer runs from the start of the file",
         [] { return Modified([](Bytes& f) { SetSectionCount(f, 0); }); },
         [](const Bytes&) { return 0u; }},
        {"only zero pointers: the installer runs from the start of the file",
         [] {
             return Modified([](Bytes& f) {
                 for (std::size_t i = 0; i < Sections(f).size(); ++i) {
                     SetSection(f, i, {0, 0x1000});
                 }
             });
         },
         [](const Bytes&) { return 0u; }},
        {"equal pointers: the first in table order supplies the size",
         [] {
             SyntheticPeOptions options;
             options.sections = {{0x400, 0x100}, {0x600, 0x80}, {0x600, 0x200}, {0x500, 0x50}};
             options.tail = test_support::PatternBytes(0x300);
             Bytes f = BuildSyntheticPe(options);
             AttachFakeSignature(f);
             return f;
         },
         [](const Bytes&) { return 0x680u; }},
        {"synthetic: a section beyond the file and a zero pointer are passed over",
         [] {
             SyntheticPeOptions options;
             options.sections = {{0x400, 0x200}, {0x90000, 0x10, false}, {0, 0x5000}};
             options.tail = test_support::PatternBytes(17);
             Bytes f = BuildSyntheticPe(options);
             AttachFakeSignature(f, 64);
             return f;
         },
         [](const Bytes&) { return 0x600u; }},
    };
    return cases;
}

TEST(PeReaderLayout, PlacesTheInstallerBehindTheSectionWithTheGreatestPointer) {
    ScopedTempDir dir;
    for (const LayoutCase& row : LayoutCases()) {
        SCOPED_TRACE(row.what);
        const Bytes file = row.make();
        const IndependentReading reading = ReadIndependently(file);
        const std::uint32_t expected_offset = row.installer_offset(file);
        const Outcome outcome = ConstructOn(dir, file);
        ASSERT_TRUE(outcome.constructed) << outcome.message;
        EXPECT_EQ(outcome.table_offset, static_cast<std::int32_t>(reading.table_offset));
        EXPECT_EQ(outcome.table_size, static_cast<std::int32_t>(reading.table_size));
        EXPECT_EQ(outcome.installer_offset, static_cast<std::int32_t>(expected_offset));
        EXPECT_EQ(outcome.installer_length,
                  static_cast<std::int32_t>(reading.table_offset - expected_offset));
    }
}

// ---------------------------------------------------------------------------
// Failed Windows calls, through the stand-in's fault injection

#ifndef _WIN32

struct FaultCase {
    const char* what;
    standin::Operation operation;
    unsigned nth;
    DWORD code;
    // Either a system error with this message and the injected code...
    const char* system_message;
    // ...or a format failure with this message.
    const char* format_message;
};

TEST(PeReaderFaults, ReportsFailedCallsAndLeavesNoHandleOpen) {
    using standin::Operation;
    const std::vector<FaultCase> cases = {
        // Construction opens the file twice: the header stream first, then
        // the handle for the size query.
        {"the size query cannot open the file", Operation::CreateFileW, 2, 5,
         "Failed to open current executable file", nullptr},
        {"the size query fails", Operation::GetFileSizeEx, 1, 0x1F, "Failed get file size",
         nullptr},
        {"the header stream cannot be opened", Operation::CreateFileW, 1, 32, nullptr, kMissingMz},
        {"the DOS header read fails", Operation::ReadFile, 1, 23, nullptr, kMissingMz},
        {"the seek to the NT headers fails", Operation::SetFilePointer, 1, 131, nullptr,
         kMissingPe},
        {"the NT header read fails", Operation::ReadFile, 2, 23, nullptr, kMissingPe},
        {"the section table read fails", Operation::ReadFile, 3, 23, nullptr, kNoInstaller},
    };
    ScopedTempDir dir;
    WriteBytes(dir.File("package.exe"), SignedPackage());
    const std::wstring path = dir.WindowsFile("package.exe");
    for (const FaultCase& row : cases) {
        SCOPED_TRACE(row.what);
        standin::ScopedControls controls;
        const std::size_t handles = standin::OpenHandleCount();
        standin::FailNthCall(row.operation, row.nth, row.code);
        try {
            PeReader reader(path);
            ADD_FAILURE() << "construction succeeded";
        } catch (const std::system_error& error) {
            ASSERT_NE(row.system_message, nullptr) << error.what();
            EXPECT_EQ(error.code().value(), static_cast<int>(row.code));
            EXPECT_EQ(error.code().category(), std::system_category());
            EXPECT_EQ(std::string(error.what()).rfind(std::string(row.system_message) + "\r\n", 0),
                      0u)
                << error.what();
        } catch (const PeFormatException& error) {
            ASSERT_NE(row.format_message, nullptr) << error.what();
            EXPECT_STREQ(error.what(), row.format_message);
        }
        EXPECT_EQ(standin::OpenHandleCount(), handles);
    }
}

TEST(PeReaderFaults, ClosesBothHandlesAfterSuccess) {
    ScopedTempDir dir;
    WriteBytes(dir.File("package.exe"), SignedPackage());
    standin::ScopedControls controls;
    const std::size_t handles = standin::OpenHandleCount();
    PeReader reader(dir.WindowsFile("package.exe"));
    EXPECT_EQ(standin::OpenHandleCount(), handles);
    EXPECT_EQ(standin::CallCount(standin::Operation::CreateFileW), 2u);
    EXPECT_EQ(standin::CallCount(standin::Operation::WriteFile), 0u);
}

#endif  // _WIN32

// ---------------------------------------------------------------------------
// Mutated headers: construction either yields a consistent reader or one of
// the format messages; it never crashes, leaks a handle or writes.

class HeaderMutator {
  public:
    explicit HeaderMutator(std::uint32_t seed) : random_(seed) {}

    Bytes Mutate(const Bytes& original) {
        Bytes file = original;
        const int changes = 1 + Below(4);
        for (int i = 0; i < changes; ++i) {
            MutateOnce(file);
        }
        return file;
    }

  private:
    int Below(int limit) { return std::uniform_int_distribution<int>(0, limit - 1)(random_); }
    std::uint32_t Any32() { return static_cast<std::uint32_t>(random_()); }

    // A value that sits on a boundary of the file in hand, or anywhere.
    std::uint32_t Interesting(const Bytes& file) {
        const auto size = static_cast<std::uint32_t>(file.size());
        const std::uint32_t choices[] = {0,
                                         1,
                                         size,
                                         size - 1,
                                         size + 1,
                                         size / 2,
                                         0x7FFFFFFFu,
                                         0x80000000u,
                                         0xFFFFFFFFu,
                                         4096,
                                         4097,
                                         Any32(),
                                         Any32() % (size + 64)};
        return choices[Below(static_cast<int>(std::size(choices)))];
    }

    void Put16(Bytes& file, std::size_t at, std::uint16_t value) {
        for (std::size_t i = 0; i < 2 && at + i < file.size(); ++i) {
            file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }

    void Put32(Bytes& file, std::size_t at, std::uint32_t value) {
        for (std::size_t i = 0; i < 4 && at + i < file.size(); ++i) {
            file[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
        }
    }

    void MutateOnce(Bytes& file) {
        if (file.size() < 64) {
            file.push_back(static_cast<std::uint8_t>(Any32()));
            return;
        }
        const std::uint32_t nt = Le32(file, 0x3C) % 4200;
        switch (Below(9)) {
            case 0:  // any byte of the headers
                file[Below(static_cast<int>(std::min<std::size_t>(file.size(), 0x400)))] ^=
                    static_cast<std::uint8_t>(1 + Below(255));
                break;
            case 1:
                Put32(file, 0x3C, Interesting(file));
                break;
            case 2:  // NumberOfSections
                Put16(file, nt + 6, static_cast<std::uint16_t>(Below(2) ? Below(20) : Any32()));
                break;
            case 3:
                Put32(file, nt + 152, Interesting(file));
                break;
            case 4:
                Put32(file, nt + 156, Interesting(file));
                break;
            case 5:  // a section's pointer or size
                Put32(file, nt + 248 + 40 * Below(10) + (Below(2) ? 16 : 20), Interesting(file));
                break;
            case 6:
                file.resize(Below(static_cast<int>(file.size())));
                break;
            case 7:
                file.insert(file.end(), 1 + Below(64), static_cast<std::uint8_t>(Any32()));
                break;
            default:  // the optional header's magic
                Put16(file, nt + 24, Below(2) ? 0x20B : 0x10B);
                break;
        }
    }

    std::mt19937 random_;
};

TEST(PeReaderFuzz, MutatedHeadersGiveAValidReaderOrAListedMessage) {
#ifdef _WIN32
    constexpr int kIterations = 150;  // every file operation crosses into Wine
#else
    constexpr int kIterations = 3000;
    standin::ScopedControls controls;
    const std::size_t handles = standin::OpenHandleCount();
#endif
    const std::set<std::string> messages = {kMissingMz,   kWrongOffset, kMissingPe,  kWrongMagic,
                                            kNoSignature, kWrongSize,   kNoInstaller};
    package_writer::TagOptions tag;
    tag.params_base64 = "eyJrIjoidiJ9";
    const std::vector<Bytes> originals = {SignedPackage(),
                                          test_support::TagImage(SignedPackage(), tag)};

    ScopedTempDir dir;
    const std::wstring path = dir.WindowsFile("package.exe");
    HeaderMutator mutator(20261208);
    int constructed = 0;
    std::set<std::string> seen;
    for (int i = 0; i < kIterations; ++i) {
        const Bytes file = mutator.Mutate(originals[i % originals.size()]);
        WriteBytes(dir.File("package.exe"), file);
        try {
            PeReader reader(path);
            ++constructed;
            EXPECT_GT(reader.installer_length(), 0) << "iteration " << i;
            EXPECT_GE(reader.installer_offset(), 0) << "iteration " << i;
            EXPECT_EQ(std::int64_t{reader.installer_offset()} + reader.installer_length(),
                      reader.certificate_table_offset())
                << "iteration " << i;
            EXPECT_GT(reader.certificate_table_size(), 0) << "iteration " << i;
            EXPECT_EQ(std::uint64_t(reader.certificate_table_offset()) +
                          std::uint64_t(reader.certificate_table_size()),
                      file.size())
                << "iteration " << i;
        } catch (const PeFormatException& error) {
            seen.insert(error.what());
            EXPECT_EQ(messages.count(error.what()), 1u)
                << "iteration " << i << ": " << error.what();
        }
        ASSERT_TRUE(ReadBytes(dir.File("package.exe")) == file) << "iteration " << i;
#ifndef _WIN32
        ASSERT_EQ(standin::OpenHandleCount(), handles) << "iteration " << i;
#endif
    }
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"package.exe"});
    // The mutations reach both outcomes and most checks.
    EXPECT_GT(constructed, 0);
    EXPECT_GE(seen.size(), 5u);
}

}  // namespace
