// The icon groups of the Windows program named by PATU_EXE, read with the resource API: its
// first group, the one Explorer shows, holds the program's icon at every size it is drawn in.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

namespace {

#pragma pack(push, 2)
struct GroupEntry {  // GRPICONDIRENTRY
  BYTE width, height, colors, reserved;
  WORD planes, bits;
  DWORD bytes;
  WORD id;
};
#pragma pack(pop)

BOOL CALLBACK collect_name(HMODULE, LPCWSTR, LPWSTR name, LONG_PTR names) {
  reinterpret_cast<std::vector<LPWSTR>*>(names)->push_back(name);
  return FALSE;  // the first is all that counts
}

TEST(ExeIcon, TheFirstIconGroupHoldsEverySize) {
  const char* path = std::getenv("PATU_EXE");
  ASSERT_NE(path, nullptr) << "PATU_EXE names the program";
  std::string dos = path;
  if (!dos.empty() && dos[0] == '/') dos = "Z:" + dos;  // Wine's drive for the Unix root
  HMODULE exe = LoadLibraryExA(dos.c_str(), nullptr,
                               LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr) << dos;
  std::vector<LPWSTR> groups;
  EnumResourceNamesW(exe, RT_GROUP_ICON, collect_name, reinterpret_cast<LONG_PTR>(&groups));
  ASSERT_EQ(groups.size(), 1u) << "no icon group";
  EXPECT_TRUE(IS_INTRESOURCE(groups[0]) && reinterpret_cast<ULONG_PTR>(groups[0]) == 1);

  HRSRC found = FindResourceW(exe, groups[0], RT_GROUP_ICON);
  ASSERT_NE(found, nullptr);
  const auto* dir = static_cast<const WORD*>(LockResource(LoadResource(exe, found)));
  ASSERT_NE(dir, nullptr);
  EXPECT_EQ(dir[1], 1) << "an icon group, not a cursor group";
  const auto* entries = reinterpret_cast<const GroupEntry*>(dir + 3);
  std::vector<int> sizes;
  for (int i = 0; i < dir[2]; ++i) {
    const GroupEntry& e = entries[i];
    EXPECT_EQ(e.width, e.height);
    EXPECT_EQ(e.bits, 32);
    sizes.push_back(e.width == 0 ? 256 : e.width);
    // Each entry's image is there, and Windows makes an icon of it.
    HRSRC image = FindResourceW(exe, MAKEINTRESOURCEW(e.id), RT_ICON);
    ASSERT_NE(image, nullptr) << "entry " << i;
    EXPECT_EQ(SizeofResource(exe, image), e.bytes);
    auto* bytes = static_cast<BYTE*>(LockResource(LoadResource(exe, image)));
    HICON icon =
        CreateIconFromResourceEx(bytes, e.bytes, TRUE, 0x00030000, sizes.back(), sizes.back(), 0);
    EXPECT_NE(icon, nullptr) << sizes.back() << " px";
    if (icon) DestroyIcon(icon);
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 256}));
  FreeLibrary(exe);
}

}  // namespace
