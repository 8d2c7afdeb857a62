// Finds the libraries and the program, refuses programs that would run
// untraced and recordings that cannot be replayed, prepares timelog, the
// recording and the environment, and execs.
#include "launch.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "library_search.hh"
#include "preload_env.hh"
#include "program_checks.hh"
#include "program_lookup.hh"
#include "relay_start.hh"
#include "replay_check.hh"

namespace launcher {
namespace {

// An ELF header of either class fits; so does the start of a script.
constexpr std::size_t elf_header_bytes = 64;
// Far beyond any real program-header table; a bigger one is not trusted.
constexpr std::uint64_t program_headers_limit = 1 << 20;

std::string error_text(int error)
{
    return std::strerror(error);
}

// The canonical path of an existing file, or empty.
std::string canonical(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

bool find_library(const std::vector<std::string> &dirs, const std::string &name, std::string &path,
                  launch_failure &failure)
{
    for (const auto &dir : dirs) {
        path = canonical(dir + "/" + name);
        if (!path.empty() && access(path.c_str(), R_OK) == 0) {
            if (!preloadable_path(path)) {
                failure.message =
                    "cannot preload " + path + ": LD_PRELOAD cannot hold a path with a colon or blank";
                return false;
            }
            return true;
        }
    }
    failure.message = "cannot find " + name + " in";
    for (const auto &dir : dirs) {
        failure.message += " " + dir;
    }
    return false;
}

// The bytes at [offset, offset + size) of a file, fewer at its end.
std::vector<unsigned char> read_bytes(int descriptor, std::uint64_t offset, std::uint64_t size)
{
    std::vector<unsigned char> bytes(size);
    ssize_t got = pread(descriptor, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    return bytes;
}

std::vector<unsigned char> elf_header_of(const std::string &path)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return {};
    }
    auto header = read_bytes(descriptor, 0, elf_header_bytes);
    close(descriptor);
    return header;
}

program_kind kind_of_program(const std::string &path, const elf_identity &library)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return program_kind::unknown;
    }
    auto header = read_bytes(descriptor, 0, elf_header_bytes);
    table_extent extent;
    std::vector<unsigned char> program_headers;
    if (program_header_extent(header, extent) && extent.size <= program_headers_limit) {
        program_headers = read_bytes(descriptor, extent.offset, extent.size);
    }
    close(descriptor);
    return classify_program(header, program_headers, library);
}

secure_reason secure_reason_of(const std::string &path)
{
    struct stat status;
    if (stat(path.c_str(), &status) != 0) {
        return secure_reason::none;
    }
    program_file_facts facts{status.st_mode, status.st_uid, status.st_gid,
                             getxattr(path.c_str(), "security.capability", nullptr, 0) >= 0};
    return secure_execution_reason(facts, getuid(), getgid());
}

// The first candidate that is an executable regular file. Like the shell,
// a candidate that exists but cannot be executed makes "not found" into
// "cannot execute".
bool find_program(const std::string &name, std::string &path, launch_failure &failure)
{
    int last_error = ENOENT;
    for (const auto &candidate : program_candidates(name, std::getenv("PATH"))) {
        struct stat status;
        if (stat(candidate.c_str(), &status) != 0) {
            continue;
        }
        if (S_ISREG(status.st_mode) && access(candidate.c_str(), X_OK) == 0) {
            path = candidate;
            return true;
        }
        last_error = S_ISDIR(status.st_mode) ? EISDIR : EACCES;
    }
    failure.status = last_error == ENOENT ? exit_not_found : exit_cannot_execute;
    failure.message =
        name + ": " +
        (last_error == ENOENT && name.find('/') == std::string::npos ? std::string("command not found")
                                                                     : error_text(last_error));
    return false;
}

// Refuses a program that the dynamic linker would run without the library.
bool check_preloadable(const std::string &name, const std::string &path, const std::string &library_path,
                       launch_failure &failure)
{
    elf_identity library;
    if (!read_elf_identity(elf_header_of(library_path), library)) {
        failure.message = library_path + " is not an ELF shared object";
        return false;
    }
    const std::string untraced = ", so its socket calls could not be traced";
    switch (kind_of_program(path, library)) {
    case program_kind::static_elf:
        failure.message = name +
                          " is statically linked: no dynamic linker would load "
                          "libkandrel.so into it" +
                          untraced;
        return false;
    case program_kind::foreign:
        failure.message = name + " is built for another ELF class or machine than " + library_path + untraced;
        return false;
    case program_kind::dynamic:
    case program_kind::unknown:
        break;
    }
    const char *why = nullptr;
    switch (secure_reason_of(path)) {
    case secure_reason::set_user_id:
        why = "is set-user-ID";
        break;
    case secure_reason::set_group_id:
        why = "is set-group-ID";
        break;
    case secure_reason::capabilities:
        why = "has file capabilities";
        break;
    case secure_reason::none:
        return true;
    }
    failure.message =
        name + " " + why + ": the dynamic linker ignores LD_PRELOAD in the program it starts" + untraced;
    return false;
}

// 0 when the file can be opened for reading and is not a directory (the
// library reads it with fgets, which a directory would fail), else errno.
int unreadable_reason(const std::string &path)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return errno;
    }
    struct stat status;
    int error = fstat(descriptor, &status) != 0 ? errno : S_ISDIR(status.st_mode) ? EISDIR : 0;
    close(descriptor);
    return error;
}

// Points QUOR_ROUTE_TABLE at the route file by an absolute path, which
// still holds after the program changes directory.
bool prepare_route_file(const std::string &cwd, const std::string &route_file, launch_failure &failure)
{
    std::string path = absolute_path(cwd, route_file);
    if (int error = unreadable_reason(path); error != 0) {
        failure.message = "cannot read route file " + route_file + ": " + error_text(error);
        return false;
    }
    setenv("QUOR_ROUTE_TABLE", path.c_str(), 1);
    return true;
}

// With full coverage no process of the run empties "timelog" or the
// recording; they all append. So each is emptied here, once, never through a
// link (the library does not follow one either) and only if it is a regular
// file. `shown` names the file in messages, `remedy` says what to do.
bool create_fresh_file(const std::string &path, const std::string &shown, const char *remedy,
                       launch_failure &failure)
{
    int descriptor = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    int error = descriptor < 0 ? errno : 0;
    struct stat status;
    if (error == 0 && fstat(descriptor, &status) == 0 && !S_ISREG(status.st_mode)) {
        error = ENXIO;
    }
    if (error == 0 && ftruncate(descriptor, 0) != 0) {
        error = errno;
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
    // ELOOP is how O_NOFOLLOW refuses a link; ENXIO how a non-blocking open
    // refuses a fifo without a reader, or a socket.
    if (error == ELOOP) {
        failure.message = shown + " is a symbolic link; " + remedy;
    } else if (error == ENXIO) {
        failure.message = shown + " is not a regular file; " + remedy;
    } else if (error != 0) {
        failure.message = "cannot create " + shown + " afresh: " + error_text(error);
    }
    return error == 0;
}

std::uint64_t monotonic_now_ns()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(now.tv_nsec);
}

}  // namespace

launch_failure launch(const launch_options &options)
{
    launch_failure failure;
    std::string self = canonical("/proc/self/exe");
    auto dirs = library_dirs(directory_of(self), KANDREL_INSTALLED_LIBDIR);

    std::vector<std::string> preload(1);
    if (!find_library(dirs, library_name, preload[0], failure)) {
        return failure;
    }
    if (options.debug) {
        preload.emplace_back();
        if (!find_library(dirs, debug_companion_name, preload[1], failure)) {
            return failure;
        }
    }
    const std::string &name = options.program.front();
    std::string path;
    if (!find_program(name, path, failure) || !check_preloadable(name, path, preload[0], failure)) {
        return failure;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        failure.message = "cannot find the current directory: " + error_text(errno);
        return failure;
    }
    if (!options.route_file.empty() && !prepare_route_file(cwd, options.route_file, failure)) {
        return failure;
    }
    if (!options.replay_file.empty()) {
        const char *routes = std::getenv("QUOR_ROUTE_TABLE");
        failure.message = replay_refusal(options.replay_file, routes != nullptr ? routes : "");
        if (!failure.message.empty()) {
            return failure;
        }
    }
    if (!options.record_file.empty() && !create_fresh_file(options.record_file, options.record_file,
                                                           "remove it or record to another file", failure)) {
        return failure;
    }
    if (!options.classic &&
        !create_fresh_file("timelog", "timelog", "remove it or run with --classic", failure)) {
        return failure;
    }
    for (const auto &setting : behaviour_settings(options, cwd, monotonic_now_ns())) {
        if (setting.value) {
            setenv(setting.name.c_str(), setting.value->c_str(), 1);
        } else {
            unsetenv(setting.name.c_str());
        }
    }
    if (options.path && !start_path_relay(directory_of(self), cwd, failure.message)) {
        return failure;
    }
    setenv("LD_PRELOAD", composed_preload(preload, std::getenv("LD_PRELOAD")).c_str(), 1);

    std::vector<char *> argv;
    for (const auto &word : options.program) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(nullptr);
    execv(path.c_str(), argv.data());

    int error = errno;
    failure.status = error == ENOENT ? exit_not_found : exit_cannot_execute;
    failure.message = name + ": " + error_text(error);
    return failure;
}

}  // namespace launcher
