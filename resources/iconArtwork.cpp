// Draws the program's icon: a blue rounded square with a white "start"
// triangle, at the seven sizes the program carries, each a 32-bit image with
// an AND mask (no PNG images).
//
// A host program, built and run during the build:
//   iconArtwork OUTPUT-FOLDER
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

const int SIZES[] = {16, 24, 32, 48, 64, 96, 128};

// Coverage is sampled on a grid inside each pixel, so small sizes keep
// smooth edges.
constexpr int SAMPLES = 8;

struct Point {
    double x;
    double y;
};

// The picture in a unit square, y pointing down.
constexpr double SQUARE_LOW = 0.0625;
constexpr double SQUARE_HIGH = 0.9375;
constexpr double CORNER_RADIUS = 0.19;
const Point TRIANGLE[3] = {{0.37, 0.25}, {0.37, 0.75}, {0.79, 0.5}};

bool insideRoundedSquare(Point p) {
    if (p.x < SQUARE_LOW || p.x > SQUARE_HIGH || p.y < SQUARE_LOW || p.y > SQUARE_HIGH) {
        return false;
    }
    double cx = std::clamp(p.x, SQUARE_LOW + CORNER_RADIUS, SQUARE_HIGH - CORNER_RADIUS);
    double cy = std::clamp(p.y, SQUARE_LOW + CORNER_RADIUS, SQUARE_HIGH - CORNER_RADIUS);
    double dx = p.x - cx;
    double dy = p.y - cy;
    return dx * dx + dy * dy <= CORNER_RADIUS * CORNER_RADIUS;
}

double side(Point a, Point b, Point p) {
    return (b.x - a.x) * (p.y - a.y) - (b.y - a.y) * (p.x - a.x);
}

bool insideTriangle(Point p) {
    double d0 = side(TRIANGLE[0], TRIANGLE[1], p);
    double d1 = side(TRIANGLE[1], TRIANGLE[2], p);
    double d2 = side(TRIANGLE[2], TRIANGLE[0], p);
    return (d0 >= 0 && d1 >= 0 && d2 >= 0) || (d0 <= 0 && d1 <= 0 && d2 <= 0);
}

struct Pixel {
    std::uint8_t blue;
    std::uint8_t green;
    std::uint8_t red;
    std::uint8_t alpha;
};

std::uint8_t channel(double value) {
    return static_cast<std::uint8_t>(std::lround(std::clamp(value, 0.0, 255.0)));
}

// Straight (not premultiplied) alpha, as icon images keep it.
Pixel shade(int size, int x, int y) {
    int square = 0;
    int triangle = 0;
    for (int sy = 0; sy < SAMPLES; ++sy) {
        for (int sx = 0; sx < SAMPLES; ++sx) {
            Point p{(x + (sx + 0.5) / SAMPLES) / size, (y + (sy + 0.5) / SAMPLES) / size};
            if (insideRoundedSquare(p)) {
                ++square;
                if (insideTriangle(p)) {
                    ++triangle;
                }
            }
        }
    }
    if (square == 0) {
        return {0, 0, 0, 0};
    }
    // A vertical gradient from a lighter to a deeper blue.
    double depth = (y + 0.5) / size;
    double red = 40 - 20 * depth;
    double green = 130 - 50 * depth;
    double blue = 225 - 45 * depth;
    double white = static_cast<double>(triangle) / square;
    return {channel(blue + (255 - blue) * white), channel(green + (255 - green) * white),
            channel(red + (255 - red) * white),
            channel(255.0 * square / (SAMPLES * SAMPLES))};
}

void put16(std::vector<std::uint8_t>& out, unsigned value) {
    out.push_back(static_cast<std::uint8_t>(value));
    out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void put32(std::vector<std::uint8_t>& out, std::uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// One image as an icon resource holds it: BITMAPINFOHEADER with the height of
// both bitmaps, the colour rows bottom-up, then the AND mask rows bottom-up,
// each mask row padded to 32 bits. A mask bit of 1 marks a transparent pixel.
std::vector<std::uint8_t> iconImage(int size) {
    int maskStride = (size + 31) / 32 * 4;
    std::uint32_t colourBytes = static_cast<std::uint32_t>(size * size * 4);
    std::uint32_t maskBytes = static_cast<std::uint32_t>(maskStride * size);

    std::vector<std::uint8_t> out;
    put32(out, 40);
    put32(out, static_cast<std::uint32_t>(size));
    put32(out, static_cast<std::uint32_t>(size * 2));
    put16(out, 1);
    put16(out, 32);
    put32(out, 0);
    put32(out, colourBytes + maskBytes);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);
    put32(out, 0);

    std::vector<std::uint8_t> mask(maskBytes, 0);
    for (int row = size - 1; row >= 0; --row) {
        int stored = size - 1 - row;
        for (int x = 0; x < size; ++x) {
            Pixel pixel = shade(size, x, row);
            out.insert(out.end(), {pixel.blue, pixel.green, pixel.red, pixel.alpha});
            if (pixel.alpha == 0) {
                mask[static_cast<std::size_t>(stored * maskStride + x / 8)] |=
                    static_cast<std::uint8_t>(0x80 >> (x % 8));
            }
        }
    }
    out.insert(out.end(), mask.begin(), mask.end());
    return out;
}

bool writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "iconArtwork: cannot write %s\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

// Writes the icon as the resource compiler takes it piece by piece: each image
// as an icon resource (iconN.dib, resource N) and one group directory that
// names them (iconGroup.bin). Both icon groups of the program use the same
// directory, so the seven images are stored once, not twice.
int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: iconArtwork OUTPUT-FOLDER\n");
        return 2;
    }
    const std::string folder = argv[1];
    const int count = static_cast<int>(std::size(SIZES));

    std::vector<std::uint8_t> group;
    put16(group, 0);
    put16(group, 1);
    put16(group, static_cast<unsigned>(count));
    for (int i = 0; i < count; ++i) {
        std::vector<std::uint8_t> image = iconImage(SIZES[i]);
        if (!writeFile(folder + "/icon" + std::to_string(i + 1) + ".dib", image)) {
            return 1;
        }
        group.push_back(static_cast<std::uint8_t>(SIZES[i]));
        group.push_back(static_cast<std::uint8_t>(SIZES[i]));
        group.push_back(0);
        group.push_back(0);
        put16(group, 1);
        put16(group, 32);
        put32(group, static_cast<std::uint32_t>(image.size()));
        put16(group, static_cast<unsigned>(i + 1));
    }
    return writeFile(folder + "/iconGroup.bin", group) ? 0 : 1;
}
