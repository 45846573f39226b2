// The files the tool reads and writes, each in one piece: the programs and
// icons it works on are small enough to hold in memory. Paths are UTF-8;
// each build reaches its file system in a file of its own.
#pragma once

#include <string>

// Nothing the tool reads comes near this; a larger file is no launcher and
// no icon.
constexpr unsigned long long largestReadFile = 256ull * 1024 * 1024;

// Fails with the system's reason, naming `path`.
std::string readWholeFile(const std::string& path);

// Whether both paths name one existing file, however they are spelt.
bool sameFile(const std::string& first, const std::string& second);

// Writes `bytes` as `path`: into a new file beside it, moved into place
// once whole, so that `path` is never half-written. The new file is removed
// on every failure and when the tool is interrupted (Ctrl-C, SIGTERM). A
// read-only file at `path` is refused, as the Windows move refuses it. Where
// files have permission bits, the new file takes those of `like`, as cp
// gives a copy its source's. Fails with the system's reason.
void replaceFile(const std::string& path, const std::string& bytes, const std::string& like);
