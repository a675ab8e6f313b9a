// Starting the real morvane-render from a test, as a user would from a shell.
#pragma once

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace morvane::test {

struct ToolRun {
    int status = -1;  // the exit code, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

inline std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs morvane-render with `arguments` in `directory`, its output and errors going to the files
// `out` and `err`; files it writes over `file_size_limit` bytes fail, as on a full disk.
inline ToolRun run_render_tool(std::vector<std::string> arguments, const std::filesystem::path& directory,
                               const std::filesystem::path& out, const std::filesystem::path& err,
                               rlim_t file_size_limit = RLIM_INFINITY)
{
    std::string program = MORVANE_RENDER_PATH;
    std::vector<char*> argv = {program.data()};
    for (std::string& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        const int out_file = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err_file = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out_file < 0 || err_file < 0 || chdir(directory.c_str()) != 0) _exit(126);
        dup2(out_file, 1);
        dup2(err_file, 2);
        // A write past the limit then fails with EFBIG instead of ending the process.
        signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{file_size_limit, file_size_limit};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(126);
        execv(argv[0], argv.data());
        _exit(127);
    }
    ToolRun result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child) {
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

} // namespace morvane::test
