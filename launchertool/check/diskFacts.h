// What the disk says about a path, found out by reading only: the check
// opens nothing for writing and changes no file it looks at.
#pragma once

#include <cstdint>
#include <string>

bool exists(const std::wstring& path);
bool isFolder(const std::wstring& path);

// The whole file, or nothing when it cannot be read.
std::string fileContent(const std::wstring& path);

// What the system would make of a file given to CreateProcess on this
// machine: `otherMachine` for a program built for a processor it cannot run
// (a 64-bit program on 32-bit Windows), `mismatched` for one whose optional
// header is not of the kind its machine type needs (a 64-bit header on an
// x86 program), which no Windows starts. `machine`, when given, gets the
// header's machine type of a program.
enum class Program { missing, notWindows, window, console, otherMachine, mismatched };
Program programAt(const std::wstring& path, std::uint16_t* machine = nullptr);

// The processor this system runs natively, as a header's machine type.
std::uint16_t nativeMachine();
// "x64 (64-bit)" for IMAGE_FILE_MACHINE_AMD64, and so on.
std::string machineName(std::uint16_t machine);

// A ZIP archive, as every jar is.
bool isZip(const std::wstring& path);

// A whole .ico file (its directory and images), which deployers name as the
// splash image where one image of it is wanted.
bool isIconFile(const std::wstring& path);

bool isSeparator(wchar_t c);
// "C:\..." and "\\server\..." name the same file from any current folder;
// everything else ("jre\bin", "\jre", "C:jre") depends on it. The system
// takes "/" for "\" as well.
bool isAbsolute(const std::wstring& path);
// The path made absolute from the current folder, ".." and "." resolved; the
// path as it is when the system cannot do that.
std::wstring fullPath(const std::wstring& path);
