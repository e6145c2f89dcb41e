// PrepareTag: a tag's content checked and, with a key, signed (the parts of
// tag_content.h that need the system's cryptography).
#include "tools/packaging/base64_encode.h"
#include "tools/packaging/sha256.h"
#include "tools/packaging/tag_content.h"

namespace packaging {

PreparedTag PrepareTag(const TagContent& content) {
    PreparedTag prepared;
    prepared.params_json = content.params_json;
    if (content.sign_key) {
        const std::string_view text(reinterpret_cast<const char*>(content.params_json.data()),
                                    content.params_json.size());
        CheckSignableParams(text);
        const auto digest = [](const Bytes& block) {
            return block.empty() ? std::nullopt : std::optional<Sha256Digest>(Sha256(block));
        };
        const std::string signed_text =
            SignedParamsText(text, content.sign_key->Sign(TagSignatureMessage(
                                       text, digest(content.icon), digest(content.picture))));
        prepared.params_json = Bytes(signed_text.begin(), signed_text.end());
    }
    prepared.version = CheckTagContent(prepared.params_json, content.icon.size(),
                                       content.picture.size(), content.version);
    prepared.options.version = prepared.version;
    prepared.options.params_base64 = Base64Encode(prepared.params_json);
    prepared.options.icon = content.icon;
    prepared.options.picture = content.picture;
    prepared.options.placement = content.placement;
    return prepared;
}

}  // namespace packaging
