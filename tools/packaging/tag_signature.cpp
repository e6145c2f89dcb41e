#include "tools/packaging/tag_signature.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "tools/packaging/base64_encode.h"

namespace packaging {

namespace {

constexpr std::string_view kMessageFormat = "tvk-tag-v1\n";

std::string Hex(const std::optional<Sha256Digest>& digest) {
    if (!digest) {
        return "-";
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string text;
    for (const std::uint8_t byte : *digest) {
        text += kHex[byte >> 4];
        text += kHex[byte & 0xF];
    }
    return text;
}

// Where the object's closing brace lies: JSON white space may follow it.
std::size_t ClosingBrace(std::string_view text) {
    std::size_t end = text.size();
    while (end > 0 && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\n' ||
                       text[end - 1] == '\r')) {
        --end;
    }
    return end - 1;
}

bool IsEmptyObject(std::string_view text) {
    return nlohmann::json::parse(text.begin(), text.end()).empty();
}

std::string Member(std::string_view signature_text) {
    return "\"" + std::string(kTagSignatureMember) + "\":\"" + std::string(signature_text) + "\"";
}

}  // namespace

std::string TagSignatureMessage(std::string_view unsigned_params,
                                const std::optional<Sha256Digest>& icon,
                                const std::optional<Sha256Digest>& picture) {
    std::string message(kMessageFormat);
    message += unsigned_params;
    message += "\n" + Hex(icon) + "\n" + Hex(picture);
    return message;
}

void CheckSignableParams(std::string_view unsigned_params) {
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(unsigned_params.begin(), unsigned_params.end());
    } catch (const nlohmann::json::exception& error) {
        throw CommandError(std::string("the parameters are not JSON: ") + error.what());
    }
    if (!parsed.is_object()) {
        throw CommandError("the parameters of a signed tag must be a JSON object");
    }
    if (parsed.contains(kTagSignatureMember)) {
        throw CommandError("the parameters already have a member \"" +
                           std::string(kTagSignatureMember) + "\", which a signed tag adds");
    }
}

std::string SignedParamsText(std::string_view unsigned_params, std::string_view signature_text) {
    const std::size_t brace = ClosingBrace(unsigned_params);
    std::string text(unsigned_params.substr(0, brace));
    text += (IsEmptyObject(unsigned_params) ? "" : ",") + Member(signature_text);
    text += unsigned_params.substr(brace);
    return text;
}

std::optional<SplitParams> SplitSignedParams(std::string_view signed_params) {
    if (signed_params.empty()) {
        return std::nullopt;
    }
    const std::size_t brace = ClosingBrace(signed_params);
    if (brace >= signed_params.size() || signed_params[brace] != '}' ||
        !signed_params.substr(0, brace).ends_with('"')) {
        return std::nullopt;
    }
    const std::string_view front = signed_params.substr(0, brace - 1);  // without the last '"'
    const std::string opening = "\"" + std::string(kTagSignatureMember) + "\":\"";
    const std::size_t member = front.rfind(opening);
    if (member == std::string_view::npos) {
        return std::nullopt;
    }
    SplitParams split;
    split.signature_text = std::string(front.substr(member + opening.size()));
    if (!std::all_of(split.signature_text.begin(), split.signature_text.end(), [](char c) {
            return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '-' || c == '_';
        })) {
        return std::nullopt;
    }
    const std::size_t cut = member > 0 && front[member - 1] == ',' ? member - 1 : member;
    split.unsigned_params =
        std::string(signed_params.substr(0, cut)) + std::string(signed_params.substr(brace));
    try {
        CheckSignableParams(split.unsigned_params);
        if (SignedParamsText(split.unsigned_params, split.signature_text) != signed_params) {
            return std::nullopt;
        }
    } catch (const CommandError&) {
        return std::nullopt;
    }
    return split;
}

std::size_t SignedParamsSize(std::string_view unsigned_params, std::size_t signature_text_size) {
    return unsigned_params.size() + (IsEmptyObject(unsigned_params) ? 0 : 1) +
           Member(std::string(signature_text_size, 'A')).size();
}

}  // namespace packaging
