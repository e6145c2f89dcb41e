// Interim: the certificate-table-level tag functions that the package writer
// and tvkpack are getting, made here from their whole-image functions so
// that the server builds until those land. Removed when they do.
#pragma once

#include "tools/package_writer/package_writer.h"
#include "tools/tvkpack/tvkpack_commands.h"

namespace package_writer {
Bytes TagCertificateTable(const Bytes& signed_table, const TagOptions& options);
}

namespace tvkpack {
struct PreparedTag {
    package_writer::TagOptions options;
    std::int32_t version = 0;
};
PreparedTag PrepareTag(const TagContent& content);
Bytes SignedCertificateTable(const Bytes& table);
}  // namespace tvkpack
