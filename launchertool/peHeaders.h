// The two fields of a program file's headers that a branded copy must set
// right itself: the certificate table (a signature that no longer matches
// once the file changes) and the checksum.
#pragma once

#include <windows.h>

#include <string>

// Where the certificate table lies in the file; size 0 when there is none.
struct CertificateTable {
    DWORD offset = 0;
    DWORD size = 0;
};

// Fails with `which` when the file has no program headers.
CertificateTable certificateTable(const std::string& image, const std::wstring& which);
// Cuts the table off the end of the file and clears its directory entry.
void removeCertificateTable(std::string& image, const std::wstring& which);
// Writes the checksum that the system computes for the file.
void updateChecksum(std::string& image, const std::wstring& which);
