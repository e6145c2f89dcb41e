// The stub's own checks of a package, run with its PeReader and its
// operations (never a second parser), and a failure as the stub would show
// it.
#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

namespace packaging {

// The first failure of the stub's run, as the stub would show it.
struct StubProblem {
    std::string step;     // "validation", "parameters", "picture", "icon"
    std::string message;  // the exact text of the stub's message box (UTF-8)
    std::optional<std::uint32_t> system_error_code;  // for a failed Windows call
};

// A failed Windows call in a step, with the Windows text the stub shows.
StubProblem SystemProblem(const char* step, const std::system_error& error);

// Runs one of the stub's steps: its failure, with the text the stub's
// message box would show, or nothing when it passed.
template <typename Step>
std::optional<StubProblem> StubStepProblem(const char* step_name, Step&& step) {
    try {
        step();
        return std::nullopt;
    } catch (const std::system_error& error) {
        return SystemProblem(step_name, error);
    } catch (const std::exception& error) {
        return StubProblem{step_name, error.what(), std::nullopt};
    }
}

// The stub's validation alone (PeReader construction): its failure, if any.
std::optional<StubProblem> ValidateAsTheStub(const std::filesystem::path& package);

// The problem's message without the line break that ends a Windows text.
std::string ProblemText(const StubProblem& problem);

}  // namespace packaging
