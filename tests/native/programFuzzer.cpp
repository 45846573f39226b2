// Coverage-guided fuzzing of the program file reader as info uses it: the
// headers, the resource tree, every icon group with its images, the version
// record and its texts. Every failure must be a Failure; anything else, a
// crash, a sanitizer report or a leak, is a finding.
#include "failure.h"
#include "icons.h"
#include "peImage.h"
#include "resourceTree.h"
#include "versionRecord.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        PeImage image = readPeImage(bytes, "fuzz.exe");
        isSigned(image);
        ResourceSection section = resourceSection(image, "fuzz.exe");
        std::vector<Resource> resources = readResourceTree(section.bytes, section.address, "fuzz.exe");
        iconGroups(resources, "fuzz.exe");
        for (const Resource& resource : resources) {
            if (resource.type.is(versionType)) {
                VersionBlock root = readVersionRecord(resource.bytes, "the version record");
                fileVersion(root);
                productVersion(root);
                versionStrings(root);
            }
        }
    } catch (const Failure&) {
    }
    return 0;
}
