#include "tools/packaging/stub_validation.h"

#include "package/pe_reader.h"
#include "platform/windows_error_text.h"
#include "tools/packaging/tool_files.h"

namespace packaging {

StubProblem SystemProblem(const char* step, const std::system_error& error) {
    const auto code = static_cast<std::uint32_t>(error.code().value());
    return {step, Utf8FromWide(GetWindowsErrorText(code)), code};
}

std::optional<StubProblem> ValidateAsTheStub(const std::filesystem::path& package) {
    return StubStepProblem("validation", [&] { PeReader reader(ReaderPath(package)); });
}

std::string ProblemText(const StubProblem& problem) {
    std::string text = problem.message;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

}  // namespace packaging
