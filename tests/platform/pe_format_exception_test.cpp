#include "platform/pe_format_exception.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <type_traits>

namespace {

static_assert(std::is_base_of_v<std::exception, PeFormatException>);
static_assert(!std::is_base_of_v<std::runtime_error, PeFormatException>,
              "a format failure is no runtime error: the launcher tells them apart");
static_assert(std::is_nothrow_copy_constructible_v<PeFormatException>);

TEST(PeFormatException, WhatGivesTheFixedMessageExactly) {
    const char* const kMessages[] = {
        "Ico data too big",
        "The file size is infcorrect",
        "The file is not a valid executable: missing 'MZ' magic",
        "",
    };
    for (const char* message : kMessages) {
        try {
            throw PeFormatException(message);
        } catch (const std::exception& caught) {
            EXPECT_STREQ(caught.what(), message);
        }
    }
}

TEST(PeFormatException, CopyKeepsItsOwnMessage) {
    std::string message = "Not a TVK package";
    PeFormatException original(message);
    message = "changed afterwards";
    const PeFormatException copy = original;
    EXPECT_STREQ(copy.what(), "Not a TVK package");
    EXPECT_STREQ(original.what(), "Not a TVK package");
}

}  // namespace
