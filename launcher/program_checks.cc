// ELF header reading and the secure-execution rule for the launcher's checks.
#include "program_checks.hh"

#include <elf.h>
#include <sys/stat.h>

#include <cstring>

namespace launcher {
namespace {

constexpr bool host_is_little_endian = __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__;
constexpr unsigned char host_data = host_is_little_endian ? ELFDATA2LSB : ELFDATA2MSB;

template <typename T>
bool copy_from(std::span<const unsigned char> bytes, std::uint64_t offset, T &out)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof out) {
        return false;
    }
    std::memcpy(&out, bytes.data() + offset, sizeof out);
    return true;
}

template <typename Ehdr>
bool extent_of(std::span<const unsigned char> header, table_extent &extent)
{
    Ehdr ehdr;
    if (!copy_from(header, 0, ehdr)) {
        return false;
    }
    extent.offset = ehdr.e_phoff;
    extent.size = std::uint64_t{ehdr.e_phentsize} * ehdr.e_phnum;
    return true;
}

template <typename Ehdr, typename Phdr>
program_kind kind_from_headers(std::span<const unsigned char> header,
                               std::span<const unsigned char> program_headers)
{
    Ehdr ehdr;
    if (!copy_from(header, 0, ehdr) || ehdr.e_phentsize < sizeof(Phdr) ||
        program_headers.size() < std::uint64_t{ehdr.e_phentsize} * ehdr.e_phnum) {
        return program_kind::unknown;
    }
    for (std::uint64_t i = 0; i < ehdr.e_phnum; ++i) {
        Phdr phdr;
        copy_from(program_headers, i * ehdr.e_phentsize, phdr);
        if (phdr.p_type == PT_INTERP) {
            return program_kind::dynamic;
        }
    }
    return program_kind::static_elf;
}

// Far beyond any real section-header table or section-name table.
constexpr std::uint64_t section_table_limit = 1 << 20;

template <typename Ehdr, typename Shdr>
bool section_in(std::span<const unsigned char> header, const program_bytes &read, std::string_view name)
{
    Ehdr ehdr;
    std::uint64_t table_size = 0;
    if (!copy_from(header, 0, ehdr) || ehdr.e_shentsize < sizeof(Shdr) || ehdr.e_shstrndx >= ehdr.e_shnum ||
        (table_size = std::uint64_t{ehdr.e_shentsize} * ehdr.e_shnum) > section_table_limit) {
        return false;
    }
    auto table = read(ehdr.e_shoff, table_size);
    Shdr names_header;
    if (!copy_from(table, std::uint64_t{ehdr.e_shstrndx} * ehdr.e_shentsize, names_header) ||
        names_header.sh_size > section_table_limit) {
        return false;
    }
    auto names = read(names_header.sh_offset, names_header.sh_size);
    for (std::uint64_t i = 0; i < ehdr.e_shnum; ++i) {
        Shdr section;
        if (copy_from(table, i * ehdr.e_shentsize, section) && section.sh_name < names.size() &&
            names.size() - section.sh_name > name.size() &&
            std::memcmp(names.data() + section.sh_name, name.data(), name.size()) == 0 &&
            names[section.sh_name + name.size()] == '\0') {
            return true;
        }
    }
    return false;
}

}  // namespace

bool has_section_named(std::span<const unsigned char> header, const program_bytes &read,
                       std::string_view name)
{
    elf_identity identity;
    if (!read_elf_identity(header, identity) || identity.data != host_data) {
        return false;
    }
    return identity.elf_class == ELFCLASS64 ? section_in<Elf64_Ehdr, Elf64_Shdr>(header, read, name)
                                            : section_in<Elf32_Ehdr, Elf32_Shdr>(header, read, name);
}

bool read_elf_identity(std::span<const unsigned char> header, elf_identity &identity)
{
    if (header.size() < EI_NIDENT || std::memcmp(header.data(), ELFMAG, SELFMAG) != 0) {
        return false;
    }
    identity.elf_class = header[EI_CLASS];
    identity.data = header[EI_DATA];
    if (identity.elf_class != ELFCLASS32 && identity.elf_class != ELFCLASS64) {
        return false;
    }
    // e_machine sits at the same offset in both classes, after e_type.
    std::uint16_t machine;
    if (!copy_from(header, EI_NIDENT + sizeof(std::uint16_t), machine)) {
        return false;
    }
    identity.machine = identity.data == host_data ? machine : __builtin_bswap16(machine);
    return true;
}

bool program_header_extent(std::span<const unsigned char> header, table_extent &extent)
{
    elf_identity identity;
    if (!read_elf_identity(header, identity) || identity.data != host_data) {
        return false;
    }
    return identity.elf_class == ELFCLASS64 ? extent_of<Elf64_Ehdr>(header, extent)
                                            : extent_of<Elf32_Ehdr>(header, extent);
}

program_kind classify_program(std::span<const unsigned char> header,
                              std::span<const unsigned char> program_headers, const elf_identity &library)
{
    elf_identity identity;
    if (!read_elf_identity(header, identity)) {
        return program_kind::unknown;
    }
    if (!(identity == library)) {
        return program_kind::foreign;
    }
    if (identity.data != host_data) {
        return program_kind::unknown;
    }
    return identity.elf_class == ELFCLASS64
               ? kind_from_headers<Elf64_Ehdr, Elf64_Phdr>(header, program_headers)
               : kind_from_headers<Elf32_Ehdr, Elf32_Phdr>(header, program_headers);
}

secure_reason secure_execution_reason(const program_file_facts &file, uid_t real_uid, gid_t real_gid)
{
    if ((file.mode & S_ISUID) != 0 && file.owner != real_uid) {
        return secure_reason::set_user_id;
    }
    // Set-group-ID without group execute marks mandatory locking, not a
    // change of group on exec.
    if ((file.mode & (S_ISGID | S_IXGRP)) == (S_ISGID | S_IXGRP) && file.group != real_gid) {
        return secure_reason::set_group_id;
    }
    if (file.has_capabilities && real_uid != 0) {
        return secure_reason::capabilities;
    }
    return secure_reason::none;
}

}  // namespace launcher
