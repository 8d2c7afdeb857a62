// Telling a statically linked program from one that asks for a dynamic
// linker, by its ELF header and program headers.
#include <elf.h>

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

#include "elf_interpreter.hh"

namespace {

// An ELF file's first bytes: its header, then program headers of types.
template <typename Header, typename Program>
std::vector<unsigned char> elf(unsigned char elf_class, unsigned char order, std::vector<std::uint32_t> types)
{
    Header header{};
    std::memcpy(header.e_ident, ELFMAG, SELFMAG);
    header.e_ident[EI_CLASS] = elf_class;
    header.e_ident[EI_DATA] = order;
    header.e_phoff = sizeof header;
    header.e_phentsize = sizeof(Program);
    header.e_phnum = static_cast<std::uint16_t>(types.size());
    std::vector<unsigned char> bytes(sizeof header + types.size() * sizeof(Program));
    std::memcpy(bytes.data(), &header, sizeof header);
    for (std::size_t i = 0; i < types.size(); ++i) {
        Program entry{};
        entry.p_type = types[i];
        std::memcpy(bytes.data() + sizeof header + i * sizeof entry, &entry, sizeof entry);
    }
    return bytes;
}

// -1 when the bytes are no ELF header of this host, else whether their
// program headers name an interpreter.
int interpreter(const std::vector<unsigned char> &bytes)
{
    elf_program_table table;
    if (!find_program_table(bytes, table)) {
        return -1;
    }
    return names_interpreter(std::span(bytes).subspan(table.offset, table.count * table.entry_size), table);
}

TEST(ElfInterpreter, TellsStaticFromDynamicPrograms)
{
    const unsigned char lsb = ELFDATA2LSB, msb = ELFDATA2MSB;
    const auto dynamic = elf<Elf64_Ehdr, Elf64_Phdr>(ELFCLASS64, lsb, {PT_PHDR, PT_INTERP, PT_LOAD});
    struct row {
        std::vector<unsigned char> bytes;
        int expected;
    } rows[] = {
        {dynamic, 1},
        {elf<Elf64_Ehdr, Elf64_Phdr>(ELFCLASS64, lsb, {PT_LOAD, PT_TLS, PT_GNU_STACK}), 0},
        {elf<Elf32_Ehdr, Elf32_Phdr>(ELFCLASS32, lsb, {PT_LOAD, PT_INTERP}), 1},
        {elf<Elf32_Ehdr, Elf32_Phdr>(ELFCLASS32, lsb, {PT_LOAD}), 0},
        {elf<Elf64_Ehdr, Elf64_Phdr>(ELFCLASS64, msb, {PT_INTERP}), -1},
        {elf<Elf64_Ehdr, Elf64_Phdr>(ELFCLASSNONE, lsb, {PT_INTERP}), -1},
        {std::vector<unsigned char>(dynamic.begin(), dynamic.begin() + 40), -1},  // a header cut short
        {{'#', '!', '/', 'b', 'i', 'n', '/', 's', 'h', '\n'}, -1},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(interpreter(r.bytes), r.expected);
    }
}

}  // namespace
