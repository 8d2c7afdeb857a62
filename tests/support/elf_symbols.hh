// What the dynamic linker sees in a shared object or program, read with
// readelf: the libraries it needs and its dynamic symbols.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

struct ElfSymbol {
    std::string name;     // without its version
    std::string version;  // after '@' or "@@"; empty when unversioned
    std::string binding;  // GLOBAL, WEAK, ...
    bool defined = false;  // false: the object only uses it (UND)
};

// The NEEDED entries of the dynamic section, in order.
std::vector<std::string> elf_needed(const std::string &path);
// Every dynamic symbol but the local ones.
std::vector<ElfSymbol> elf_dynamic_symbols(const std::string &path);

}  // namespace testsupport
