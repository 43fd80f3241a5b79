// Guards the Windows module as a Windows loader sees it: a Lodrin.clap that is not a 64-bit DLL, that
// exports more or other than clap_entry, or whose entry and factory misbehave once loaded with
// LoadLibrary would be refused or crash a Windows host before any stage exists.
#include "child_process.h"
#include "clap/entry.h"
#include "clap/factory.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// The module's path from the test's environment.
std::string module_path() {
    const char* p = getenv("LODRIN_TEST_MODULE");
    return p != nullptr ? windows_path(p) : std::string();
}

struct loaded_module {
    HMODULE handle = nullptr;
    explicit loaded_module(const std::string& path) { handle = LoadLibraryA(path.c_str()); }
    ~loaded_module() {
        if (handle != nullptr) FreeLibrary(handle);
    }
};

// Export names of a module mapped by the loader, read from its PE export directory.
std::vector<std::string> export_names(HMODULE module) {
    std::vector<std::string> names;
    const auto* base = reinterpret_cast<const unsigned char*>(module);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0 || dir.Size == 0) return names;
    const auto* exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto* rvas = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.emplace_back(reinterpret_cast<const char*>(base + rvas[i]));
    return names;
}

TEST(WindowsModule, IsA64BitDllExportingOnlyClapEntry) {
    const std::string path = module_path();
    ASSERT_FALSE(path.empty()) << "LODRIN_TEST_MODULE is not set";
    loaded_module m(path);
    ASSERT_NE(m.handle, nullptr) << path << ": error " << GetLastError();

    const auto* base = reinterpret_cast<const unsigned char*>(m.handle);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    ASSERT_EQ(nt->Signature, static_cast<DWORD>(IMAGE_NT_SIGNATURE));
    EXPECT_EQ(nt->FileHeader.Machine, IMAGE_FILE_MACHINE_AMD64);
    EXPECT_NE(nt->FileHeader.Characteristics & IMAGE_FILE_DLL, 0);
    EXPECT_EQ(export_names(m.handle), std::vector<std::string>{"clap_entry"});
}

TEST(WindowsModule, EntryAndFactoryAnswerAfterLoadLibrary) {
    const std::string path = module_path();
    ASSERT_FALSE(path.empty()) << "LODRIN_TEST_MODULE is not set";
    loaded_module m(path);
    ASSERT_NE(m.handle, nullptr) << path << ": error " << GetLastError();

    const auto* entry = reinterpret_cast<const clap_plugin_entry*>(GetProcAddress(m.handle, "clap_entry"));
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->clap_version.major, 1u);
    EXPECT_EQ(entry->clap_version.minor, 2u);
    EXPECT_EQ(entry->clap_version.revision, 10u);
    ASSERT_NE(entry->init, nullptr);
    ASSERT_NE(entry->get_factory, nullptr);
    ASSERT_NE(entry->deinit, nullptr);

    ASSERT_TRUE(entry->init(path.c_str()));
    EXPECT_EQ(entry->get_factory("clap.no-such-factory"), nullptr);
    const auto* factory = static_cast<const clap_plugin_factory*>(entry->get_factory(CLAP_PLUGIN_FACTORY_ID));
    ASSERT_NE(factory, nullptr);
    ASSERT_EQ(factory->get_plugin_count(factory), 1u);
    const clap_plugin_descriptor* desc = factory->get_plugin_descriptor(factory, 0);
    ASSERT_NE(desc, nullptr);
    EXPECT_STREQ(desc->id, "com.tovarin.lodrin");
    EXPECT_STREQ(desc->name, "Lodrin");
    EXPECT_EQ(factory->get_plugin_descriptor(factory, 1), nullptr);
    entry->deinit();
}

} // namespace
