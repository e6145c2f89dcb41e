// make_fuzz_seeds SIGNED_PACKAGE DUAL_SIGNED_PACKAGE OUT_FOLDER
//
// Writes the seed corpora for the fuzz targets: real signed packages (one
// signature, and SHA-1 with a nested SHA-256 one) tagged as version 1 and 2
// packages inside and behind the signature, their certificate tables,
// synthetic packages of both versions, base64 texts, and signed and
// unsigned parameters texts and command lines. Each target's
// corpus goes into OUT_FOLDER/<target>/.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/package_images.h"
#include "tests/support/synthetic_package.h"
#include "tools/package_writer/package_writer.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Write(const std::filesystem::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Text(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: make_fuzz_seeds SIGNED_PACKAGE DUAL_SIGNED_PACKAGE OUT_FOLDER\n");
        return 2;
    }
    const std::filesystem::path out = argv[3];
    for (const char* target : {"pe_reader_fuzz", "run_sequence_fuzz", "base64_fuzz",
                               "signature_tag_fuzz", "tag_verify_fuzz"}) {
        std::filesystem::create_directories(out / target);
    }
    const std::string params = "eyJwcm9kdWN0IjoiRGVtbyIsImJyYW5kIjoiQUNNRSJ9";
    std::vector<std::pair<std::string, Bytes>> packages;

    for (const auto& [name, path] : {std::pair{std::string("signed"), argv[1]},
                                     std::pair{std::string("dual_signed"), argv[2]}}) {
        const Bytes signed_image = test_support::ReadBytes(path);
        packages.emplace_back(name, signed_image);
        for (const auto placement : {tag_writer::TagPlacement::kInsideSignature,
                                     tag_writer::TagPlacement::kBehindSignature}) {
            const std::string where =
                placement == tag_writer::TagPlacement::kInsideSignature ? "_inside" : "_behind";
            package_writer::TagOptions version1;
            version1.placement = placement;
            version1.params_base64 = params;
            packages.emplace_back(name + where + "_v1",
                                  test_support::TagImage(signed_image, version1));
            package_writer::TagOptions version2 = version1;
            version2.version = 2;
            version2.icon = test_support::PatternBytes(64, 1);
            version2.picture = test_support::PatternBytes(96, 2);
            packages.emplace_back(name + where + "_v2",
                                  test_support::TagImage(signed_image, version2));
        }
    }
    for (const auto& [name, bytes] : packages) {
        const auto table = package_writer::ReadHeaders(bytes).security.offset;
        Write(out / "signature_tag_fuzz" / name, Bytes(bytes.begin() + table, bytes.end()));
    }

    test_support::SyntheticPackage synthetic;
    synthetic.installer = test_support::PatternBytes(256, 3);
    synthetic.signature_size = 64;
    synthetic.params_text = params;
    packages.emplace_back("synthetic_v1", synthetic.Build());
    synthetic.version = 2;
    synthetic.icon = test_support::PatternBytes(16, 4);
    synthetic.picture = test_support::PatternBytes(24, 5);
    packages.emplace_back("synthetic_v2", synthetic.Build());

    for (const auto& [name, bytes] : packages) {
        Write(out / "pe_reader_fuzz" / name, bytes);
        Write(out / "run_sequence_fuzz" / name, bytes);
    }
    const char* const kTexts[] = {params.c_str(), "YWJj", "YWI=", "YWJjZ", "YWJj\nZGVm", "==", ""};
    int index = 0;
    for (const char* text : kTexts) {
        Write(out / "base64_fuzz" / ("text" + std::to_string(index++)), Text(text));
    }
    const char* const kTagTexts[] = {
        R"({"product":"Demo","n":[1,-2.5e3,true,null],"tvk_sig":"QUJDRA"})",
        "\xEF\xBB\xBF{ \n\"tvk_sig\":\"-_8\"}\n",
        R"({"s":"}\"tvk_sig\"","o":{"tvk\u005fsig":""}})",
        R"("C:\Setup\setup.exe" /pi="C:\a b\p.json" /pic="p.bmp" "/ico=i.ico" x\"y)",
    };
    index = 0;
    for (const char* text : kTagTexts) {
        Write(out / "tag_verify_fuzz" / ("text" + std::to_string(index++)), Text(text));
    }
    return 0;
}
