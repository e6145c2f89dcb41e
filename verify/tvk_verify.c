/* tvk_verify: the signed-tag check (see tvk_verify.h).
 *
 * The parameters, icon and picture files come from the package's tag, which
 * lies outside the package's signature: every byte of them is untrusted.
 * Every read below is checked against the length of what it reads, sizes are
 * bounded before anything is allocated, and every handle and allocation is
 * released on every path.
 *
 * The first part is platform-neutral (the JSON scan that finds the member,
 * base64url, hex, the message, the command line); the second, Windows only,
 * reads the files and checks the signature with BCrypt and crypt32. */
#define TVK_VERIFY_INTERNALS
#include "tvk_verify.h"

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

/* ---- The parameters text: one JSON object (RFC 8259) ---- */

/* Deepest nesting of arrays and objects inside a member's value. */
#define TVK_MAX_DEPTH 1024u

static const char kSigKey[] = "tvk_sig";
/* The member as the signer writes it begins with the key and its colon. */
static const char kSigKeyAndColon[] = "\"tvk_sig\":";
#define TVK_SIG_KEY_AND_COLON_SIZE (sizeof kSigKeyAndColon - 1)

/* A UTF-8 byte order mark may open the text; JSON readers skip it. */
static const unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};

/* The text being scanned; pos never passes size. A bit per open array or
 * object says whether it is an object. */
typedef struct tvk_scan {
    const unsigned char* text;
    size_t size;
    size_t pos;
    unsigned char is_object[TVK_MAX_DEPTH / 8];
} tvk_scan;

static int peek(const tvk_scan* scan) {
    return scan->pos < scan->size ? scan->text[scan->pos] : -1;
}

static void skip_space(tvk_scan* scan) {
    while (scan->pos < scan->size) {
        const unsigned char c = scan->text[scan->pos];
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') {
            return;
        }
        ++scan->pos;
    }
}

static int take(tvk_scan* scan, int c) {
    if (peek(scan) != c) {
        return 0;
    }
    ++scan->pos;
    return 1;
}

static int hex_value(int c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

/* A string at pos (its opening quote). Sets *is_sig when its value, escapes
 * decoded, is "tvk_sig": a reader of the JSON sees that key however it is
 * spelled. */
static int scan_string(tvk_scan* scan, int* is_sig) {
    size_t matched = 0; /* characters of kSigKey matched so far */
    int matches = 1;
    if (!take(scan, '"')) {
        return 0;
    }
    for (;;) {
        long unit;
        int c = peek(scan);
        if (c < 0x20) { /* the end of the text, or a control character */
            return 0;
        }
        ++scan->pos;
        if (c == '"') {
            break;
        }
        unit = c;
        if (c == '\\') {
            c = peek(scan);
            if (c <= 0 || strchr("\"\\/bfnrtu", c) == NULL) {
                return 0;
            }
            ++scan->pos;
            /* A short escape stands for a character that "tvk_sig" does not
             * hold; \uXXXX for the code unit XXXX. */
            unit = -1;
            if (c == 'u') {
                int i;
                unit = 0;
                for (i = 0; i < 4; ++i) {
                    const int digit = hex_value(peek(scan));
                    if (digit < 0) {
                        return 0;
                    }
                    unit = unit * 16 + digit;
                    ++scan->pos;
                }
            }
        }
        if (matches && matched < sizeof kSigKey - 1 && unit == kSigKey[matched]) {
            ++matched;
        } else {
            matches = 0;
        }
    }
    if (is_sig != NULL) {
        *is_sig = matches && matched == sizeof kSigKey - 1;
    }
    return 1;
}

static int scan_digits(tvk_scan* scan) {
    const size_t start = scan->pos;
    while (peek(scan) >= '0' && peek(scan) <= '9') {
        ++scan->pos;
    }
    return scan->pos > start;
}

static int scan_number(tvk_scan* scan) {
    take(scan, '-');
    if (!take(scan, '0') && !scan_digits(scan)) {
        return 0;
    }
    if (take(scan, '.') && !scan_digits(scan)) {
        return 0;
    }
    if (take(scan, 'e') || take(scan, 'E')) {
        if (!take(scan, '+')) {
            take(scan, '-');
        }
        return scan_digits(scan);
    }
    return 1;
}

static int scan_word(tvk_scan* scan, const char* word) {
    const size_t length = strlen(word);
    if (scan->size - scan->pos < length || memcmp(scan->text + scan->pos, word, length) != 0) {
        return 0;
    }
    scan->pos += length;
    return 1;
}

/* An object member's key and colon, with the blanks around them. */
static int scan_key(tvk_scan* scan, int* is_sig) {
    skip_space(scan);
    if (!scan_string(scan, is_sig)) {
        return 0;
    }
    skip_space(scan);
    return take(scan, ':');
}

/* One JSON value at pos (after blanks), nested arrays and objects included;
 * pos ends right after it. Iterative, so the nesting costs no stack. */
static int scan_value(tvk_scan* scan) {
    unsigned char* is_object = scan->is_object;
    size_t depth = 0;
    for (;;) {
        int c;
        /* A value. */
        skip_space(scan);
        c = peek(scan);
        if (c == '{' || c == '[') {
            if (depth == TVK_MAX_DEPTH) {
                return 0;
            }
            if (c == '{') {
                is_object[depth / 8] |= (unsigned char)(1u << (depth % 8));
            } else {
                is_object[depth / 8] &= (unsigned char)~(1u << (depth % 8));
            }
            ++depth;
            ++scan->pos;
            skip_space(scan);
            if (take(scan, c == '{' ? '}' : ']')) {
                --depth; /* empty: the container is a whole value */
            } else {
                if (c == '{' && !scan_key(scan, NULL)) {
                    return 0;
                }
                continue;
            }
        } else if (c == '"') {
            if (!scan_string(scan, NULL)) {
                return 0;
            }
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            if (!scan_number(scan)) {
                return 0;
            }
        } else if (!scan_word(scan, "true") && !scan_word(scan, "false") &&
                   !scan_word(scan, "null")) {
            return 0;
        }
        /* After a value: close containers until one takes another value. */
        for (;;) {
            int object;
            if (depth == 0) {
                return 1;
            }
            object = (is_object[(depth - 1) / 8] >> ((depth - 1) % 8)) & 1;
            skip_space(scan);
            if (take(scan, ',')) {
                if (object && !scan_key(scan, NULL)) {
                    return 0;
                }
                break;
            }
            if (!take(scan, object ? '}' : ']')) {
                return 0;
            }
            --depth;
        }
    }
}

tvk_params_form tvk_find_sig_member(const unsigned char* text, size_t size,
                                    tvk_sig_member* member) {
    tvk_scan scan;
    size_t members = 0;
    size_t sig_members = 0;
    int last_is_sig = 0;
    size_t last_key = 0;
    size_t last_value = 0;
    size_t last_value_end = 0;
    size_t closing_brace;

    memset(&scan, 0, sizeof scan);
    scan.text = text;
    scan.size = text == NULL ? 0 : size;
    if (scan.size >= sizeof kByteOrderMark &&
        memcmp(text, kByteOrderMark, sizeof kByteOrderMark) == 0) {
        scan.pos = sizeof kByteOrderMark;
    }
    skip_space(&scan);
    if (!take(&scan, '{')) {
        return TVK_PARAMS_NOT_OBJECT;
    }
    skip_space(&scan);
    if (peek(&scan) != '}') {
        for (;;) {
            skip_space(&scan);
            last_key = scan.pos;
            if (!scan_key(&scan, &last_is_sig)) {
                return TVK_PARAMS_NOT_OBJECT;
            }
            skip_space(&scan);
            last_value = scan.pos;
            if (!scan_value(&scan)) {
                return TVK_PARAMS_NOT_OBJECT;
            }
            last_value_end = scan.pos;
            ++members;
            sig_members += last_is_sig ? 1 : 0;
            skip_space(&scan);
            if (!take(&scan, ',')) {
                break;
            }
        }
    }
    closing_brace = scan.pos;
    if (!take(&scan, '}')) {
        return TVK_PARAMS_NOT_OBJECT;
    }
    skip_space(&scan);
    if (scan.pos != scan.size) {
        return TVK_PARAMS_NOT_OBJECT;
    }

    if (sig_members == 0) {
        return TVK_PARAMS_UNSIGNED;
    }
    /* One member, last, written exactly as the signer inserts it: the key
     * and colon with no blanks, a string value, the closing brace right
     * after it, and a comma right before it unless it is the only member. */
    if (sig_members != 1 || !last_is_sig || last_value != last_key + TVK_SIG_KEY_AND_COLON_SIZE ||
        memcmp(text + last_key, kSigKeyAndColon, TVK_SIG_KEY_AND_COLON_SIZE) != 0 ||
        text[last_value] != '"' || last_value_end != closing_brace ||
        (members > 1 && text[last_key - 1] != ',')) {
        return TVK_PARAMS_BAD_MEMBER;
    }
    if (member != NULL) {
        member->start = members > 1 ? last_key - 1 : last_key;
        member->end = closing_brace;
        member->sig_start = last_value + 1;
        member->sig_size = last_value_end - 1 - member->sig_start;
    }
    return TVK_PARAMS_SIGNED;
}

size_t tvk_remove_sig_member(unsigned char* text, size_t size, const tvk_sig_member* member) {
    memmove(text + member->start, text + member->end, size - member->end);
    return size - (member->end - member->start);
}

/* ---- base64url, hex and the message ---- */

static int base64url_value(unsigned char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '-') {
        return 62;
    }
    if (c == '_') {
        return 63;
    }
    return -1;
}

int tvk_base64url_decode(const char* text, size_t size, unsigned char* out, size_t capacity,
                         size_t* out_size) {
    unsigned long bits = 0; /* at most 4 groups of 6 bits wait here */
    unsigned int pending = 0;
    size_t written = 0;
    size_t i;
    /* 4n characters give 3n bytes, 4n+2 one more, 4n+3 two more; 4n+1
     * cannot be the end of an encoding. */
    const size_t decoded_size = size / 4 * 3 + (size % 4 == 0 ? 0 : size % 4 - 1);
    if (size % 4 == 1 || decoded_size > capacity) {
        return 0;
    }
    for (i = 0; i < size; ++i) {
        const int value = base64url_value((unsigned char)text[i]);
        if (value < 0) {
            return 0;
        }
        bits = (bits << 6) | (unsigned long)value;
        pending += 6;
        if (pending >= 8) {
            pending -= 8;
            out[written++] = (unsigned char)(bits >> pending);
            bits &= (1ul << pending) - 1;
        }
    }
    /* The encoder sets unused bits to zero; anything else is another
     * spelling of the same bytes. */
    if (bits != 0) {
        return 0;
    }
    *out_size = written;
    return 1;
}

void tvk_hex_digest(const unsigned char digest[32], char hex[65]) {
    static const char kDigits[] = "0123456789abcdef";
    size_t i;
    for (i = 0; i < 32; ++i) {
        hex[2 * i] = kDigits[digest[i] >> 4];
        hex[2 * i + 1] = kDigits[digest[i] & 0x0F];
    }
    hex[64] = '\0';
}

static const char kMessagePrefix[] = "tvk-tag-v1\n";
static const char kLineFeed[] = "\n";
static const char kNoFile[] = "-";

static tvk_span span_of_text(const char* text) {
    tvk_span span;
    span.data = (const unsigned char*)text;
    span.size = strlen(text);
    return span;
}

void tvk_message_parts(const unsigned char* unsigned_text, size_t size, const char* icon_hex,
                       const char* picture_hex, tvk_span parts[TVK_MESSAGE_PARTS]) {
    parts[0] = span_of_text(kMessagePrefix);
    parts[1].data = unsigned_text;
    parts[1].size = size;
    parts[2] = span_of_text(kLineFeed);
    parts[3] = span_of_text(icon_hex != NULL ? icon_hex : kNoFile);
    parts[4] = span_of_text(kLineFeed);
    parts[5] = span_of_text(picture_hex != NULL ? picture_hex : kNoFile);
}

/* ---- The command line ---- */

static int is_blank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

/* The program name ends at the next quote when it starts with one (a quote
 * inside it is a plain character), else at the first blank. */
static const wchar_t* skip_program_name(const wchar_t* p) {
    if (*p == L'"') {
        ++p;
        while (*p != L'\0' && *p != L'"') {
            ++p;
        }
        return *p == L'"' ? p + 1 : p;
    }
    while (*p != L'\0' && !is_blank(*p)) {
        ++p;
    }
    return p;
}

/* Reads the argument at *cursor by the C runtime's rules into out (which
 * has room: an argument is never longer than its text) and returns its
 * length; *cursor ends after it. Blanks outside quotes end it; 2n
 * backslashes and a quote give n backslashes and open or close a quoted
 * part, 2n+1 give n and a literal quote; other backslashes are plain; two
 * quotes inside a quoted part give one literal quote. */
static size_t read_argument(const wchar_t** cursor, wchar_t* out) {
    const wchar_t* p = *cursor;
    size_t length = 0;
    int quoted = 0;
    while (*p != L'\0' && (quoted || !is_blank(*p))) {
        if (*p == L'\\') {
            size_t backslashes = 0;
            size_t i;
            while (*p == L'\\') {
                ++backslashes;
                ++p;
            }
            for (i = 0; i < (*p == L'"' ? backslashes / 2 : backslashes); ++i) {
                out[length++] = L'\\';
            }
            if (*p == L'"' && backslashes % 2 == 1) {
                out[length++] = L'"';
                ++p;
            }
        } else if (*p == L'"') {
            if (quoted && p[1] == L'"') {
                out[length++] = L'"';
                p += 2;
            } else {
                quoted = !quoted;
                ++p;
            }
        } else {
            out[length++] = *p++;
        }
    }
    *cursor = p;
    return length;
}

int tvk_find_argument(const wchar_t* command_line, const wchar_t* prefix, wchar_t** value) {
    const wchar_t* p;
    size_t prefix_length;
    wchar_t* argument;
    int found = 0;

    if (value == NULL) {
        return 0;
    }
    *value = NULL;
    if (command_line == NULL || prefix == NULL) {
        return 0;
    }
    prefix_length = wcslen(prefix);
    argument = (wchar_t*)malloc((wcslen(command_line) + 1) * sizeof(wchar_t));
    if (argument == NULL) {
        return -1;
    }
    p = skip_program_name(command_line);
    for (;;) {
        size_t length;
        while (is_blank(*p)) {
            ++p;
        }
        if (*p == L'\0') {
            break;
        }
        length = read_argument(&p, argument);
        if (length >= prefix_length &&
            memcmp(argument, prefix, prefix_length * sizeof(wchar_t)) == 0) {
            const size_t value_length = length - prefix_length;
            *value = (wchar_t*)malloc((value_length + 1) * sizeof(wchar_t));
            if (*value == NULL) {
                found = -1;
                break;
            }
            memcpy(*value, argument + prefix_length, value_length * sizeof(wchar_t));
            (*value)[value_length] = L'\0';
            found = 1;
            break;
        }
    }
    free(argument);
    return found;
}

/* ---- The tag ---- */

void tvk_tag_release(tvk_tag* tag) {
    if (tag == NULL) {
        return;
    }
    free(tag->params);
    free(tag->params_path);
    free(tag->icon_path);
    free(tag->picture_path);
    tag->params = NULL;
    tag->params_size = 0;
    tag->params_path = NULL;
    tag->icon_path = NULL;
    tag->picture_path = NULL;
}

const char* tvk_check_name(tvk_check check) {
    /* In the order of tvk_check. */
    static const char* const kNames[] = {
        "none", "params_argument", "params_file", "params_text",  "sig_member", "sig_encoding",
        "key",  "sig_length",      "icon_file",   "picture_file", "system",     "signature"};
    return (size_t)check < sizeof kNames / sizeof kNames[0] ? kNames[check] : "unknown";
}

#ifdef _WIN32
/* ---- Windows: the files, the key and the signature ---- */

#include <windows.h>
/* windows.h first: wincrypt.h and bcrypt.h rely on its types. */
#include <bcrypt.h>
#include <wincrypt.h>

/* The files are read and hashed in pieces of this size. */
#define TVK_READ_PIECE 65536u
/* Larger than any SubjectPublicKeyInfo of an RSA key BCrypt takes. */
#define TVK_KEY_DER_LIMIT 65536u
#define TVK_SHA256_SIZE 32u
/* The base64url length of the largest signature: 2048 bytes are 682 groups
 * of three and two bytes more. */
#define TVK_MAX_SIGNATURE_TEXT        \
    (TVK_MAX_SIGNATURE_SIZE / 3 * 4 + \
     (TVK_MAX_SIGNATURE_SIZE % 3 == 0 ? 0 : TVK_MAX_SIGNATURE_SIZE % 3 + 1))
#define TVK_SUCCEEDED(status) ((status) >= 0)

static tvk_tag_status fail(tvk_tag* tag, tvk_check check, unsigned long code) {
    free(tag->params);
    tag->params = NULL;
    tag->params_size = 0;
    tag->status = TVK_TAG_INVALID;
    tag->failed_check = check;
    tag->system_code = code;
    return TVK_TAG_INVALID;
}

/* A SHA-256 computation; the hash object's memory is the caller's, as
 * Windows Vista requires. */
typedef struct tvk_sha256 {
    BCRYPT_HASH_HANDLE hash;
    unsigned char* object;
} tvk_sha256;

static NTSTATUS sha256_begin(BCRYPT_ALG_HANDLE algorithm, tvk_sha256* sha) {
    DWORD object_size = 0;
    ULONG got = 0;
    NTSTATUS status;
    sha->hash = NULL;
    sha->object = NULL;
    status = BCryptGetProperty(algorithm, BCRYPT_OBJECT_LENGTH, (PUCHAR)&object_size,
                               sizeof object_size, &got, 0);
    if (!TVK_SUCCEEDED(status)) {
        return status;
    }
    sha->object = (unsigned char*)malloc(object_size);
    if (sha->object == NULL) {
        return (NTSTATUS)STATUS_NO_MEMORY;
    }
    status = BCryptCreateHash(algorithm, &sha->hash, sha->object, object_size, NULL, 0, 0);
    if (!TVK_SUCCEEDED(status)) {
        sha->hash = NULL;
    }
    return status;
}

static NTSTATUS sha256_add(tvk_sha256* sha, const unsigned char* data, size_t size) {
    while (size > 0) {
        /* BCryptHashData takes a ULONG length and a non-const pointer it
         * only reads. */
        const ULONG piece = size > 0x40000000u ? 0x40000000u : (ULONG)size;
        const NTSTATUS status = BCryptHashData(sha->hash, (PUCHAR)data, piece, 0);
        if (!TVK_SUCCEEDED(status)) {
            return status;
        }
        data += piece;
        size -= piece;
    }
    return 0;
}

static void sha256_end(tvk_sha256* sha) {
    if (sha->hash != NULL) {
        BCryptDestroyHash(sha->hash);
    }
    free(sha->object);
    sha->hash = NULL;
    sha->object = NULL;
}

/* The file's hash in hex, read in pieces up to limit bytes. Returns
 * TVK_CHECK_NONE, check (the file cannot be read or is too large) or
 * TVK_CHECK_SYSTEM. */
static tvk_check hash_file(BCRYPT_ALG_HANDLE algorithm, const wchar_t* path, tvk_check check,
                           char hex[65], unsigned long* code) {
    tvk_check result = TVK_CHECK_NONE;
    unsigned char digest[TVK_SHA256_SIZE];
    unsigned char* piece = NULL;
    unsigned long long total = 0;
    LARGE_INTEGER size;
    tvk_sha256 sha;
    NTSTATUS status;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *code = GetLastError();
        return check;
    }
    if (!GetFileSizeEx(file, &size)) {
        *code = GetLastError();
        CloseHandle(file);
        return check;
    }
    if (size.QuadPart > (LONGLONG)TVK_IMAGE_FILE_LIMIT) {
        *code = ERROR_FILE_TOO_LARGE;
        CloseHandle(file);
        return check;
    }
    status = sha256_begin(algorithm, &sha);
    piece = (unsigned char*)malloc(TVK_READ_PIECE);
    if (!TVK_SUCCEEDED(status) || piece == NULL) {
        *code = TVK_SUCCEEDED(status) ? (unsigned long)STATUS_NO_MEMORY : (unsigned long)status;
        result = TVK_CHECK_SYSTEM;
    }
    while (result == TVK_CHECK_NONE) {
        DWORD read = 0;
        if (!ReadFile(file, piece, TVK_READ_PIECE, &read, NULL)) {
            *code = GetLastError();
            result = check;
        } else if (read == 0) {
            break;
        } else if ((total += read) > TVK_IMAGE_FILE_LIMIT) {
            /* The file grew while it was read. */
            *code = ERROR_FILE_TOO_LARGE;
            result = check;
        } else if (!TVK_SUCCEEDED(status = sha256_add(&sha, piece, read))) {
            *code = (unsigned long)status;
            result = TVK_CHECK_SYSTEM;
        }
    }
    if (result == TVK_CHECK_NONE) {
        status = BCryptFinishHash(sha.hash, digest, sizeof digest, 0);
        if (TVK_SUCCEEDED(status)) {
            tvk_hex_digest(digest, hex);
        } else {
            *code = (unsigned long)status;
            result = TVK_CHECK_SYSTEM;
        }
    }
    sha256_end(&sha);
    free(piece);
    CloseHandle(file);
    return result;
}

/* Reads the whole parameters file into tag->params, with a zero byte behind
 * it. Returns TVK_CHECK_NONE, TVK_CHECK_PARAMS_FILE or TVK_CHECK_SYSTEM. */
static tvk_check read_params(const wchar_t* path, tvk_tag* tag) {
    tvk_check result = TVK_CHECK_NONE;
    size_t done = 0;
    LARGE_INTEGER size;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        tag->system_code = GetLastError();
        return TVK_CHECK_PARAMS_FILE;
    }
    if (!GetFileSizeEx(file, &size)) {
        tag->system_code = GetLastError();
        result = TVK_CHECK_PARAMS_FILE;
    } else if (size.QuadPart > (LONGLONG)TVK_PARAMS_FILE_LIMIT) {
        tag->system_code = ERROR_FILE_TOO_LARGE;
        result = TVK_CHECK_PARAMS_FILE;
    } else if ((tag->params = (char*)malloc((size_t)size.QuadPart + 1)) == NULL) {
        tag->system_code = ERROR_NOT_ENOUGH_MEMORY;
        result = TVK_CHECK_SYSTEM;
    }
    while (result == TVK_CHECK_NONE && done < (size_t)size.QuadPart) {
        DWORD read = 0;
        if (!ReadFile(file, tag->params + done, (DWORD)((size_t)size.QuadPart - done), &read,
                      NULL)) {
            tag->system_code = GetLastError();
            result = TVK_CHECK_PARAMS_FILE;
        } else if (read == 0) {
            /* The file shrank while it was read. */
            tag->system_code = ERROR_HANDLE_EOF;
            result = TVK_CHECK_PARAMS_FILE;
        } else {
            done += read;
        }
    }
    CloseHandle(file);
    if (result == TVK_CHECK_NONE) {
        tag->params[done] = '\0';
        tag->params_size = done;
    }
    return result;
}

/* Imports the vendor's key and gives its modulus length in bytes. Returns
 * TVK_CHECK_NONE, TVK_CHECK_KEY or TVK_CHECK_SYSTEM. */
static tvk_check import_key(const unsigned char* der, size_t der_size, BCRYPT_KEY_HANDLE* key,
                            ULONG* modulus_size, unsigned long* code) {
    CERT_PUBLIC_KEY_INFO* info = NULL;
    DWORD info_size = 0;
    BCRYPT_RSAKEY_BLOB* blob = NULL;
    ULONG blob_size = 0;
    tvk_check result = TVK_CHECK_KEY;
    NTSTATUS status;
    BOOL imported;

    *key = NULL;
    if (der == NULL || der_size == 0 || der_size > TVK_KEY_DER_LIMIT) {
        return TVK_CHECK_KEY;
    }
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_PUBLIC_KEY_INFO, der, (DWORD)der_size,
                             CRYPT_DECODE_ALLOC_FLAG, NULL, &info, &info_size)) {
        *code = GetLastError();
        return TVK_CHECK_KEY;
    }
    /* Another kind of key would import too; it cannot check this signature. */
    if (info->Algorithm.pszObjId == NULL || strcmp(info->Algorithm.pszObjId, szOID_RSA_RSA) != 0) {
        LocalFree(info);
        return TVK_CHECK_KEY;
    }
    imported = CryptImportPublicKeyInfoEx2(X509_ASN_ENCODING, info, 0, NULL, key);
    if (!imported) {
        *code = GetLastError();
        *key = NULL;
    }
    LocalFree(info);
    if (!imported) {
        return TVK_CHECK_KEY;
    }
    /* The key's size from its public blob: the key strength property is not
     * available everywhere (Wine has none). */
    status = BCryptExportKey(*key, NULL, BCRYPT_RSAPUBLIC_BLOB, NULL, 0, &blob_size, 0);
    if (TVK_SUCCEEDED(status) && blob_size >= sizeof *blob && blob_size <= TVK_KEY_DER_LIMIT) {
        blob = (BCRYPT_RSAKEY_BLOB*)malloc(blob_size);
        if (blob == NULL) {
            result = TVK_CHECK_SYSTEM;
            status = (NTSTATUS)STATUS_NO_MEMORY;
        } else {
            status = BCryptExportKey(*key, NULL, BCRYPT_RSAPUBLIC_BLOB, (PUCHAR)blob, blob_size,
                                     &blob_size, 0);
        }
    }
    if (blob != NULL && TVK_SUCCEEDED(status) && blob_size >= sizeof *blob &&
        blob->Magic == BCRYPT_RSAPUBLIC_MAGIC && blob->BitLength >= TVK_MIN_KEY_BITS &&
        blob->cbModulus <= TVK_MAX_SIGNATURE_SIZE) {
        *modulus_size = blob->cbModulus;
        result = TVK_CHECK_NONE;
    } else if (!TVK_SUCCEEDED(status)) {
        *code = (unsigned long)status;
    }
    free(blob);
    if (result != TVK_CHECK_NONE) {
        BCryptDestroyKey(*key);
        *key = NULL;
    }
    return result;
}

/* SHA-256 of the message and the signature's check. */
static tvk_check check_signature(BCRYPT_ALG_HANDLE algorithm, BCRYPT_KEY_HANDLE key,
                                 const tvk_span parts[TVK_MESSAGE_PARTS],
                                 const unsigned char* signature, size_t signature_size,
                                 unsigned long* code) {
    unsigned char digest[TVK_SHA256_SIZE];
    BCRYPT_PKCS1_PADDING_INFO padding;
    tvk_sha256 sha;
    size_t i;
    NTSTATUS status = sha256_begin(algorithm, &sha);
    for (i = 0; i < TVK_MESSAGE_PARTS && TVK_SUCCEEDED(status); ++i) {
        status = sha256_add(&sha, parts[i].data, parts[i].size);
    }
    if (TVK_SUCCEEDED(status)) {
        status = BCryptFinishHash(sha.hash, digest, sizeof digest, 0);
    }
    sha256_end(&sha);
    if (!TVK_SUCCEEDED(status)) {
        *code = (unsigned long)status;
        return TVK_CHECK_SYSTEM;
    }
    padding.pszAlgId = BCRYPT_SHA256_ALGORITHM;
    status = BCryptVerifySignature(key, &padding, digest, sizeof digest, (PUCHAR)signature,
                                   (ULONG)signature_size, BCRYPT_PAD_PKCS1);
    if (status != 0) {
        *code = (unsigned long)status;
        return TVK_CHECK_SIGNATURE;
    }
    return TVK_CHECK_NONE;
}

tvk_tag_status tvk_verify_files(const wchar_t* params_path, const wchar_t* icon_path,
                                const wchar_t* picture_path, const unsigned char* key_der,
                                size_t key_size, tvk_tag* tag) {
    unsigned char signature[TVK_MAX_SIGNATURE_SIZE];
    size_t signature_size = 0;
    char icon_hex[65];
    char picture_hex[65];
    tvk_span parts[TVK_MESSAGE_PARTS];
    tvk_sig_member member;
    BCRYPT_ALG_HANDLE algorithm = NULL;
    BCRYPT_KEY_HANDLE key = NULL;
    ULONG modulus_size = 0;
    unsigned long code = 0;
    tvk_check failed;
    NTSTATUS status;

    if (tag == NULL) {
        return TVK_TAG_INVALID;
    }
    memset(tag, 0, sizeof *tag);
    if (params_path == NULL) {
        return fail(tag, TVK_CHECK_PARAMS_ARGUMENT, 0);
    }
    failed = read_params(params_path, tag);
    if (failed != TVK_CHECK_NONE) {
        return fail(tag, failed, tag->system_code);
    }
    switch (tvk_find_sig_member((const unsigned char*)tag->params, tag->params_size, &member)) {
        case TVK_PARAMS_UNSIGNED:
            tag->status = TVK_TAG_UNSIGNED;
            return TVK_TAG_UNSIGNED;
        case TVK_PARAMS_NOT_OBJECT:
            return fail(tag, TVK_CHECK_PARAMS_TEXT, 0);
        case TVK_PARAMS_BAD_MEMBER:
            return fail(tag, TVK_CHECK_SIG_MEMBER, 0);
        case TVK_PARAMS_SIGNED:
            break;
    }
    /* A text longer than any key's signature is refused before it is read. */
    if (member.sig_size > TVK_MAX_SIGNATURE_TEXT) {
        return fail(tag, TVK_CHECK_SIG_LENGTH, 0);
    }
    if (!tvk_base64url_decode(tag->params + member.sig_start, member.sig_size, signature,
                              sizeof signature, &signature_size)) {
        return fail(tag, TVK_CHECK_SIG_ENCODING, 0);
    }
    tag->params_size =
        tvk_remove_sig_member((unsigned char*)tag->params, tag->params_size, &member);
    tag->params[tag->params_size] = '\0';

    failed = import_key(key_der, key_size, &key, &modulus_size, &code);
    if (failed == TVK_CHECK_NONE && signature_size != modulus_size) {
        failed = TVK_CHECK_SIG_LENGTH;
    }
    if (failed == TVK_CHECK_NONE) {
        status = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, NULL, 0);
        if (!TVK_SUCCEEDED(status)) {
            algorithm = NULL;
            code = (unsigned long)status;
            failed = TVK_CHECK_SYSTEM;
        }
    }
    if (failed == TVK_CHECK_NONE && icon_path != NULL) {
        failed = hash_file(algorithm, icon_path, TVK_CHECK_ICON_FILE, icon_hex, &code);
    }
    if (failed == TVK_CHECK_NONE && picture_path != NULL) {
        failed = hash_file(algorithm, picture_path, TVK_CHECK_PICTURE_FILE, picture_hex, &code);
    }
    if (failed == TVK_CHECK_NONE) {
        tvk_message_parts((const unsigned char*)tag->params, tag->params_size,
                          icon_path != NULL ? icon_hex : NULL,
                          picture_path != NULL ? picture_hex : NULL, parts);
        failed = check_signature(algorithm, key, parts, signature, signature_size, &code);
    }
    if (algorithm != NULL) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    if (key != NULL) {
        BCryptDestroyKey(key);
    }
    if (failed != TVK_CHECK_NONE) {
        return fail(tag, failed, code);
    }
    tag->status = TVK_TAG_VALID;
    return TVK_TAG_VALID;
}

tvk_tag_status tvk_verify_command_line(const wchar_t* command_line, const unsigned char* key_der,
                                       size_t key_size, tvk_tag* tag) {
    wchar_t* params_path = NULL;
    wchar_t* icon_path = NULL;
    wchar_t* picture_path = NULL;
    int found;

    if (tag == NULL) {
        return TVK_TAG_INVALID;
    }
    found = tvk_find_argument(command_line, L"/pi=", &params_path);
    if (found >= 0 && tvk_find_argument(command_line, L"/ico=", &icon_path) >= 0 &&
        tvk_find_argument(command_line, L"/pic=", &picture_path) >= 0) {
        tvk_verify_files(params_path, icon_path, picture_path, key_der, key_size, tag);
    } else {
        memset(tag, 0, sizeof *tag);
        fail(tag, TVK_CHECK_SYSTEM, ERROR_NOT_ENOUGH_MEMORY);
    }
    tag->params_path = params_path;
    tag->icon_path = icon_path;
    tag->picture_path = picture_path;
    return tag->status;
}
#endif /* _WIN32 */
