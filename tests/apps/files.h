// Helpers for the command-line tool's tests: a fresh folder, whole files.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace clitest {

namespace fs = std::filesystem;
using Pels = std::vector<std::uint8_t>;

// An empty folder for the running test, under the build tree.
inline fs::path freshDir() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    fs::path dir = fs::path(IMGNORM_TEST_WORK_DIR) /
                   (std::string(info->test_suite_name()) + "." + info->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

// A file's bytes; empty when it cannot be read.
inline std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(const fs::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << bytes;
}

struct Outcome {
    int status = -1;
    std::string out, err;
};

// Runs a shell command line; stdout goes to .stdout in dir, stderr to the
// terminal tty when given (err stays empty), else to .stderr in dir.
inline Outcome shell(const std::string& line, const fs::path& dir, const std::string& tty = "") {
    const std::string out = (dir / ".stdout").string(),
                      err = tty.empty() ? (dir / ".stderr").string() : tty;
    const int rc = std::system((line + " >'" + out + "' 2>'" + err + "' </dev/null").c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, readFile(out), tty.empty() ? readFile(err) : ""};
}

}  // namespace clitest
