// Signed tags as the signer writes them and as the installer's verifier (the
// C library vendors compile in) reads them: for every shape of parameters
// text, the verifier finds the member where the signer put it, takes back
// exactly the unsigned text, and the signature over the message it builds
// verifies; the signer's own split and its size from lengths agree.
#include "tools/packaging/tag_signature.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "tests/support/temp_dir.h"

#define TVK_VERIFY_INTERNALS
#include "verify/tvk_verify.h"

// Signing needs OpenSSL: the native tvkpack and tvkserve sign, the Windows
// tvkpack only checks.
#ifdef TVK_TESTS_HAVE_OPENSSL
namespace {

using packaging::Sha256Digest;

// The message the verifier builds, from its parts.
std::string VerifierMessage(const std::string& unsigned_text, const char* icon_hex,
                            const char* picture_hex) {
    tvk_span parts[TVK_MESSAGE_PARTS];
    tvk_message_parts(reinterpret_cast<const unsigned char*>(unsigned_text.data()),
                      unsigned_text.size(), icon_hex, picture_hex, parts);
    std::string message;
    for (const tvk_span& part : parts) {
        message.append(reinterpret_cast<const char*>(part.data), part.size);
    }
    return message;
}

TEST(TagSignature, TheVerifierTakesBackWhatTheSignerInsertedAndItsSignatureVerifies) {
    test_support::ScopedTempDir folder;
    const std::string make_key =
        "openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " +
        folder.File("key.pem").string() + " 2>/dev/null";
    ASSERT_EQ(std::system(make_key.c_str()), 0);
    const auto key = packaging::TagSigningKey::Load(folder.File("key.pem"));
    Sha256Digest icon{};
    icon.fill(0xAB);
    char icon_hex[65];
    tvk_hex_digest(icon.data(), icon_hex);

    const char* texts[] = {
        R"({})",
        "{ \n}\n",
        R"({"a":1})",
        "{\r\n  \"product\": \"Demo\",\r\n  \"list\": [1, {\"b\": null}]\r\n}\r\n",
        R"({"quote":"\"}","tvk_sig_like":"tvk_sig"})",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        const std::string message = packaging::TagSignatureMessage(text, icon, std::nullopt);
        EXPECT_EQ(message, VerifierMessage(text, icon_hex, nullptr));
        const std::string signature = key->Sign(message);
        EXPECT_EQ(signature.size(), key->signature_text_size());
        std::string signed_text = packaging::SignedParamsText(text, signature);
        EXPECT_EQ(signed_text.size(), packaging::SignedParamsSize(text, signature.size()));

        tvk_sig_member member{};
        ASSERT_EQ(tvk_find_sig_member(reinterpret_cast<const unsigned char*>(signed_text.data()),
                                      signed_text.size(), &member),
                  TVK_PARAMS_SIGNED);
        EXPECT_EQ(signed_text.substr(member.sig_start, member.sig_size), signature);
        signed_text.resize(tvk_remove_sig_member(
            reinterpret_cast<unsigned char*>(signed_text.data()), signed_text.size(), &member));
        EXPECT_EQ(signed_text, text);

        const auto split =
            packaging::SplitSignedParams(packaging::SignedParamsText(text, signature));
        ASSERT_TRUE(split);
        EXPECT_EQ(split->unsigned_params, text);
        EXPECT_TRUE(packaging::VerifyTagSignature(key->PublicKeyDer(), message, signature));
        EXPECT_FALSE(packaging::VerifyTagSignature(
            key->PublicKeyDer(), packaging::TagSignatureMessage(text, std::nullopt, icon),
            signature));
    }
    // What the signer refuses to sign.
    for (const char* text : {R"([1])", R"({"tvk_sig":"x"})", R"({"a":)"}) {
        EXPECT_THROW(packaging::CheckSignableParams(text), packaging::CommandError) << text;
    }
}

}  // namespace
#endif
