// Finds the libraries and the program, refuses programs that would run
// untraced, routes and hops that would leave it undelayed and recordings that
// cannot be replayed, prepares the run's files and environment, and runs it.
#include "launch.hh"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "elapsed_time.hh"
#include "library_search.hh"
#include "preload_env.hh"
#include "program_checks.hh"
#include "program_lookup.hh"
#include "relay_start.hh"
#include "replay_check.hh"
#include "run_checks.hh"
#include "run_supervision.hh"
#include "supervise/supervised_run.hh"
#include "trace_path.hh"

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

// Whether the program carries Go's build information: a Go program makes its
// own system calls, so preloading would see none of them.
bool is_go_program(const std::string &path)
{
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    auto header = read_bytes(descriptor, 0, elf_header_bytes);
    table_extent sections, names;
    std::vector<unsigned char> section_headers, section_names;
    if (section_header_extent(header, sections) && sections.size <= program_headers_limit) {
        section_headers = read_bytes(descriptor, sections.offset, sections.size);
    }
    if (section_names_extent(header, section_headers, names) && names.size <= program_headers_limit) {
        section_names = read_bytes(descriptor, names.offset, names.size);
    }
    close(descriptor);
    return has_section(header, section_headers, section_names, go_build_info_section);
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

// How a program is run: with the library preloaded, or supervised through
// the system-call filter when the library could see none of its calls.
enum class run_path { preload, supervise };

// Chooses the path, or refuses a program that would run untraced either way.
bool choose_run_path(const std::string &name, const std::string &path, const std::string &library_path,
                     bool supervise_asked, run_path &how, launch_failure &failure)
{
    elf_identity library;
    if (!read_elf_identity(elf_header_of(library_path), library)) {
        failure.message = library_path + " is not an ELF shared object";
        return false;
    }
    const std::string untraced = ", so its socket calls could not be traced";
    how = supervise_asked ? run_path::supervise : run_path::preload;
    switch (kind_of_program(path, library)) {
    case program_kind::static_elf:
        how = run_path::supervise;
        break;
    case program_kind::foreign:
        failure.message = name + " is built for another ELF class or machine than " + library_path + untraced;
        return false;
    case program_kind::dynamic:
        if (is_go_program(path)) {
            how = run_path::supervise;
        }
        break;
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

// With full coverage no process of the run empties "timelog" or the
// recording: kandrel-run writes them, for every process of the run. Each is
// opened here for appending, never through a link and only if it is a
// regular file; it is emptied only once every check has passed. `shown`
// names the file in messages, `remedy` says what to do. Returns -1 on refusal.
// `create` is false while checking, when a missing file is no refusal.
int open_run_file(const std::string &path, const std::string &shown, const char *remedy, bool create,
                  launch_failure &failure)
{
    int descriptor =
        open(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0),
             0666);
    int error = descriptor < 0 && !(errno == ENOENT && !create) ? errno : 0;
    struct stat status;
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && !S_ISREG(status.st_mode)) {
        error = ENXIO;
    }
    if (error == 0 && create && ftruncate(descriptor, 0) != 0) {
        error = errno;
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
    if ((error != 0 || !create) && descriptor >= 0) {
        close(descriptor);
    }
    return error == 0 ? descriptor : -1;
}

// The directory of -o's file must take it: a trace that could not be written
// would otherwise go nowhere, or into the program's own streams.
bool check_trace_file(const std::string &path, launch_failure &failure)
{
    std::string directory = path.substr(0, path.rfind('/'));
    struct stat status;
    int error = stat(directory.empty() ? "/" : directory.c_str(), &status) != 0 ? errno
                : !S_ISDIR(status.st_mode) ? ENOTDIR
                : access(directory.empty() ? "/" : directory.c_str(), W_OK | X_OK) != 0 ? errno
                                                                                        : 0;
    if (error != 0) {
        failure.message = "cannot write the trace into " + directory + "/: " + error_text(error);
    }
    return error == 0;
}

// A trace file that every process of the run shares (its name has no %p) is
// emptied once, here, as strace -o empties its file; the library only ever
// appends. Only a regular file, never through a link: /dev/null or a fifo
// stays as it is, and the library reports what it cannot open.
void empty_shared_trace_file(const std::string &pattern)
{
    char one[PATH_MAX];
    char other[PATH_MAX];
    if (!expand_trace_path(pattern.c_str(), 1, one, sizeof one) ||
        !expand_trace_path(pattern.c_str(), 2, other, sizeof other) || std::strcmp(one, other) != 0) {
        return;
    }
    const int descriptor = open(one, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    struct stat status;
    if (descriptor >= 0 && fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) {
        (void)!ftruncate(descriptor, 0);
    }
    if (descriptor >= 0) {
        close(descriptor);
    }
}

// A private copy of a piped route file lives as long as the run.
struct removed_at_end {
    std::string path;
    ~removed_at_end()
    {
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
};

// The run's timelog and recording, opened for the collector to write. Every
// file is checked before any is emptied.
bool open_run_files(const launch_options &options, collector_outputs &outputs, launch_failure &failure)
{
    std::string timelog = options.timelog_file.empty() ? "timelog" : options.timelog_file;
    for (bool create : {false, true}) {
        if (!options.record_file.empty()) {
            outputs.recording = open_run_file(options.record_file, options.record_file,
                                              "remove it or record to another file", create, failure);
            if (!failure.message.empty()) {
                return false;
            }
        }
        outputs.timelog = open_run_file(timelog, timelog, "remove it or run with --classic", create, failure);
        if (!failure.message.empty()) {
            return false;
        }
    }
    return true;
}

// The trace file (-o, or as inherited) for the collector; processes that
// find its directory where it is now write it themselves, the others (a
// chroot) hand their trace to the collector.
void name_trace_file(const std::string &cwd, const std::string &trace_option, collector_outputs &outputs)
{
    const char *inherited = std::getenv("KANDREL_TRACE_FILE");
    std::string trace = !trace_option.empty() ? trace_option : inherited != nullptr ? inherited : "";
    unsetenv("KANDREL_TRACE_DIRECTORY_ID");
    if (trace.empty()) {
        return;
    }
    outputs.trace_pattern = absolute_path(cwd, trace);
    std::string directory = outputs.trace_pattern.substr(0, outputs.trace_pattern.rfind('/'));
    struct stat status;
    if (stat(directory.empty() ? "/" : directory.c_str(), &status) == 0) {
        setenv("KANDREL_TRACE_DIRECTORY_ID",
               (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino)).c_str(), 1);
    }
}

// Starts the program, its environment prepared, and stays with it to the end.
launch_failure run_program(const std::string &name, const std::string &path,
                           const std::vector<std::string> &program, const supervised_run &run)
{
    launch_failure outcome;
    std::vector<char *> argv;
    for (const auto &word : program) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    argv.push_back(nullptr);
    std::fflush(stderr);
    pid_t child = fork();
    if (child < 0) {
        outcome.message = "cannot start " + name + ": " + error_text(errno);
        return outcome;
    }
    if (child == 0) {
        execv(path.c_str(), argv.data());
        int error = errno;
        std::fprintf(stderr, "kandrel-run: %s: %s\n", name.c_str(), error_text(error).c_str());
        _exit(error == ENOENT ? exit_not_found : exit_cannot_execute);
    }
    outcome.status = supervise(child, run);
    return outcome;
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
    run_path how;
    if (!find_program(name, path, failure) ||
        !choose_run_path(name, path, preload[0], options.supervise, how, failure)) {
        return failure;
    }
    if (how == run_path::supervise && (options.classic || options.payload || !options.replay_file.empty())) {
        failure.message = name + " makes its own system calls and is supervised, which routes as full "
                                 "coverage does: --classic, --payload and --replay need the library";
        return failure;
    }
    if (how == run_path::supervise && !(failure.message = supervision_refusal(name)).empty()) {
        return failure;
    }
    char cwd[PATH_MAX];
    if (getcwd(cwd, sizeof cwd) == nullptr) {
        failure.message = "cannot find the current directory: " + error_text(errno);
        return failure;
    }
    if (!options.trace_file.empty() && !check_trace_file(absolute_path(cwd, options.trace_file), failure)) {
        return failure;
    }
    checked_routes routes;
    bool routes_checked = check_routes(options, cwd, routes, failure);
    removed_at_end route_copy{routes.private_copy};
    if (!routes_checked) {
        return failure;
    }
    if (!routes.table_path.empty()) {
        setenv("QUOR_ROUTE_TABLE", routes.table_path.c_str(), 1);
    }
    if (!options.replay_file.empty()) {
        const char *table = std::getenv("QUOR_ROUTE_TABLE");
        failure.message = replay_refusal(options.replay_file, table != nullptr ? table : "");
        if (!failure.message.empty()) {
            return failure;
        }
    }
    // What the route check found is said once every check has passed.
    auto say_route_notes = [&] {
        for (const auto &note : routes.notes) {
            std::fprintf(stderr, "kandrel-run: %s\n", note.c_str());
        }
    };
    supervised_run run{nullptr, {}, routes.routes, options.quiet, options.strict};
    if (!options.classic && !open_run_files(options, run.outputs, failure)) {
        return failure;
    }
    if (!options.trace_file.empty()) {
        empty_shared_trace_file(absolute_path(cwd, options.trace_file));
    }
    // A supervised program's round trips are made and recorded by this
    // process itself, into the files just checked, so it needs no collector.
    if (how == run_path::supervise) {
        for (int file : {run.outputs.timelog, run.outputs.recording}) {
            if (file >= 0) {
                close(file);
            }
        }
        const char *table = std::getenv("QUOR_ROUTE_TABLE");
        supervised_program supervised{name,
                                      path,
                                      options.program,
                                      table != nullptr ? table : "",
                                      {options.trace_file, options.record_file, monotonic_ns()},
                                      routes.routes,
                                      options.quiet,
                                      options.strict};
        say_route_notes();
        failure.status = run_supervised(supervised, failure.message);
        return failure;
    }
    run_collector collector;
    if (!options.classic) {
        if (std::string error = collector.open(); !error.empty()) {
            failure.message = "cannot open the run's collector: " + error;
            return failure;
        }
        run.collector = &collector;
        name_trace_file(cwd, options.trace_file, run.outputs);
        setenv("KANDREL_COLLECTOR", collector.name().c_str(), 1);
    }
    for (const auto &setting : behaviour_settings(options, cwd, monotonic_ns())) {
        if (setting.value) {
            setenv(setting.name.c_str(), setting.value->c_str(), 1);
        } else {
            unsetenv(setting.name.c_str());
        }
    }
    pid_t relay = -1;
    if (options.path && !start_path_relay(directory_of(self), cwd, relay, failure.message)) {
        return failure;
    }
    collector.leave_uncounted(relay);
    setenv("LD_PRELOAD", composed_preload(preload, std::getenv("LD_PRELOAD")).c_str(), 1);
    say_route_notes();
    failure = run_program(name, path, options.program, run);
    for (int file : {run.outputs.timelog, run.outputs.recording}) {
        if (file >= 0) {
            close(file);
        }
    }
    return failure;
}

}  // namespace launcher
