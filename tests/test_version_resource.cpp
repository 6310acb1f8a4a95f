// The Windows program's version resource, as Explorer, deployment tools and
// the installer read it: every version field is the package version.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

// vortal9-setup.exe in the folder of this test.
std::wstring programPath()
{
    std::wstring path(MAX_PATH, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), MAX_PATH));
    return path.substr(0, path.find_last_of(L"\\/") + 1) + L"vortal9-setup.exe";
}

std::string narrow(const wchar_t *text)
{
    std::string out;
    for (; *text; ++text)
        out += static_cast<char>(*text);
    return out;
}

} // namespace

TEST(VersionResource, EveryVersionFieldIsThePackageVersion)
{
    const std::wstring exe = programPath();
    DWORD unused = 0;
    const DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &unused);
    ASSERT_GT(size, 0u) << "no version resource in " << narrow(exe.c_str());
    std::vector<char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));

    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    const auto dotted = [](DWORD ms, DWORD ls) {
        return std::to_string(HIWORD(ms)) + '.' + std::to_string(LOWORD(ms)) + '.' + std::to_string(HIWORD(ls))
            + '.' + std::to_string(LOWORD(ls));
    };
    EXPECT_EQ(dotted(fixed->dwFileVersionMS, fixed->dwFileVersionLS), VORTAL9_VERSION ".0");
    EXPECT_EQ(dotted(fixed->dwProductVersionMS, fixed->dwProductVersionLS), VORTAL9_VERSION ".0");

    for (const wchar_t *field : {L"\\StringFileInfo\\040904b0\\FileVersion",
                                 L"\\StringFileInfo\\040904b0\\ProductVersion"}) {
        wchar_t *text = nullptr;
        ASSERT_TRUE(VerQueryValueW(info.data(), field, reinterpret_cast<void **>(&text), &length)) << narrow(field);
        EXPECT_EQ(narrow(text), VORTAL9_VERSION) << narrow(field);
    }
}
