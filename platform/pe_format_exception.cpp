#include "platform/pe_format_exception.h"

PeFormatException::PeFormatException(const std::string& message) : message_(message) {}

PeFormatException::~PeFormatException() = default;

const char* PeFormatException::what() const noexcept {
    return message_.what();
}
