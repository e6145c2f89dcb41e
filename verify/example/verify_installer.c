/* verify_installer: an installer that checks the signed tag it is handed and
 * says what it found. It is tvk_verify.h's example as a whole program, and
 * the installer of end-to-end tests of signed tags (stub -> installer).
 *
 *   verify_installer.exe [/pi="FILE"] [/pic="FILE"] [/ico="FILE"]
 *                        ["--result-file=PATH"] [anything else]
 *
 * - It checks the tag its command line hands over (tvk_verify_command_line)
 *   with the public key compiled into it: in this project's builds a
 *   throwaway key the build makes, whose private half is
 *   build/<preset>/verify/verify_installer_key.pem (sign test tags with it).
 * - It writes one line, "valid", "unsigned" or "invalid: <check>" (the
 *   check's tvk_check_name, e.g. "invalid: signature"), ended by a line
 *   feed, to standard output, and with --result-file=PATH to the file PATH
 *   (replaced), followed there by the parameters text it would use for a
 *   valid or unsigned tag (for a valid one, without the "tvk_sig" member).
 * - It exits with 0 for a valid tag, 1 for an unsigned one, 2 for an
 *   invalid one.
 * A console program; besides the C runtime it imports kernel32, bcrypt and
 * crypt32 only. */
#include <windows.h>

#include <stdlib.h>

#include "tvk_verify.h"
#include "verify_installer_key.h" /* kTagKey: the vendor's public key, DER */

static void write_text(HANDLE out, const char* text, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        const DWORD piece = size > 0x10000000u ? 0x10000000u : (DWORD)size;
        if (!WriteFile(out, text, piece, &written, NULL) || written == 0) {
            return;
        }
        text += written;
        size -= written;
    }
}

static void write_string(HANDLE out, const char* text) {
    write_text(out, text, (size_t)lstrlenA(text));
}

static void write_result(HANDLE out, const tvk_tag* tag) {
    if (tag->status == TVK_TAG_VALID) {
        write_string(out, "valid\n");
    } else if (tag->status == TVK_TAG_UNSIGNED) {
        write_string(out, "unsigned\n");
    } else {
        write_string(out, "invalid: ");
        write_string(out, tvk_check_name(tag->failed_check));
        write_string(out, "\n");
    }
}

int wmain(int argc, wchar_t** argv) {
    const wchar_t* command_line = GetCommandLineW();
    wchar_t* result_path = NULL;
    tvk_tag tag;
    int exit_code;
    (void)argc;
    (void)argv;

    tvk_verify_command_line(command_line, kTagKey, sizeof kTagKey, &tag);
    write_result(GetStdHandle(STD_OUTPUT_HANDLE), &tag);
    if (tvk_find_argument(command_line, L"--result-file=", &result_path) == 1) {
        HANDLE file = CreateFileW(result_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            write_result(file, &tag);
            if (tag.params != NULL) {
                write_text(file, tag.params, tag.params_size);
            }
            CloseHandle(file);
        }
        free(result_path);
    }
    exit_code = tag.status == TVK_TAG_VALID ? 0 : tag.status == TVK_TAG_UNSIGNED ? 1 : 2;
    tvk_tag_release(&tag);
    return exit_code;
}
