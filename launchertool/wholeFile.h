// A file read or written in one piece: the programs and icons the tool works
// on are small enough to hold in memory.
#pragma once

#include <string>

// Fails with the system's reason, naming `path`.
std::string readWholeFile(const std::wstring& path);
// Replaces the content of an existing or new file.
void writeWholeFile(const std::wstring& path, const std::string& bytes);

// The full path of `path` and, in `name`, its last part. A program file is
// loaded by its full path only: a bare name would be searched for like a DLL.
std::wstring fullPath(const std::wstring& path, std::wstring* name = nullptr);
