#include "tests/support/tvkpack_images.h"

#include <functional>

#include "tests/support/temp_dir.h"

namespace test_support {

namespace {

// Runs step on the image's files in a fresh folder; returns the output.
Bytes Through(const std::vector<Bytes>& inputs,
              const std::function<void(const std::vector<packaging::InputFile>&,
                                       packaging::PendingOutput&)>& step) {
    ScopedTempDir dir;
    std::vector<packaging::InputFile> files;
    files.reserve(inputs.size());
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        const auto path = dir.File("input" + std::to_string(i) + ".exe");
        WriteBytes(path, inputs[i]);
        files.emplace_back(path, "input");
    }
    const auto output_path = dir.File("output.exe");
    packaging::PendingOutput output(output_path);
    step(files, output);
    output.Commit();
    return ReadBytes(output_path);
}

}  // namespace

Bytes TvkpackEmbed(const Bytes& stub, const Bytes& installer) {
    return Through({stub, installer}, [](const auto& files, auto& output) {
        tvkpack::EmbedPackage(files[0], files[1], output);
    });
}

TvkpackTagged TvkpackTag(const Bytes& signed_or_tagged, const tvkpack::TagContent& content) {
    TvkpackTagged tagged;
    tagged.package = Through({signed_or_tagged}, [&](const auto& files, auto& output) {
        static_cast<tvkpack::TagOutcome&>(tagged) = tvkpack::TagPackage(files[0], content, output);
    });
    return tagged;
}

Bytes TvkpackUntag(const Bytes& tagged) {
    return Through(
        {tagged}, [](const auto& files, auto& output) { tvkpack::UntagPackage(files[0], output); });
}

}  // namespace test_support
