// The failure raised for a malformed executable or package.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

// Carries one fixed English message naming the check that failed. The
// message is held in a reference-counted standard string, so copying the
// exception (as throwing does) cannot fail.
class PeFormatException : public std::exception {
  public:
    explicit PeFormatException(const std::string& message);
    ~PeFormatException() override;

    const char* what() const noexcept override;

  private:
    std::runtime_error message_;
};
