// Scratch directories and whole-file reads and writes for the tests.
#pragma once

#include <string>

namespace testsupport {

// A fresh empty directory under /tmp, removed with its contents when the object goes.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &contents);
bool file_exists(const std::string &path);

// Bytes of every value, varying with position, so that a copy shows any
// byte lost, added or moved.
std::string byte_pattern(std::size_t size);

}  // namespace testsupport
