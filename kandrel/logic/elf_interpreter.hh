// Whether an executable file asks for a dynamic linker: a statically linked
// program (no PT_INTERP program header) never loads a preloaded library.
// Read from the file's own bytes, without memory of its own, so that the
// library can ask just before a program execs another.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

// Where an ELF file of this host's byte order keeps its program headers.
struct elf_program_table {
    std::uint64_t offset = 0;  // of the first header in the file
    std::size_t count = 0;
    std::size_t entry_size = 0;
};

// The program table named by start, the file's first bytes (at least the
// ELF header's size); false when start is not such an ELF header.
bool find_program_table(std::span<const unsigned char> start, elf_program_table &table);

// Whether entries, whole program headers of table read from the file, hold
// a PT_INTERP header.
bool names_interpreter(std::span<const unsigned char> entries, const elf_program_table &table);
