// Whether the dynamic linker will preload a library into a program: read
// from its ELF headers and from its permission bits, before it is run.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

namespace launcher {

// What makes two ELF objects loadable into one process.
struct elf_identity {
    unsigned char elf_class = 0;  // ELFCLASS32 or ELFCLASS64
    unsigned char data = 0;       // byte order, ELFDATA2LSB or ELFDATA2MSB
    std::uint16_t machine = 0;    // EM_X86_64 ...
    bool operator==(const elf_identity &) const = default;
};

// Where the program-header table lies in the file.
struct table_extent {
    std::uint64_t offset = 0;
    std::uint64_t size = 0;
};

enum class program_kind {
    dynamic,     // has an interpreter: the dynamic linker runs and preloads
    static_elf,  // no interpreter: nothing would load the library
    foreign,     // another class, byte order or machine than the library
    unknown,     // not ELF (a script) or not readable as ELF: left to exec
};

// The identity in an ELF header, or false when the bytes are not one (too
// short, no magic, unknown class).
bool read_elf_identity(std::span<const unsigned char> header, elf_identity &identity);

// The program-header table named by an ELF header of the library's own byte
// order; false when the header is not such a header.
bool program_header_extent(std::span<const unsigned char> header, table_extent &extent);

// Classifies a program from its ELF header and its program-header table
// (the bytes at the extent above), against the library to be preloaded.
program_kind classify_program(std::span<const unsigned char> header,
                              std::span<const unsigned char> program_headers, const elf_identity &library);

// Up to `size` bytes at `offset` of the program's file.
using program_bytes = std::function<std::vector<unsigned char>(std::uint64_t offset, std::uint64_t size)>;

// Whether an ELF program of the host's byte order has a section of the
// given name, read through its section-header table and section names.
bool has_section_named(std::span<const unsigned char> header, const program_bytes &read,
                       std::string_view name);

// The section every Go program carries: its build information. A Go program
// makes its own system calls, which no preloaded library sees.
constexpr std::string_view go_build_info_section = ".go.buildinfo";

// Why exec would put the program in secure-execution mode, in which the
// dynamic linker ignores LD_PRELOAD paths.
enum class secure_reason { none, set_user_id, set_group_id, capabilities };

struct program_file_facts {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
    bool has_capabilities = false;  // a security.capability attribute
};

// The kernel's rule: set-user-ID to someone other than the caller's real
// user, set-group-ID (with group execute) to another group than the real
// group, or file capabilities for a caller that is not root.
secure_reason secure_execution_reason(const program_file_facts &file, uid_t real_uid, gid_t real_gid);

}  // namespace launcher
