// The WebAssembly module's interface to edge/'s JavaScript: one call that
// names a step of edge_content.h, with JSON and bytes in and JSON and bytes
// out. Every step runs inside a try block, so an exception never leaves the
// module: it becomes {"error": "..."} for the JavaScript to answer.
//
//   edge_call(step, json, json_size, bytes, bytes_size) -> 0 (done) or 1 (error)
//   then edge_result_json() / edge_result_json_size() and
//   edge_result_bytes() / edge_result_bytes_size() until the next call.
//
// Steps and their JSON:
//   kConfigure  {"config": "<the edge's configuration as text>"} -> Summary()
//   kAddPackage {"id", "manifest"}           -> AddPackage()
//   kAddBrand   {"id", "icon_size"}, bytes = icon then picture -> AddBrand()
//   kSetBrandDigests {"id", "blocks", "icon", "picture"} (hex)
//   kSetTagKey  {"public_key_digest" (hex), "signature_text_size"}
//   kPlan       the request (see EdgeContent::Plan)       -> its plan
//   kSignatureMessage {"brand", "params_text"} -> bytes = the message
//   kTag        the plan's "download", bytes = the signature (or none)
#include <emscripten/emscripten.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "tools/download/config_json.h"
#include "tools/edge_tagger/edge_content.h"

namespace {

using edge_tagger::Bytes;
using edge_tagger::Digest;
using edge_tagger::EdgeContent;
using edge_tagger::StepResult;
using Json = nlohmann::ordered_json;

enum Step : int {
    kConfigure = 0,
    kAddPackage = 1,
    kAddBrand = 2,
    kSetBrandDigests = 3,
    kSetTagKey = 4,
    kPlan = 5,
    kSignatureMessage = 6,
    kTag = 7,
};

// What the module holds between calls: the content, and the last result
// until the JavaScript has read it.
std::unique_ptr<EdgeContent> content;
std::string result_json;
Bytes result_bytes;

Digest DigestOf(const Json& hex) {
    const std::string text = hex.get<std::string>();
    Digest digest{};
    if (text.size() != 2 * digest.size()) {
        throw std::invalid_argument("a digest is 64 hexadecimal digits");
    }
    for (std::size_t i = 0; i < digest.size(); ++i) {
        digest[i] = static_cast<std::uint8_t>(std::stoi(text.substr(2 * i, 2), nullptr, 16));
    }
    return digest;
}

EdgeContent& Content() {
    if (!content) {
        throw std::logic_error("the edge is not configured");
    }
    return *content;
}

StepResult RunStep(int step, const nlohmann::json& in, Bytes bytes) {
    StepResult result;
    result.json = Json::object();
    switch (step) {
        case kConfigure:
            content = std::make_unique<EdgeContent>(
                edge_tagger::ParseEdgeConfig(in.at("config").get<std::string>()));
            result.json = content->Summary();
            break;
        case kAddPackage:
            result.json = Content().AddPackage(in.at("id").get<std::string>(),
                                               in.at("manifest").get<std::string>());
            break;
        case kAddBrand: {
            const auto icon_size = in.at("icon_size").get<std::size_t>();
            if (icon_size > bytes.size()) {
                throw std::invalid_argument("the icon is longer than the bytes");
            }
            Bytes icon(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(icon_size));
            bytes.erase(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(icon_size));
            result = Content().AddBrand(in.at("id").get<std::string>(), std::move(icon),
                                        std::move(bytes));
            break;
        }
        case kSetBrandDigests:
            Content().SetBrandDigests(in.at("id").get<std::string>(), DigestOf(in.at("blocks")),
                                      DigestOf(in.at("icon")), DigestOf(in.at("picture")));
            break;
        case kSetTagKey:
            Content().SetTagKey(DigestOf(in.at("public_key_digest")),
                                in.at("signature_text_size").get<std::size_t>());
            break;
        case kPlan:
            result = Content().Plan(in);
            break;
        case kSignatureMessage: {
            const std::string message = Content().SignatureMessage(
                in.at("brand").get<std::string>(), in.at("params_text").get<std::string>());
            result.bytes.assign(message.begin(), message.end());
            break;
        }
        case kTag:
            result = Content().Tag(
                in, bytes.empty() ? std::nullopt : std::optional<Bytes>(std::move(bytes)));
            break;
        default:
            throw std::invalid_argument("no step " + std::to_string(step));
    }
    return result;
}

}  // namespace

extern "C" {

EMSCRIPTEN_KEEPALIVE int edge_call(int step, const char* json, std::size_t json_size,
                                   const std::uint8_t* bytes, std::size_t bytes_size) {
    try {
        const nlohmann::json in = nlohmann::json::parse(json, json + json_size);
        StepResult result = RunStep(step, in, Bytes(bytes, bytes + bytes_size));
        result_json = result.json.dump();
        result_bytes = std::move(result.bytes);
        return 0;
    } catch (const std::exception& error) {
        result_json = Json{{"error", error.what()}}.dump();
        result_bytes.clear();
        return 1;
    }
}

EMSCRIPTEN_KEEPALIVE const char* edge_result_json() {
    return result_json.data();
}
EMSCRIPTEN_KEEPALIVE std::size_t edge_result_json_size() {
    return result_json.size();
}
EMSCRIPTEN_KEEPALIVE const std::uint8_t* edge_result_bytes() {
    return result_bytes.data();
}
EMSCRIPTEN_KEEPALIVE std::size_t edge_result_bytes_size() {
    return result_bytes.size();
}

}  // extern "C"
