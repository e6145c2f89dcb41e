// The verifier's platform-neutral steps: finding and removing the signer's
// member in a parameters text that anyone may have written, base64url, the
// signed message, and the hand-over arguments on a command line. Natively,
// a signature that OpenSSL makes over the message as the format defines it
// verifies over the message the library builds.
#define TVK_VERIFY_INTERNALS
#include "verify/tvk_verify.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#ifdef TVK_TESTS_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/sha.h>
#endif

namespace {

using namespace std::string_literals;

const unsigned char* Bytes(const std::string& text) {
    return reinterpret_cast<const unsigned char*>(text.data());
}

struct MemberCase {
    const char* what;
    std::string text;
    tvk_params_form form;
    std::string unsigned_text;  // for a signed text: the text without the member
    std::string signature;      // for a signed text: the signature's characters
};

TEST(VerifySigMember, FindsOnlyTheMemberTheSignerInserts) {
    const std::string deep = "{\"a\":" + std::string(1024, '[') + std::string(1024, ']') + "}";
    const std::string too_deep = "{\"a\":" + std::string(1025, '[') + std::string(1025, ']') + "}";
    const MemberCase cases[] = {
        {"after other members, behind a comma", R"({"a":1,"tvk_sig":"QUJD"})", TVK_PARAMS_SIGNED,
         R"({"a":1})", "QUJD"},
        {"in an empty object, without a comma", R"({"tvk_sig":"QUJD"})", TVK_PARAMS_SIGNED, "{}",
         "QUJD"},
        {"in an empty object with blanks", "{ \n\"tvk_sig\":\"QUJD\"}", TVK_PARAMS_SIGNED, "{ \n}",
         "QUJD"},
        {"blanks before the brace and a trailing line feed stay",
         "{\"a\":1 \r\n,\"tvk_sig\":\"QUJD\"}\r\n", TVK_PARAMS_SIGNED, "{\"a\":1 \r\n}\r\n",
         "QUJD"},
        {"a byte order mark stays", "\xEF\xBB\xBF{\"a\":1,\"tvk_sig\":\"-_8\"}", TVK_PARAMS_SIGNED,
         "\xEF\xBB\xBF{\"a\":1}", "-_8"},
        {"braces and the member's text inside strings and nested values",
         R"({"s":"}\"tvk_sig\":\"x\"}","o":{"tvk_sig":"y","l":[1,"]",{}]},"tvk_sig":"QQ"})",
         TVK_PARAMS_SIGNED, R"({"s":"}\"tvk_sig\":\"x\"}","o":{"tvk_sig":"y","l":[1,"]",{}]}})",
         "QQ"},
        {"an empty signature is a member (its length fails later)", R"({"a":1,"tvk_sig":""})",
         TVK_PARAMS_SIGNED, R"({"a":1})", ""},
        {"1024 nested levels are read", deep, TVK_PARAMS_UNSIGNED, "", ""},
        {"no member", R"({"a":[true,false,null,-0.5e+3,"x\u00fc"]})", TVK_PARAMS_UNSIGNED, "", ""},
        {"the member's name only as a value and in a nested object",
         R"({"note":"tvk_sig","x":{"tvk_sig":"QUJD"}})", TVK_PARAMS_UNSIGNED, "", ""},
        {"an empty object", " {}\n", TVK_PARAMS_UNSIGNED, "", ""},
        {"names that begin the member's or go beyond it", R"({"":1,"tvk_si":2,"tvk_sigs":3})",
         TVK_PARAMS_UNSIGNED, "", ""},

        {"not last", R"({"tvk_sig":"QUJD","a":1})", TVK_PARAMS_BAD_MEMBER, "", ""},
        {"given twice", R"({"tvk_sig":"QUJD","tvk_sig":"QUJD"})", TVK_PARAMS_BAD_MEMBER, "", ""},
        {"its name spelled with an escape", R"({"a":1,"tvk\u005fsig":"QUJD"})",
         TVK_PARAMS_BAD_MEMBER, "", ""},
        {"an escaped spelling earlier as well", R"({"tvk\u005fsig":"x","tvk_sig":"QUJD"})",
         TVK_PARAMS_BAD_MEMBER, "", ""},
        {"not a string", R"({"a":1,"tvk_sig":5})", TVK_PARAMS_BAD_MEMBER, "", ""},
        {"a blank after the colon", R"({"a":1,"tvk_sig": "QUJD"})", TVK_PARAMS_BAD_MEMBER, "", ""},
        {"a blank before the brace", R"({"a":1,"tvk_sig":"QUJD" })", TVK_PARAMS_BAD_MEMBER, "", ""},
        {"a blank after the comma", R"({"a":1, "tvk_sig":"QUJD"})", TVK_PARAMS_BAD_MEMBER, "", ""},

        {"empty text", "", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"an array", R"([{"tvk_sig":"QUJD"}])", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"cut inside the signature", R"({"a":1,"tvk_sig":"QUJ)", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"cut after the member", R"({"a":1,"tvk_sig":"QUJD")", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"cut inside an escape", R"({"a":"\u00)", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"cut after a backslash", R"({"a":"\)", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a second value behind it", R"({"a":1}{"tvk_sig":"QUJD"})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a zero byte behind it", "{\"a\":1}\0"s, TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a control character in a string", "{\"a\":\"\x01\"}", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"an unknown escape", R"({"a":"\q"})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a leading zero", R"({"a":01})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a word cut short", R"({"a":tru})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a trailing comma", R"({"a":1,})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"an array closed by a brace", R"({"a":[1}})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"a key without its colon", R"({"a" 1})", TVK_PARAMS_NOT_OBJECT, "", ""},
        {"1025 nested levels", too_deep, TVK_PARAMS_NOT_OBJECT, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tvk_sig_member member{};
        ASSERT_EQ(tvk_find_sig_member(Bytes(c.text), c.text.size(), &member), c.form);
        if (c.form == TVK_PARAMS_SIGNED) {
            EXPECT_EQ(c.text.substr(member.sig_start, member.sig_size), c.signature);
            std::string text = c.text;
            text.resize(tvk_remove_sig_member(reinterpret_cast<unsigned char*>(text.data()),
                                              text.size(), &member));
            EXPECT_EQ(text, c.unsigned_text);
        }
    }
}

struct DecodeCase {
    const char* what;
    std::string text;
    bool decodes;
    std::string bytes;
};

TEST(VerifyBase64url, DecodesOnlyUnpaddedUrlSafeText) {
    const DecodeCase cases[] = {
        {"nothing", "", true, ""},
        {"two characters give one byte", "QQ", true, "A"},
        {"three give two", "QUI", true, "AB"},
        {"four give three", "QUJD", true, "ABC"},
        {"'-' and '_' are the last two values", "-_-_", true, "\xfb\xff\xbf"},
        {"padding", "QQ==", false, ""},
        {"padding after a whole group", "QUJD=", false, ""},
        {"a lone last character", "QUJDQ", false, ""},
        {"unused bits that are not zero", "QR", false, ""},
        {"'+' of the standard alphabet", "a+bc", false, ""},
        {"'/' of the standard alphabet", "ab/c", false, ""},
        {"a blank", "QU JD", false, ""},
        {"an escape's backslash", "QU\\u0044", false, ""},
        {"a zero byte", "QU\0D"s, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        unsigned char out[8];
        std::size_t size = 99;
        ASSERT_EQ(tvk_base64url_decode(c.text.data(), c.text.size(), out, sizeof out, &size) == 1,
                  c.decodes);
        if (c.decodes) {
            EXPECT_EQ(std::string(reinterpret_cast<char*>(out), size), c.bytes);
        }
    }
    unsigned char small[2];
    std::size_t size = 0;
    EXPECT_EQ(tvk_base64url_decode("QUJD", 4, small, sizeof small, &size), 0)
        << "three bytes do not fit in two";
}

std::string Message(const std::string& unsigned_text, const char* icon_hex,
                    const char* picture_hex) {
    tvk_span parts[TVK_MESSAGE_PARTS];
    tvk_message_parts(Bytes(unsigned_text), unsigned_text.size(), icon_hex, picture_hex, parts);
    std::string message;
    for (const tvk_span& part : parts) {
        message.append(reinterpret_cast<const char*>(part.data), part.size);
    }
    return message;
}

TEST(VerifyMessage, IsThePrefixTheTextAndEachFilesHashOrADash) {
    unsigned char digest[32];
    for (int i = 0; i < 32; ++i) {
        digest[i] = static_cast<unsigned char>(i * 8 + 7);
    }
    char hex[65];
    tvk_hex_digest(digest, hex);
    EXPECT_STREQ(hex, "070f171f272f373f474f575f676f777f878f979fa7afb7bfc7cfd7dfe7eff7ff");

    EXPECT_EQ(Message("{\"a\":1}\n", hex, "-"), "tvk-tag-v1\n{\"a\":1}\n\n"s + hex + "\n-");
    EXPECT_EQ(Message("{}", nullptr, hex), "tvk-tag-v1\n{}\n-\n"s + hex);
    EXPECT_EQ(Message("{}", nullptr, nullptr), "tvk-tag-v1\n{}\n-\n-");
}

#ifdef TVK_TESTS_HAVE_OPENSSL
std::string Hex(const unsigned char* bytes, std::size_t size) {
    std::string hex;
    char pair[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
        hex += pair;
    }
    return hex;
}

std::string Base64url(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    text.resize(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()), Bytes(bytes),
                                static_cast<int>(bytes.size())));
    for (char& c : text) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return text.substr(0, text.find('='));
}

TEST(VerifyMessage, OpenSslSignatureOverTheFormatVerifiesOverTheLibrarysMessage) {
    // The vendor's side, as the format defines it.
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", std::size_t{2048});
    ASSERT_NE(key, nullptr);
    const std::string params = "{\"product\":\"Demo\",\"seats\":3}\n";
    const std::string icon = "icon bytes";
    unsigned char icon_digest[SHA256_DIGEST_LENGTH];
    SHA256(Bytes(icon), icon.size(), icon_digest);
    const std::string signed_message =
        "tvk-tag-v1\n" + params + "\n" + Hex(icon_digest, sizeof icon_digest) + "\n-";
    std::string signature(EVP_PKEY_get_size(key), '\0');
    std::size_t signature_size = signature.size();
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, key), 1);
    ASSERT_EQ(EVP_DigestSign(context, reinterpret_cast<unsigned char*>(signature.data()),
                             &signature_size, Bytes(signed_message), signed_message.size()),
              1);
    EVP_MD_CTX_free(context);
    signature.resize(signature_size);
    const std::size_t brace = params.rfind('}');
    std::string tagged = params.substr(0, brace) + ",\"tvk_sig\":\"" + Base64url(signature) + "\"" +
                         params.substr(brace);

    // The installer's side.
    tvk_sig_member member{};
    ASSERT_EQ(tvk_find_sig_member(Bytes(tagged), tagged.size(), &member), TVK_PARAMS_SIGNED);
    unsigned char decoded[TVK_MAX_SIGNATURE_SIZE];
    std::size_t decoded_size = 0;
    ASSERT_EQ(tvk_base64url_decode(tagged.data() + member.sig_start, member.sig_size, decoded,
                                   sizeof decoded, &decoded_size),
              1);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(decoded), decoded_size), signature);
    tagged.resize(tvk_remove_sig_member(reinterpret_cast<unsigned char*>(tagged.data()),
                                        tagged.size(), &member));
    char icon_hex[65];
    tvk_hex_digest(icon_digest, icon_hex);
    const std::string message = Message(tagged, icon_hex, nullptr);
    EXPECT_EQ(message, signed_message);

    context = EVP_MD_CTX_new();
    ASSERT_EQ(EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, key), 1);
    EXPECT_EQ(EVP_DigestVerify(context, decoded, decoded_size, Bytes(message), message.size()), 1);
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(key);
}
#endif

struct ArgumentCase {
    const char* what;
    const wchar_t* command_line;
    const wchar_t* prefix;
    const wchar_t* value;  // nullptr: not found
};

TEST(VerifyArguments, FindsTheFirstArgumentWithThePrefixByTheRuntimesRules) {
    const wchar_t* stub_line =
        LR"("C:\Program Files\Setup\setup_{1}.exe" /pi="C:\Users\J\AppData\Local\Temp\InstallerParams_{2}.json" )"
        LR"(/pic="C:\T\picture_{3}.bmp" /ico="C:\T\ico_{4}.ico" --user "a b")";
    const ArgumentCase cases[] = {
        {"the stub's parameters file", stub_line, L"/pi=",
         LR"(C:\Users\J\AppData\Local\Temp\InstallerParams_{2}.json)"},
        {"the stub's picture, not taken for /pi=", stub_line, L"/pic=", LR"(C:\T\picture_{3}.bmp)"},
        {"the stub's icon", stub_line, L"/ico=", LR"(C:\T\ico_{4}.ico)"},
        {"a path with blanks", LR"(setup.exe /pi="C:\a b\p.json" /S)", L"/pi=",
         LR"(C:\a b\p.json)"},
        {"the whole argument quoted", L"setup.exe \"/pi=C:\\a b\\p.json\"", L"/pi=",
         LR"(C:\a b\p.json)"},
        {"tabs between arguments", L"setup.exe\t/S\t/pi=p.json", L"/pi=", L"p.json"},
        {"the first of two", LR"(setup.exe /pi="first" /pi="second")", L"/pi=", L"first"},
        {"an empty value", L"setup.exe /pi=", L"/pi=", L""},
        {"two backslashes before a quote give one", LR"(setup.exe "/pi=C:\dir\\" /S)", L"/pi=",
         LR"(C:\dir\)"},
        {"two quotes inside quotes give one", LR"(setup.exe "/pi=a""b")", L"/pi=", L"a\"b"},
        {"the program name is no argument", LR"("/pi=C:\not.json" /ico=i.ico)", L"/pi=", nullptr},
        {"an unquoted program name", LR"(/pi=C:\not.json /ico=i.ico)", L"/pi=", nullptr},
        {"the prefix inside another argument", LR"(setup.exe "--name=x /pi=evil" /pi=good)",
         L"/pi=", L"good"},
        {"the prefix after an escaped quote", LR"(setup.exe --say=\"/pi=evil\")", L"/pi=", nullptr},
        {"letter case counts", L"setup.exe /PI=p.json", L"/pi=", nullptr},
        {"no arguments", L"setup.exe", L"/pi=", nullptr},
        {"an empty command line", L"", L"/pi=", nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        wchar_t* value = nullptr;
        const int found = tvk_find_argument(c.command_line, c.prefix, &value);
        ASSERT_EQ(found, c.value != nullptr ? 1 : 0);
        if (c.value != nullptr) {
            EXPECT_EQ(std::wstring(value), c.value);
        } else {
            EXPECT_EQ(value, nullptr);
        }
        std::free(value);
    }
}

}  // namespace
