// Throughput of the installer extraction next to a plain cp of the same
// bytes, measured in the same run on the same file system. Both write a new
// file that is removed between iterations, outside the timed part.
#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "package/pe_reader.h"
#include "tests/support/synthetic_package.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

using test_support::ScopedTempDir;

// The installer image's size: 256 MiB.
constexpr std::size_t kInstallerSize = 256u << 20;

// The package and, beside it, a file of the installer image alone for cp.
struct Workload {
    ScopedTempDir dir;
    std::unique_ptr<PeReader> reader;

    Workload() {
        test_support::SyntheticPackage package;
        package.installer = test_support::PatternBytes(kInstallerSize, 17);
        test_support::WriteBytes(dir.File("package.exe"), package.Build());
        test_support::WriteBytes(dir.File("installer.bin"), package.installer);
        reader = std::make_unique<PeReader>(dir.WindowsFile("package.exe"));
    }
};

void Extract(benchmark::State& state, const Workload* work) {
    const std::wstring target = work->dir.WindowsFile("copy.exe");
    for (auto _ : state) {
        work->reader->ExtractInstaller(target);
        state.PauseTiming();
        std::filesystem::remove(work->dir.File("copy.exe"));
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            work->reader->installer_length());
}

// Runs cp on the installer image alone; true when it succeeded.
bool RunCp(const std::string& from, const std::string& to) {
    std::string program = "cp";
    char* argv[] = {program.data(), const_cast<char*>(from.c_str()), const_cast<char*>(to.c_str()),
                    nullptr};
    pid_t child = 0;
    if (posix_spawnp(&child, "cp", nullptr, nullptr, argv, environ) != 0) {
        return false;
    }
    int status = 0;
    return waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void Cp(benchmark::State& state, const Workload* work) {
    const std::string from = work->dir.File("installer.bin").string();
    const std::string to = work->dir.File("copy.bin").string();
    for (auto _ : state) {
        if (!RunCp(from, to)) {
            state.SkipWithError("cp failed");
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(to);
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                            static_cast<std::int64_t>(kInstallerSize));
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    {
        // The folder and both files are removed when this scope ends.
        const Workload work;
        // Wall-clock time: cp's work happens in a child process.
        benchmark::RegisterBenchmark("BM_ExtractInstaller/256MiB", Extract, &work)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark("BM_Cp/256MiB", Cp, &work)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    return 0;
}
