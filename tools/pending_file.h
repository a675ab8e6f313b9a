// Output files that appear under their names only when complete, shared by morvane-render and
// morvane-bench. Reads nothing of the renderer; writes the one file it is given.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>

namespace morvane::tools {

// A file written under a unique temporary name in the same directory and renamed over its
// final name by commit(). An existing file of that name is replaced in one step, so a
// failure leaves either the old file or the new one, never neither; a temporary file left by
// a killed run is no obstacle. Removed again if never committed.
class PendingFile {
public:
    PendingFile() = default;
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;
    ~PendingFile() { discard(); }

    // false, with "cannot write 'NAME': why" in `error`, when the file cannot be created.
    bool open(const std::string& name, std::string& error);
    std::FILE* file() const { return file_; }  // nullptr when not open
    const std::string& name() const { return final_name_; }
    // Flushes, closes and renames; false with the reason when any of it fails.
    bool commit(std::string& error);

private:
    void discard();

    std::string final_name_;
    std::string temporary_name_;
    std::FILE* file_ = nullptr;
};

// "cannot write 'NAME': why", the one way every tool says a file failed.
std::string cannot_write(const std::string& name, const std::string& why);

// Checks that `name` could be created, leaving nothing behind (before a long run).
bool can_write_file(const std::string& name, std::string& error);

// The whole of `size` bytes as `name`, complete or not at all.
bool write_whole_file(const std::string& name, const void* bytes, size_t size, std::string& error);

} // namespace morvane::tools
