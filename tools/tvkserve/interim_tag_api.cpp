#include "tools/tvkserve/interim_tag_api.h"

#include "tools/tvkpack/base64_encode.h"

namespace {

// A small PE image whose certificate table is table.
package_writer::Bytes ImageWith(const package_writer::Bytes& table) {
    package_writer::Bytes image = package_writer::BuildSyntheticPe({});
    image.resize((image.size() + 7) / 8 * 8);
    const auto offset = static_cast<std::uint32_t>(image.size());
    image.insert(image.end(), table.begin(), table.end());
    package_writer::SetSecurityDirectory(image, offset, static_cast<std::uint32_t>(table.size()));
    return image;
}

package_writer::Bytes TableOf(const package_writer::Bytes& image) {
    const auto security = package_writer::ReadHeaders(image).security;
    return package_writer::Bytes(image.begin() + security.offset, image.end());
}

}  // namespace

namespace package_writer {
Bytes TagCertificateTable(const Bytes& signed_table, const TagOptions& options) {
    return TableOf(Tag(ImageWith(signed_table), options));
}
}  // namespace package_writer

namespace tvkpack {
PreparedTag PrepareTag(const TagContent& content) {
    const package_writer::Bytes signed_table = {16, 0, 0, 0, 0, 2, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const TagOutcome outcome = TagImage(ImageWith(signed_table), content);
    PreparedTag prepared;
    prepared.version = outcome.version;
    prepared.options.version = outcome.version;
    prepared.options.params_base64 = Base64Encode(content.params_json);
    prepared.options.icon = content.icon;
    prepared.options.picture = content.picture;
    return prepared;
}

Bytes SignedCertificateTable(const Bytes& table) {
    const Bytes image = ImageWith(table);
    return IsTagged(image) ? TableOf(UntagImage(image)) : table;
}
}  // namespace tvkpack
