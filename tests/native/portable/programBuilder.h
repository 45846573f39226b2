// Small program files and icon files made in a test, laid out by hand so
// that each case can put one thing where it wants: the sections after the
// resources, a symbol table, debug data, an overlay, a certificate table.
#pragma once

#include "resourceTree.h"

#include <cstdint>
#include <string>
#include <vector>

struct ProgramParts {
    bool wide = false;  // PE32+ for x64, else PE32 for x86
    bool dll = false;
    std::vector<Resource> resources;
    // Data sections after the resources; the first holds the relocations.
    std::vector<std::string> afterResources = {".reloc"};
    // After the last section, in this order; the symbol table (its strings
    // after it) and the debug data are named by the headers' file offsets.
    std::string symbols;
    std::uint32_t symbolCount = 0;
    std::string debugData;
    std::string overlay;
    std::string certificate;  // named by the certificate directory
    std::string afterCertificate;
};

std::string buildProgram(const ProgramParts& parts);

// Where the headers of a built (or rewritten) program say things are.
std::uint32_t symbolTableOffset(const std::string& program);
std::uint32_t debugDataOffset(const std::string& program);  // of its one debug entry

// A version record whose one string table, in US English, holds ProductName.
std::string versionRecordNaming(const std::u16string& product, std::uint16_t major);

// A bitmap image as icons hold it: header, pixels (alpha 0 in the first
// row of a 32-bit one, opaque elsewhere) and, when `mask`, the AND mask.
std::string dibImage(int width, int height, int bitCount, bool mask);
// A PNG file that reads as whole: IHDR (8-bit RGBA), one IDAT, IEND.
std::string pngImage(std::uint32_t width, std::uint32_t height);

struct IcoEntry {
    int width = 0;  // as the directory says, 256 written as 0
    int height = 0;
    std::uint16_t planes = 1;
    std::uint16_t bitCount = 32;
    std::string image;
};
std::string icoFile(const std::vector<IcoEntry>& entries);
