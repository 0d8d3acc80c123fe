// The resources of the built Pelvoran.exe, read back from the file.
#include "tests/win/win_process.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using pelvoran::test::hostPath;

class Resources : public ::testing::Test {
protected:
    void SetUp() override {
        exe = hostPath(PELVORAN_EXE);
        module = LoadLibraryExW(exe.c_str(), nullptr,
                                LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE(module, nullptr) << "cannot open " << PELVORAN_EXE;
    }
    void TearDown() override {
        if (module != nullptr)
            FreeLibrary(module);
    }

    std::string data(WORD type, WORD id, WORD language) const {
        HRSRC r = FindResourceExW(module, MAKEINTRESOURCEW(type), MAKEINTRESOURCEW(id), language);
        if (r == nullptr)
            return {};
        HGLOBAL g = LoadResource(module, r);
        const auto* bytes = static_cast<const char*>(LockResource(g));
        return std::string(bytes, SizeofResource(module, r));
    }

    std::wstring exe;
    HMODULE module = nullptr;
};

/// type -> id -> languages, as the file lists them.
using Listing = std::map<WORD, std::map<WORD, std::vector<WORD>>>;

BOOL CALLBACK addLanguage(HMODULE, LPCWSTR type, LPCWSTR name, WORD language, LONG_PTR p) {
    auto& listing = *reinterpret_cast<Listing*>(p);
    listing[static_cast<WORD>(reinterpret_cast<ULONG_PTR>(type))]
           [static_cast<WORD>(reinterpret_cast<ULONG_PTR>(name))]
               .push_back(language);
    return TRUE;
}

BOOL CALLBACK addName(HMODULE m, LPCWSTR type, LPWSTR name, LONG_PTR p) {
    EnumResourceLanguagesW(m, type, name, &addLanguage, p);
    return TRUE;
}

BOOL CALLBACK addType(HMODULE m, LPWSTR type, LONG_PTR p) {
    EnumResourceNamesW(m, type, &addName, p);
    return TRUE;
}

Listing listResources(HMODULE module) {
    Listing listing;
    EnumResourceTypesW(module, &addType, reinterpret_cast<LONG_PTR>(&listing));
    return listing;
}

template <class T> T read(const std::string& bytes, std::size_t offset) {
    T value{};
    std::memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::size_t findWide(const std::string& bytes, const wchar_t* text) {
    const std::string needle(reinterpret_cast<const char*>(text), std::wcslen(text) * 2);
    return bytes.find(needle);
}

} // namespace

TEST_F(Resources, ExactlyTheBitmapIconGroupVersionAndManifest) {
    const Listing expected = {
        {2, {{100, {1033}}}}, // bitmap 100, English (United States)
        {3, {{30001, {0}}}},  // icon image 30001, neutral
        {14, {{1, {0}}}},     // icon group 1, neutral
        {16, {{1, {2052}}}},  // version block, Chinese (PRC)
        {24, {{1, {0}}}},     // manifest: DPI awareness, common controls
    };
    EXPECT_EQ(listResources(module), expected);
}

TEST_F(Resources, BitmapIsThePhotograph) {
    const std::string b = data(2, 100, 1033);
    ASSERT_EQ(b.size(), 40u + 804u * 220u); // header and bottom-up rows, no file header
    EXPECT_EQ(read<std::int32_t>(b, 4), 401);
    EXPECT_EQ(read<std::int32_t>(b, 8), 220); // positive: bottom-up
    EXPECT_EQ(read<std::uint16_t>(b, 14), 16);
    EXPECT_EQ(read<std::uint32_t>(b, 16), 0u); // BI_RGB, 5 bits each for red, green, blue
    EXPECT_EQ(read<std::int32_t>(b, 24), 2834);
    EXPECT_EQ(read<std::int32_t>(b, 28), 2834);
}

TEST_F(Resources, IconImageAndItsGroup) {
    const std::string icon = data(3, 30001, 0);
    ASSERT_EQ(icon.size(), 744u);
    EXPECT_EQ(read<std::int32_t>(icon, 4), 32);
    EXPECT_EQ(read<std::int32_t>(icon, 8), 64); // image and mask
    EXPECT_EQ(read<std::uint16_t>(icon, 14), 4);

    const std::string group = data(14, 1, 0);
    ASSERT_EQ(group.size(), 20u);
    EXPECT_EQ(read<std::uint16_t>(group, 0), 0);
    EXPECT_EQ(read<std::uint16_t>(group, 2), 1); // icons
    EXPECT_EQ(read<std::uint16_t>(group, 4), 1); // one entry
    EXPECT_EQ(static_cast<unsigned char>(group[6]), 32);
    EXPECT_EQ(static_cast<unsigned char>(group[7]), 32);
    EXPECT_EQ(static_cast<unsigned char>(group[8]), 16);
    EXPECT_EQ(read<std::uint16_t>(group, 10), 1); // planes
    EXPECT_EQ(read<std::uint16_t>(group, 12), 4); // bits per pixel
    EXPECT_EQ(read<std::uint32_t>(group, 14), 744u);
    EXPECT_EQ(read<std::uint16_t>(group, 18), 30001);
}

TEST_F(Resources, VersionBlock) {
    const std::string v = data(16, 1, 2052);
    ASSERT_FALSE(v.empty());
    // Fixed part after "VS_VERSION_INFO" and its padding.
    const std::size_t fixed = findWide(v, L"VS_VERSION_INFO") + 32 + 2;
    ASSERT_EQ(read<std::uint32_t>(v, fixed), 0xFEEF04BDu);
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 8), 0x00010000u);  // file version 1.0
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 12), 0u);          // .0.0
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 16), 0x00010000u); // product version 1.0
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 20), 0u);
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 24), 0u); // flags mask
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 28), 0u); // flags
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 32), 4u); // 32-bit Windows
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 36), 1u); // application
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 40), 0u); // subtype
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 44), 0u); // date
    EXPECT_EQ(read<std::uint32_t>(v, fixed + 48), 0u);

    // The translation comes ahead of the string table, and the strings in order.
    const std::size_t translation = findWide(v, L"Translation");
    const std::size_t table = findWide(v, L"080404B0");
    ASSERT_NE(translation, std::string::npos);
    ASSERT_NE(table, std::string::npos);
    EXPECT_LT(translation, table);
    EXPECT_EQ(read<std::uint16_t>(v, translation + 24 + 2), 0x0804);
    EXPECT_EQ(read<std::uint16_t>(v, translation + 24 + 4), 0x04B0);
    std::size_t last = table;
    for (const wchar_t* key : {L"CompanyName", L"ProductName", L"FileVersion", L"ProductVersion",
                               L"InternalName", L"OriginalFilename"}) {
        const std::size_t at = findWide(v, key);
        ASSERT_NE(at, std::string::npos) << key;
        EXPECT_GT(at, last) << key;
        last = at;
    }
    for (const wchar_t* path : {L"\\StringFileInfo\\080404B0\\FileVersion",
                                L"\\StringFileInfo\\080404B0\\ProductVersion"}) {
        DWORD handle = 0;
        const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
        std::vector<char> block(size);
        ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, block.data()));
        wchar_t* value = nullptr;
        UINT length = 0;
        ASSERT_TRUE(VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&value), &length));
        EXPECT_EQ(std::wstring(value), L"1.00") << path;
    }
}

TEST_F(Resources, GraphicalSubsystemAndArchitecture) {
    // The headers as they are in the file.
    HANDLE file =
        CreateFileW(exe.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string head(4096, '\0');
    DWORD got = 0;
    ReadFile(file, head.data(), 4096, &got, nullptr);
    CloseHandle(file);
    const auto pe = read<std::uint32_t>(head, 0x3C);
    ASSERT_EQ(head.substr(pe, 4), std::string("PE\0\0", 4));
    const auto machine = read<std::uint16_t>(head, pe + 4);
    EXPECT_EQ(machine, sizeof(void*) == 4 ? IMAGE_FILE_MACHINE_I386 : IMAGE_FILE_MACHINE_AMD64);
    const std::size_t optional = pe + 24;
    EXPECT_EQ(read<std::uint16_t>(head, optional + 68), IMAGE_SUBSYSTEM_WINDOWS_GUI);
}
