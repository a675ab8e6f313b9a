#include "tools/pending_file.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <process.h>
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "tools/options.h"

namespace morvane::tools {

std::string cannot_write(const std::string& name, const std::string& why)
{
    return "cannot write " + quoted(name) + ": " + why;
}

namespace {

#if defined(_WIN32)
// Replaces `to` by `from` in one step, where rename() would refuse an existing `to`.
bool replace_file(const std::string& from, const std::string& to, std::string& why)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) return true;
    char text[256] = {};
    const DWORD code = GetLastError();
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                                        0, text, sizeof text, nullptr);
    why = length > 0 ? std::string(text, length) : "error " + std::to_string(code);
    while (!why.empty() && (why.back() == '\n' || why.back() == '\r' || why.back() == ' ')) why.pop_back();
    return false;
}
#else
bool replace_file(const std::string& from, const std::string& to, std::string& why)
{
    if (std::rename(from.c_str(), to.c_str()) == 0) return true;
    why = std::strerror(errno);
    return false;
}
#endif

} // namespace

bool PendingFile::open(const std::string& name, std::string& error)
{
    discard();
    final_name_ = name;
#if defined(_WIN32)
    // A name of this process's own that nobody else's file has ("x" never opens an existing
    // one); one left by a killed run with the same process number is stepped over.
    const std::string stem = name + ".partial-" + std::to_string(_getpid());
    for (int attempt = 0; attempt < 100 && file_ == nullptr; ++attempt) {
        temporary_name_ = attempt == 0 ? stem : stem + "-" + std::to_string(attempt);
        file_ = std::fopen(temporary_name_.c_str(), "wbx");
        if (file_ == nullptr && errno != EEXIST) break;
    }
#else
    temporary_name_ = name + ".tmp-XXXXXX";
    const int descriptor = mkstemp(temporary_name_.data());
    if (descriptor >= 0) {
        // mkstemp makes the file private; give it the mode a plain create would.
        const mode_t mask = umask(0);
        umask(mask);
        fchmod(descriptor, 0666 & ~mask);
        file_ = fdopen(descriptor, "wb");
        if (file_ == nullptr) close(descriptor);
    }
#endif
    if (file_ == nullptr) {
        error = cannot_write(name, std::strerror(errno));
        temporary_name_.clear();
        return false;
    }
    return true;
}

bool PendingFile::commit(std::string& error)
{
    const bool written = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const int saved = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    if (!written || !closed) {
        error = cannot_write(final_name_, std::strerror(written ? errno : saved));
        return false;
    }
    std::string why;
    if (!replace_file(temporary_name_, final_name_, why)) {
        error = cannot_write(final_name_, why);
        return false;
    }
    temporary_name_.clear();
    return true;
}

void PendingFile::discard()
{
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    if (!temporary_name_.empty()) std::remove(temporary_name_.c_str());
    temporary_name_.clear();
}

bool can_write_file(const std::string& name, std::string& error)
{
    PendingFile probe;
    return probe.open(name, error);  // the probe removes itself
}

bool write_whole_file(const std::string& name, const void* bytes, size_t size, std::string& error)
{
    PendingFile file;
    if (!file.open(name, error)) return false;
    if (std::fwrite(bytes, 1, size, file.file()) != size) {
        error = cannot_write(name, std::strerror(errno));
        return false;
    }
    return file.commit(error);
}

} // namespace morvane::tools
