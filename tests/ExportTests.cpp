// The shared library as a host sees it: one export, loadable on its own, sharing one object.
#include "TarnInteraction/ITarnInteraction.h"

#include <gtest/gtest.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace
{
#if defined(_WIN32)
void* OpenLibrary(const char* pszPath)
{
    return reinterpret_cast<void*>(LoadLibraryA(pszPath));
}
void* FindSymbol(void* pvModule, const char* pszName)
{
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(pvModule), pszName));
}
void CloseLibrary(void* pvModule)
{
    FreeLibrary(static_cast<HMODULE>(pvModule));
}
std::string LibraryError()
{
    return "error " + std::to_string(GetLastError());
}

// The names in a DLL's export directory, read from the loaded image.
std::vector<std::string> ExportedSymbols(const std::string& Path)
{
    std::vector<std::string> Names;
    HMODULE hModule = LoadLibraryA(Path.c_str());
    if (hModule == nullptr)
        return Names;
    const unsigned char* pBase = reinterpret_cast<const unsigned char*>(hModule);
    const IMAGE_DOS_HEADER* pDos = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const IMAGE_NT_HEADERS* pNt = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& Dir = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (Dir.Size != 0)
    {
        const IMAGE_EXPORT_DIRECTORY* pExports =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(pBase + Dir.VirtualAddress);
        const DWORD* pNames = reinterpret_cast<const DWORD*>(pBase + pExports->AddressOfNames);
        for (DWORD i = 0; i < pExports->NumberOfNames; ++i)
            Names.emplace_back(reinterpret_cast<const char*>(pBase + pNames[i]));
        // A DLL may also export by ordinal alone; those count as exports too.
        for (DWORD i = pExports->NumberOfNames; i < pExports->NumberOfFunctions; ++i)
            Names.emplace_back("#ordinal");
    }
    FreeLibrary(hModule);
    return Names;
}
#else
void* OpenLibrary(const char* pszPath)
{
    return dlopen(pszPath, RTLD_NOW | RTLD_LOCAL);
}
void* FindSymbol(void* pvModule, const char* pszName)
{
    return dlsym(pvModule, pszName);
}
void CloseLibrary(void* pvModule)
{
    dlclose(pvModule);
}
std::string LibraryError()
{
    return dlerror();
}

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
#endif
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
    void* pvModule = OpenLibrary(TARN_LIBRARY_PATH);
    ASSERT_NE(nullptr, pvModule) << LibraryError();
    typedef ITarnInteraction* (*Factory)();
    Factory pfnCreate = reinterpret_cast<Factory>(FindSymbol(pvModule, "CreateTarnInteraction"));
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
    CloseLibrary(pvModule);
}
