// The shared library as a host sees it: one export, loadable on its own, sharing one object.
#include "TarnInteraction/ITarnInteraction.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace
{
// The names of the defined, exported symbols of an ELF shared object, read from its dynamic
// symbol table.
std::vector<std::string> ExportedSymbols(const std::string& Path)
{
    std::ifstream File(Path, std::ios::binary);
    std::vector<char> Image((std::istreambuf_iterator<char>(File)), std::istreambuf_iterator<char>());
    std::vector<std::string> Names;
    if (Image.size() < sizeof(ElfW(Ehdr)))
        return Names;
    const ElfW(Ehdr)* pHeader = reinterpret_cast<const ElfW(Ehdr)*>(Image.data());
    const ElfW(Shdr)* pSections = reinterpret_cast<const ElfW(Shdr)*>(Image.data() + pHeader->e_shoff);
    for (int i = 0; i < pHeader->e_shnum; ++i)
    {
        if (pSections[i].sh_type != SHT_DYNSYM)
            continue;
        const ElfW(Shdr)& Strings = pSections[pSections[i].sh_link];
        const ElfW(Sym)* pSyms = reinterpret_cast<const ElfW(Sym)*>(Image.data() + pSections[i].sh_offset);
        const size_t uCount = pSections[i].sh_size / sizeof(ElfW(Sym));
        for (size_t s = 0; s < uCount; ++s)
        {
            const unsigned char uBind = ELF64_ST_BIND(pSyms[s].st_info);
            const unsigned char uVis = ELF64_ST_VISIBILITY(pSyms[s].st_other);
            if (pSyms[s].st_shndx == SHN_UNDEF || (uBind != STB_GLOBAL && uBind != STB_WEAK) ||
                uVis != STV_DEFAULT)
                continue;
            Names.emplace_back(Image.data() + Strings.sh_offset + pSyms[s].st_name);
        }
    }
    return Names;
}
} // namespace

TEST(ExportTest, LibraryExportsOnlyTheFactory)
{
    const std::vector<std::string> Names = ExportedSymbols(TARN_LIBRARY_PATH);
    // Markers the linker defines in every shared object are not ours.
    const std::vector<std::string> LinkerMarkers = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    std::vector<std::string> Functions;
    for (const std::string& Name : Names)
        if (std::find(LinkerMarkers.begin(), LinkerMarkers.end(), Name) == LinkerMarkers.end())
            Functions.push_back(Name);
    EXPECT_EQ(std::vector<std::string>{"CreateTarnInteraction"}, Functions);
}

TEST(ExportTest, FactoryIsFoundUnmangledAndSharesOneObject)
{
    void* pvModule = dlopen(TARN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pvModule) << dlerror();
    typedef ITarnInteraction* (*Factory)();
    Factory pfnCreate = reinterpret_cast<Factory>(dlsym(pvModule, "CreateTarnInteraction"));
    ASSERT_NE(nullptr, pfnCreate);

    ITarnInteraction* pFirst = pfnCreate();
    ASSERT_NE(nullptr, pFirst);
    ITarnInteraction* pSecond = pfnCreate();
    EXPECT_EQ(pFirst, pSecond);
    EXPECT_EQ(1, pSecond->Release());
    EXPECT_EQ(0, pFirst->Release());

    // The linked-in copy is the same module, so it sees the same (now empty) global.
    ITarnInteraction* pThird = CreateTarnInteraction();
    ASSERT_NE(nullptr, pThird);
    EXPECT_EQ(0, pThird->Release());
    dlclose(pvModule);
}
