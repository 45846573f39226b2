// Coverage-guided fuzzing of the icon file reader: every image checked by
// its own header, each distinct one kept once, and the group directory that
// names them. Every failure must be a Failure.
#include "failure.h"
#include "icons.h"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    try {
        IconFile icon = readIconFile(bytes, "fuzz.ico");
        std::vector<std::uint16_t> ids;
        for (std::size_t i = 0; i < icon.images.size(); ++i) {
            ids.push_back(static_cast<std::uint16_t>(i + 1));
        }
        // What brand stores must read back as the same image.
        groupMembers(groupDirectory(icon, ids), "the group");
        for (const IconImage& image : icon.images) {
            IconImage again = readIconImage(image.bytes, "the stored image");
            if (again.bytes != image.bytes || again.width != image.width || again.height != image.height) {
                __builtin_trap();
            }
        }
    } catch (const Failure&) {
    }
    return 0;
}
