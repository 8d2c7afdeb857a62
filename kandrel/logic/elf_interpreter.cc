// Reading an ELF header and its program headers, 32- and 64-bit alike.
#include "elf_interpreter.hh"

#include <elf.h>

#include <cstring>

namespace {

template <typename Header>
bool read_table(std::span<const unsigned char> start, elf_program_table &table)
{
    if (start.size() < sizeof(Header)) {
        return false;
    }
    Header header;
    std::memcpy(&header, start.data(), sizeof header);
    // Each header starts with its type, a 32-bit word in both classes.
    if (header.e_phentsize < sizeof(std::uint32_t)) {
        return false;
    }
    table.offset = header.e_phoff;
    table.count = header.e_phnum;
    table.entry_size = header.e_phentsize;
    return true;
}

}  // namespace

bool find_program_table(std::span<const unsigned char> start, elf_program_table &table)
{
    if (start.size() < EI_NIDENT || std::memcmp(start.data(), ELFMAG, SELFMAG) != 0) {
        return false;
    }
    constexpr unsigned char host_order =
        __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__ ? ELFDATA2LSB : ELFDATA2MSB;
    if (start[EI_DATA] != host_order) {
        return false;
    }
    if (start[EI_CLASS] == ELFCLASS64) {
        return read_table<Elf64_Ehdr>(start, table);
    }
    return start[EI_CLASS] == ELFCLASS32 && read_table<Elf32_Ehdr>(start, table);
}

bool names_interpreter(std::span<const unsigned char> entries, const elf_program_table &table)
{
    for (std::size_t at = 0; table.entry_size != 0 && at + table.entry_size <= entries.size();
         at += table.entry_size) {
        std::uint32_t type;
        std::memcpy(&type, entries.data() + at, sizeof type);
        if (type == PT_INTERP) {
            return true;
        }
    }
    return false;
}
