// Opening a file that must really be the file of that name in its folder.
//
// The launcher writes into folders that users may write to as well: its own
// log folder and the children's log_dir. A link planted there (a symbolic
// link, a junction on the way, a second name of a file elsewhere) must never
// turn a write of an administrator's run into a write to a file of the
// planter's choosing.
#pragma once

#include "owners.h"

#include <cstddef>

enum class FileOpening {
    Opened,   // the handle holds the file, checked
    Refused,  // something other than a plain file of that folder stands at the name
    Failed,   // the system refused the open; its code is in `error`
};

// The length of the folder part of `path`: everything before its last
// separator ("\" or "/"), the separator included where the folder is a drive
// or a root ("C:\" rather than "C:", which would mean C:'s current folder).
std::size_t folderLengthOf(const wchar_t* path);

// Opens `path` for `access` without emptying it, or creates it as a new file
// when nothing stands at its name (a new file never follows a dangling link).
// The first `folderLength` characters of `path` name the folder that is taken
// as it is, links included. What is opened below it must be no reparse point,
// must have this one name only, and its final path must be the folder's
// final path followed by the rest of `path`, letter case aside; a file is
// created only in a folder that passes the same test. Other handles may read
// and write the file too; this one is inheritable when asked. Should a folder
// be swapped for a link between that test and the creation, the new empty
// file is refused and left where it is: removing it by its name could strike
// yet another file. When `empty` is given, it tells of an opened file whether
// it held nothing when it was checked: one just made, or one of no bytes.
FileOpening openFileInFolder(FileHandle& file, const wchar_t* path, std::size_t folderLength,
                             DWORD access, bool inheritable, DWORD& error,
                             bool* empty = nullptr);

// What openFileInFolder would make of `path`, told without writing or
// creating anything (the deployer's check asks): Opened when the file there
// passes its checks or nothing stands at the name in a folder that does,
// Refused when it would be refused, Failed when the system refused a look.
FileOpening inspectFileInFolder(const wchar_t* path, std::size_t folderLength, DWORD& error);

// Whether `path` and `other` name one and the same existing file, whatever
// the spelling: letter case, "." and "..", short names, links and second
// names all lead to the same file. False when either cannot be opened.
bool isSameFile(const wchar_t* path, const wchar_t* other);
