/* tvk_verify: checks a signed tag in the installer that a tvkstub package
 * runs.
 *
 * A package's tag (the parameters text, the icon and the picture that the
 * stub hands to the installer as /pi="FILE", /ico="FILE" and /pic="FILE")
 * lies outside what Authenticode signs, so anyone can re-tag a signed
 * package. A signed tag carries an RSA signature of the vendor's in its
 * parameters text; this library checks it with the public key compiled into
 * the installer, whose own image Authenticode does sign.
 *
 * Copy tvk_verify.h and tvk_verify.c into the installer's sources. They are
 * C99 and need nothing but Windows' kernel32, bcrypt and crypt32 (link
 * bcrypt.lib and crypt32.lib, or -lbcrypt -lcrypt32 with mingw-w64) and the
 * C runtime's malloc, free and mem* functions. Windows Vista and later. The
 * library keeps no global state; every call may run on any thread.
 *
 * THE SIGNED TAG
 * The signed parameters text is the vendor's JSON object with one more
 * member, last: "tvk_sig":"<signature>" (after a comma when the object had
 * members), right before the object's closing brace. The signature is
 * RSASSA-PKCS1-v1_5 with SHA-256 by a key of 2048 bits or more, written as
 * unpadded base64url, over these bytes:
 *
 *     tvk-tag-v1 LF <the parameters text without the member> LF
 *     <icon file's SHA-256, lowercase hex, or "-" without an icon> LF
 *     <picture file's SHA-256, lowercase hex, or "-" without a picture>
 *
 * (no line feed at the end). The icon and picture are bound by their
 * hashes, and their absence is signed too: a tag signed with an icon does
 * not verify when the installer is handed none, and the other way round.
 *
 * WHAT THE INSTALLER GETS
 * The parameters text to use is tag.params: for a valid tag, the text
 * without the "tvk_sig" member, byte for byte what the vendor signed (the
 * installer's own JSON reader never sees the member); for an unsigned tag,
 * the text as it is. An invalid tag gives no text. Use tag.params rather
 * than reading the file again, and open the icon and picture at the paths
 * that were checked: the files lie in the user's temporary folder, where
 * programs of the same user could change them after the check.
 *
 * An installer that requires signed tags accepts TVK_TAG_VALID only: anyone
 * can remove the member from a signed tag and change the rest, which makes
 * the tag unsigned, not invalid.
 *
 * EXAMPLE: an installer that runs only with a valid signed tag.
 *
 *     #include <windows.h>
 *     #include "tvk_verify.h"
 *
 *     // The vendor's public key, DER SubjectPublicKeyInfo
 *     // (tvkpack tag-key prints it as this array).
 *     static const unsigned char kTagKey[] = {0x30, 0x82, 0x01, 0x22, ...};
 *
 *     int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR arguments, int show) {
 *         tvk_tag tag;
 *         int exit_code = 1;
 *         if (tvk_verify_command_line(GetCommandLineW(), kTagKey, sizeof kTagKey, &tag) ==
 *             TVK_TAG_VALID) {
 *             // tag.params (tag.params_size bytes) is the JSON to use;
 *             // tag.icon_path and tag.picture_path name the checked files or are NULL.
 *             exit_code = RunSetup(tag.params, tag.params_size, tag.icon_path, tag.picture_path);
 *         } else {
 *             // "unsigned", or the check that failed: "signature", "icon_file", ...
 *             ShowRefusal(tag.status == TVK_TAG_UNSIGNED ? "unsigned"
 *                                                        : tvk_check_name(tag.failed_check));
 *         }
 *         tvk_tag_release(&tag);
 *         return exit_code;
 *     }
 *
 * verify/example/verify_installer.c is a complete console program of this
 * kind.
 */
#ifndef TVK_VERIFY_H
#define TVK_VERIFY_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest parameters file and the largest icon or picture file that a
 * package can carry (its blocks are at most 20,971,520 bytes; the parameters
 * are stored as base64 and decode to less). Larger files are refused. */
#define TVK_PARAMS_FILE_LIMIT 20971520u
#define TVK_IMAGE_FILE_LIMIT 20971520u

/* The smallest RSA key accepted, in bits. */
#define TVK_MIN_KEY_BITS 2048u

typedef enum tvk_tag_status {
    TVK_TAG_VALID = 0,    /* signed, and the signature verifies */
    TVK_TAG_UNSIGNED = 1, /* a JSON object without a "tvk_sig" member */
    TVK_TAG_INVALID = 2   /* anything else: see failed_check */
} tvk_tag_status;

/* The check an invalid tag failed, in the order the checks run (memory and
 * SHA-256 may fail at any step). */
typedef enum tvk_check {
    TVK_CHECK_NONE = 0,        /* the tag is valid or unsigned */
    TVK_CHECK_PARAMS_ARGUMENT, /* no parameters file named (no /pi= argument) */
    TVK_CHECK_PARAMS_FILE,     /* it cannot be read, or is larger than the limit */
    TVK_CHECK_PARAMS_TEXT,     /* it is not one JSON object */
    TVK_CHECK_SIG_MEMBER,      /* "tvk_sig" is not last, not a string, given twice,
                                  or not written as the signer writes it */
    TVK_CHECK_SIG_ENCODING,    /* the signature is not unpadded base64url */
    TVK_CHECK_KEY,             /* the public key cannot be used, is not RSA, or is
                                  shorter than TVK_MIN_KEY_BITS */
    TVK_CHECK_SIG_LENGTH,      /* the signature is not as long as the key's modulus
                                  (one longer than the largest key's is refused
                                  before it is decoded) */
    TVK_CHECK_ICON_FILE,       /* the icon named cannot be read, or is too large */
    TVK_CHECK_PICTURE_FILE,    /* the picture named cannot be read, or is too large */
    TVK_CHECK_SYSTEM,          /* out of memory, or SHA-256 failed */
    TVK_CHECK_SIGNATURE        /* the signature does not verify */
} tvk_check;

/* What a check found. Every member is set by the calls below, on every
 * path; release it with tvk_tag_release. */
typedef struct tvk_tag {
    tvk_tag_status status;
    tvk_check failed_check;    /* TVK_CHECK_NONE unless status is TVK_TAG_INVALID */
    unsigned long system_code; /* for a failed file, key or system check: the Windows
                                  error code or NTSTATUS of the call that failed, else 0 */
    char* params;              /* the parameters text to use (see above), followed by a
                                  zero byte (the text holds none); NULL when invalid */
    size_t params_size;        /* its length in bytes, without the zero byte */
    wchar_t* params_path;      /* the files checked, as the command line named them; */
    wchar_t* icon_path;        /* set by tvk_verify_command_line only, */
    wchar_t* picture_path;     /* NULL for a kind not named */
} tvk_tag;

#ifdef _WIN32
/* Checks the tag that the command line (GetCommandLineW's form: the program
 * name, then the arguments) hands over: the files its first /pi=, /ico= and
 * /pic= arguments name, read by the C runtime's argument rules (so
 * /pi="C:\a b\x.json" names C:\a b\x.json). key_der is the vendor's public
 * key, key_size bytes of DER SubjectPublicKeyInfo. Returns tag->status. */
tvk_tag_status tvk_verify_command_line(const wchar_t* command_line, const unsigned char* key_der,
                                       size_t key_size, tvk_tag* tag);

/* The same for files named directly; icon_path and picture_path may be NULL
 * (the tag has no icon or no picture). The key is used only when the text
 * is signed. Leaves the tag's paths NULL. Returns tag->status. */
tvk_tag_status tvk_verify_files(const wchar_t* params_path, const wchar_t* icon_path,
                                const wchar_t* picture_path, const unsigned char* key_der,
                                size_t key_size, tvk_tag* tag);
#endif

/* Frees what the tag holds and sets its pointers to NULL; a NULL tag, or one
 * released before, is fine. */
void tvk_tag_release(tvk_tag* tag);

/* A short fixed name of a check, for messages and logs: "signature",
 * "icon_file", ...; "none" for TVK_CHECK_NONE. */
const char* tvk_check_name(tvk_check check);

/* Finds the first argument of a command line (GetCommandLineW's form) that
 * starts with prefix, compared code unit by code unit, the arguments read
 * by the C runtime's rules. Returns 1 and sets *value to the rest of that
 * argument (release it with free), 0 when no argument starts with prefix
 * (*value is NULL), -1 when memory runs out (*value is NULL). */
int tvk_find_argument(const wchar_t* command_line, const wchar_t* prefix, wchar_t** value);

#ifdef TVK_VERIFY_INTERNALS
/* The platform-neutral steps of the check, declared for this library's own
 * tests only: not part of the API above, and free to change. */

typedef enum tvk_params_form {
    TVK_PARAMS_UNSIGNED,   /* a JSON object without a top-level "tvk_sig" */
    TVK_PARAMS_SIGNED,     /* with the member as the signer writes it; *member is set */
    TVK_PARAMS_NOT_OBJECT, /* not one JSON object */
    TVK_PARAMS_BAD_MEMBER  /* a top-level "tvk_sig" the signer would not have written */
} tvk_params_form;

/* Where the signer's insertion lies in a signed text: bytes [start, end) are
 * what it inserted (the comma, if any, and the member); end is the closing
 * brace. The signature text is [sig_start, sig_start + sig_size). */
typedef struct tvk_sig_member {
    size_t start;
    size_t end;
    size_t sig_start;
    size_t sig_size;
} tvk_sig_member;

/* The largest signature accepted: BCrypt's largest RSA key, 16384 bits. */
#define TVK_MAX_SIGNATURE_SIZE 2048u

tvk_params_form tvk_find_sig_member(const unsigned char* text, size_t size, tvk_sig_member* member);

/* Removes the insertion from the text in place and returns the new size. */
size_t tvk_remove_sig_member(unsigned char* text, size_t size, const tvk_sig_member* member);

/* Decodes unpadded base64url (RFC 4648, section 5) into out, which holds
 * capacity bytes. Returns 1 and sets *out_size, or 0 for a character outside
 * the alphabet (padding too), a length of 4n+1, unused bits that are not
 * zero, or more than capacity bytes. */
int tvk_base64url_decode(const char* text, size_t size, unsigned char* out, size_t capacity,
                         size_t* out_size);

/* A SHA-256 digest as 64 lowercase hex digits and a zero byte. */
void tvk_hex_digest(const unsigned char digest[32], char hex[65]);

/* The signed message in pieces, to be hashed in order: the prefix, the text
 * without the member, then each hash in hex (NULL: no file, "-"), with the
 * line feeds between them. */
#define TVK_MESSAGE_PARTS 6
typedef struct tvk_span {
    const unsigned char* data;
    size_t size;
} tvk_span;
void tvk_message_parts(const unsigned char* unsigned_text, size_t size, const char* icon_hex,
                       const char* picture_hex, tvk_span parts[TVK_MESSAGE_PARTS]);
#endif /* TVK_VERIFY_INTERNALS */

#ifdef __cplusplus
}
#endif

#endif /* TVK_VERIFY_H */
