// Coverage-guided fuzzing of brand's round trip: a program file that reads
// gets its version record rewritten as brand does, is laid out again, and
// must read back as exactly the model that was laid out, in a sound file.
#include "failure.h"
#include "littleEndian.h"
#include "peImage.h"
#include "resourceTree.h"
#include "versionRecord.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <tuple>

namespace {

// The same resources, whatever their order.
bool sameResources(std::vector<Resource> a, std::vector<Resource> b) {
    auto key = [](const Resource& r) {
        return std::tie(r.type.text, r.type.id, r.name.text, r.name.id, r.language, r.codePage, r.bytes);
    };
    auto before = [&](const Resource& x, const Resource& y) { return key(x) < key(y); };
    std::sort(a.begin(), a.end(), before);
    std::sort(b.begin(), b.end(), before);
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](const Resource& x, const Resource& y) { return key(x) == key(y); });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<Resource> resources;
    std::string written;
    std::uint32_t address = 0;
    try {
        PeImage image = readPeImage(bytes, "fuzz.exe");
        ResourceSection section = resourceSection(image, "fuzz.exe");
        resources = readResourceTree(section.bytes, section.address, "fuzz.exe");
        for (Resource& resource : resources) {
            if (resource.type.is(versionType)) {
                VersionBlock root = readVersionRecord(resource.bytes, "the version record");
                setVersion(root, {1, 4, 0, 2});
                setString(root, u"ProductName", u"Acm\u00e9");
                setString(root, u"InternalName", u"Acme.exe");
                resource.bytes = writeVersionRecord(root);
            }
        }
        address = section.address;
        written = withResourceSection(image, layOutResourceTree(resources, address), "fuzz.exe");
    } catch (const Failure&) {
        return 0;
    }
    // What was written must read without a single failure, as laid out.
    try {
        PeImage image = readPeImage(written, "written.exe");
        ResourceSection section = resourceSection(image, "written.exe");
        std::vector<Resource> again = readResourceTree(section.bytes, section.address, "written.exe");
        if (section.address != address || !sameResources(again, resources) ||
            peChecksum(written, checksumOffset(image)) != u32At(written, checksumOffset(image))) {
            __builtin_trap();
        }
    } catch (const Failure&) {
        __builtin_trap();
    }
    return 0;
}
