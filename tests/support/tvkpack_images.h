// The packaging command's streamed steps on images held in memory, for the
// tests that build packages: each image is written to a file of a scoped
// temporary folder, the step runs from file to file as the command runs it,
// and what it wrote is read back. Failures come as the steps throw them.
#pragma once

#include <vector>

#include "tools/tvkpack/tvkpack_commands.h"

namespace test_support {

using Bytes = std::vector<std::uint8_t>;  // as tests/support/temp_dir.h names it

struct TvkpackTagged : tvkpack::TagOutcome {
    Bytes package;
};

// tvkpack::EmbedPackage: the unsigned package with its checksum.
Bytes TvkpackEmbed(const Bytes& stub, const Bytes& installer);
// tvkpack::TagPackage.
TvkpackTagged TvkpackTag(const Bytes& signed_or_tagged, const tvkpack::TagContent& content);
// tvkpack::UntagPackage.
Bytes TvkpackUntag(const Bytes& tagged);

}  // namespace test_support
