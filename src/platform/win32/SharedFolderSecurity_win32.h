// The access list of the folders every user of the machine shares (the
// numerator folder, the log and settings folder), written once, as SDDL:
//
//   SYSTEM, Administrators    full control of the folder and all in it;
//   Users (the till's group)  the folder: list it and create files in it
//                             (no sub-folders, so no junction can be made in
//                             it, and no deleting); its files: read and write
//                             their data (no delete, no access list or owner);
//   CREATOR OWNER             a file's creator may also delete or rename it
//                             (a settings file is replaced in one step);
//   OWNER RIGHTS              whoever owns the folder or a file gets no more
//                             than the above (no implicit change of the list).
//
// Protected: nothing is inherited from the parent folder. Users stands for
// every local account until an administrator puts a narrower group of the
// till's accounts in its place (INSTALL.md says how). The settings file
// carries its own, stricter list (IniFile.h). Thread-safe.
#pragma once

#include <optional>
#include <string>

namespace velko {

inline constexpr wchar_t kSharedFolderSddl[] =
    L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200ab;;;BU)(A;;0x1200ab;;;OW)"
    L"(A;OIIO;0x12019f;;;BU)(A;OIIO;0x13019f;;;CO)(A;OIIO;0x12019f;;;OW)";

// The access list (DACL) of a file or folder as SDDL, or nullopt when it
// cannot be read.
std::optional<std::wstring> AccessListSddl(const std::wstring& path);

// kSharedFolderSddl read into a descriptor and written back as SDDL, the
// form in which the system reads it back from a folder.
std::optional<std::wstring> SharedFolderSddlRoundTrip();

}  // namespace velko
