// decodeImage on pictures made by the codecs' own encoders: every PNG colour type and depth,
// JPEG colour spaces and orientations, HEIC transforms, alpha and depth, embedded profiles,
// and the files that must be refused.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "image_fixtures.h"
#include "platform/imaging/imaging.h"

#if defined(__SANITIZE_ADDRESS__)
#define FIGSPLIT_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FIGSPLIT_UNDER_ASAN 1
#endif
#endif

namespace figsplit {
namespace {

using namespace figsplit::testing;

constexpr uint32_t kRed = 0xFF0000FF, kGreen = 0x00FF00FF, kBlue = 0x0000FFFF, kWhite = 0xFFFFFFFF;

bool near(uint32_t got, uint32_t want, int tolerance) {
    for (int shift = 0; shift < 32; shift += 8) {
        const int a = static_cast<int>((got >> shift) & 0xFF);
        const int b = static_cast<int>((want >> shift) & 0xFF);
        if (std::abs(a - b) > tolerance) return false;
    }
    return true;
}

std::string hex(uint32_t v) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", v);
    return text;
}

#define EXPECT_PIXEL_NEAR(got, want, tolerance) \
    EXPECT_TRUE(near(got, want, tolerance)) << hex(got) << " vs " << hex(want)

struct Decoded {
    bool ok = false;
    RgbaImage image;
    std::string error;
};

Decoded decodeBytes(const Bytes& bytes, const std::string& name = "picture") {
    ScratchDir dir;
    const std::string path = dir.file(name);
    writeFile(path, bytes);
    Decoded result;
    result.ok = decodeImage(path, result.image, result.error);
    return result;
}

// A picture with four distinct quadrants: top-left red, top-right green, bottom-left blue,
// bottom-right white. Blocks of 16 keep JPEG's blocks from mixing them.
RgbaImage quadrants(int64_t width, int64_t height) {
    RgbaImage image = makeRgba(width, height, kWhite);
    fillRect(image, 0, 0, width / 2, height / 2, kRed);
    fillRect(image, width / 2, 0, width, height / 2, kGreen);
    fillRect(image, 0, height / 2, width / 2, height, kBlue);
    return image;
}

enum Corner { topLeft, topRight, bottomLeft, bottomRight };

// How a file with EXIF orientation o stores the picture that is shown upright: where the
// upright picture's top-left, top-right and bottom-left corners lie in the stored pixels.
struct StoredCorners {
    int orientation;
    Corner uprightTopLeft, uprightTopRight, uprightBottomLeft;
};
constexpr StoredCorners kOrientations[] = {
    {1, topLeft, topRight, bottomLeft},     {2, topRight, topLeft, bottomRight},
    {3, bottomRight, bottomLeft, topRight}, {4, bottomLeft, bottomRight, topLeft},
    {5, topLeft, bottomLeft, topRight},     {6, bottomLeft, topLeft, bottomRight},
    {7, bottomRight, topRight, bottomLeft}, {8, topRight, bottomRight, topLeft},
};

// Stores the upright quadrant picture (uprightWidth x uprightHeight) as a file with
// orientation `o` would.
RgbaImage storedFor(const StoredCorners& o, int64_t uprightWidth, int64_t uprightHeight) {
    const bool swap = o.orientation >= 5;
    const int64_t w = swap ? uprightHeight : uprightWidth;
    const int64_t h = swap ? uprightWidth : uprightHeight;
    RgbaImage stored = makeRgba(w, h, kWhite);
    auto paint = [&](Corner corner, uint32_t colour) {
        const int64_t x0 = (corner == topRight || corner == bottomRight) ? w / 2 : 0;
        const int64_t y0 = (corner == bottomLeft || corner == bottomRight) ? h / 2 : 0;
        fillRect(stored, x0, y0, x0 + w / 2, y0 + h / 2, colour);
    };
    paint(o.uprightTopLeft, kRed);
    paint(o.uprightTopRight, kGreen);
    paint(o.uprightBottomLeft, kBlue);
    return stored;
}

void expectUprightQuadrants(const RgbaImage& image, int64_t width, int64_t height, int tolerance,
                            const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_EQ(image.width, width);
    ASSERT_EQ(image.height, height);
    ASSERT_EQ(image.pixels.size(), static_cast<size_t>(width * height * 4));
    EXPECT_PIXEL_NEAR(pixelAt(image, width / 4, height / 4), kRed, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, 3 * width / 4, height / 4), kGreen, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, width / 4, 3 * height / 4), kBlue, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, 3 * width / 4, 3 * height / 4), kWhite, tolerance);
    // The very corners too: an off-by-one in the placement shows here.
    EXPECT_PIXEL_NEAR(pixelAt(image, 0, 0), kRed, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, width - 1, 0), kGreen, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, 0, height - 1), kBlue, tolerance);
    EXPECT_PIXEL_NEAR(pixelAt(image, width - 1, height - 1), kWhite, tolerance);
}

// ----------------------------------------------------------------------------------- PNG

// Pixels that every kind and depth below can express exactly.
RgbaImage pngPattern(PngKind kind, int depth) {
    const int levels = depth >= 8 ? 256 : (1 << depth);
    RgbaImage image = makeRgba(13, 7);
    for (int64_t y = 0; y < image.height; ++y) {
        for (int64_t x = 0; x < image.width; ++x) {
            const int i = static_cast<int>(y * image.width + x);
            auto level = [&](int k) {
                return static_cast<uint32_t>(((k % levels) * 255) / (levels - 1));
            };
            uint32_t r = level(i * 7), g = level(i * 11 + 3), b = level(i * 5 + 1);
            uint32_t a = 255;
            if (kind == PngKind::grey || kind == PngKind::greyAlpha) g = b = r;
            if (kind == PngKind::greyAlpha || kind == PngKind::rgba) a = level(i * 3 + 2);
            if (kind == PngKind::palette) {  // few colours, some translucent
                const uint32_t palette[4] = {0x10203040, 0xFF000080, 0x00FF00FF, 0x0000FF00};
                const uint32_t c = palette[i % (depth == 1 ? 2 : 4)];
                setPixel(image, x, y, c);
                continue;
            }
            setPixel(image, x, y, (r << 24) | (g << 16) | (b << 8) | a);
        }
    }
    return image;
}

TEST(DecodePng, EveryColourTypeAndDepthDecodesToExactRgba) {
    struct Case {
        PngKind kind;
        int depth;
        bool interlaced;
    };
    const Case cases[] = {
        {PngKind::grey, 1, false},       {PngKind::grey, 2, true},
        {PngKind::grey, 4, false},       {PngKind::grey, 8, false},
        {PngKind::grey, 16, true},       {PngKind::greyAlpha, 8, true},
        {PngKind::greyAlpha, 16, false}, {PngKind::palette, 1, false},
        {PngKind::palette, 2, true},     {PngKind::palette, 8, false},
        {PngKind::rgb, 8, false},        {PngKind::rgb, 16, true},
        {PngKind::rgba, 8, true},        {PngKind::rgba, 16, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "kind " << static_cast<int>(c.kind) << " depth "
                                          << c.depth << (c.interlaced ? " interlaced" : ""));
        const RgbaImage want = pngPattern(c.kind, c.depth);
        PngFixture fixture;
        fixture.kind = c.kind;
        fixture.bitDepth = c.depth;
        fixture.interlaced = c.interlaced;
        fixture.transparencyChunk = c.kind == PngKind::palette;
        const Decoded got = decodeBytes(encodePng(want, fixture));
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_EQ(got.image.width, want.width);
        EXPECT_EQ(got.image.height, want.height);
        EXPECT_EQ(got.image.pixels, want.pixels);
    }
}

TEST(DecodePng, TransparencyChunkOnGreyAndRgbMakesOneColourClear) {
    for (PngKind kind : {PngKind::grey, PngKind::rgb}) {
        for (int depth : {8, 16}) {
            RgbaImage want = makeRgba(4, 2, 0x808080FF);
            setPixel(want, 1, 0, kind == PngKind::grey ? 0x20202000 : 0x20406000);
            setPixel(want, 2, 1, kind == PngKind::grey ? 0x20202000 : 0x20406000);
            PngFixture fixture;
            fixture.kind = kind;
            fixture.bitDepth = depth;
            fixture.transparencyChunk = true;
            const Decoded got = decodeBytes(encodePng(want, fixture));
            ASSERT_TRUE(got.ok) << got.error;
            EXPECT_EQ(got.image.pixels, want.pixels) << "depth " << depth;
        }
    }
}

TEST(DecodePng, ExifChunkOrientationIsAppliedWhereverTheChunkSits) {
    struct Case {
        bool interlaced, afterPixels;
    };
    for (const Case c : {Case{false, false}, Case{false, true}, Case{true, false}}) {
        for (const StoredCorners& o : {kOrientations[5], kOrientations[1], kOrientations[6]}) {
            PngFixture fixture;
            fixture.kind = PngKind::rgb;
            fixture.interlaced = c.interlaced;
            fixture.exifOrientation = o.orientation;
            fixture.exifAfterPixels = c.afterPixels;
            const Decoded got = decodeBytes(encodePng(storedFor(o, 12, 8), fixture));
            ASSERT_TRUE(got.ok) << got.error;
            expectUprightQuadrants(got.image, 12, 8, 0,
                                   "orientation " + std::to_string(o.orientation) +
                                       (c.interlaced ? " interlaced" : "") +
                                       (c.afterPixels ? " eXIf after IDAT" : ""));
        }
    }
}

// ---------------------------------------------------------------------------------- JPEG

TEST(DecodeJpeg, AllEightOrientationsComeOutUpright) {
    for (const StoredCorners& o : kOrientations) {
        for (bool littleEndianExif : {false, true}) {
            JpegFixture fixture;
            fixture.exifOrientation = o.orientation;
            fixture.exifLittleEndian = littleEndianExif;
            const Decoded got = decodeBytes(encodeJpeg(storedFor(o, 64, 32), fixture));
            ASSERT_TRUE(got.ok) << got.error;
            expectUprightQuadrants(got.image, 64, 32, 8,
                                   "orientation " + std::to_string(o.orientation));
        }
    }
}

TEST(DecodeJpeg, TallPictureWithStripRemainder) {
    // 40 stored rows: the last strip of rows placed for a quarter turn is a partial one.
    JpegFixture fixture;
    fixture.exifOrientation = 6;
    const Decoded got = decodeBytes(encodeJpeg(storedFor(kOrientations[5], 40, 48), fixture));
    ASSERT_TRUE(got.ok) << got.error;
    expectUprightQuadrants(got.image, 40, 48, 8, "orientation 6, 48 x 40 stored");
}

TEST(DecodeJpeg, ColourSpacesAndProgressiveDecodeToTheSameColours) {
    const RgbaImage want = quadrants(32, 32);
    struct Case {
        const char* name;
        JpegKind kind;
        bool progressive;
        bool adobe;
    };
    const Case cases[] = {
        {"baseline RGB", JpegKind::rgb, false, true},
        {"progressive RGB", JpegKind::rgb, true, true},
        {"CMYK, Adobe inverted", JpegKind::cmyk, false, true},
        {"CMYK, plain", JpegKind::cmyk, false, false},
        {"YCCK", JpegKind::ycck, false, true},
        {"progressive CMYK", JpegKind::cmyk, true, true},
    };
    for (const Case& c : cases) {
        JpegFixture fixture;
        fixture.kind = c.kind;
        fixture.progressive = c.progressive;
        fixture.adobeMarker = c.adobe;
        fixture.quality = 98;
        const Decoded got = decodeBytes(encodeJpeg(want, fixture));
        ASSERT_TRUE(got.ok) << c.name << ": " << got.error;
        expectUprightQuadrants(got.image, 32, 32, 10, c.name);
    }
}

TEST(DecodeJpeg, GreyBecomesEqualRgbWithOpaqueAlpha) {
    RgbaImage want = makeRgba(16, 16, 0x404040FF);
    fillRect(want, 8, 0, 16, 16, 0xC8C8C8FF);
    JpegFixture fixture;
    fixture.kind = JpegKind::grey;
    fixture.quality = 100;
    const Decoded got = decodeBytes(encodeJpeg(want, fixture));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_PIXEL_NEAR(pixelAt(got.image, 2, 2), 0x404040FF, 2);
    EXPECT_PIXEL_NEAR(pixelAt(got.image, 13, 13), 0xC8C8C8FF, 2);
}

// ---------------------------------------------------------------------------------- HEIC

TEST(DecodeHeic, PictureAlphaAndDepth) {
    RgbaImage want = quadrants(64, 32);
    fillRect(want, 32, 16, 64, 32, 0xFFFFFF00);  // bottom-right clear
    fillRect(want, 0, 16, 32, 32, 0x0000FF80);   // bottom-left half clear
    struct Case {
        bool alpha;
        int depth;
    };
    for (const Case c : {Case{false, 8}, Case{true, 8}, Case{false, 10}, Case{true, 10}}) {
        HeicFixture fixture;
        fixture.alpha = c.alpha;
        fixture.bitDepth = c.depth;
        const Decoded got = decodeBytes(encodeHeic(want, fixture));
        ASSERT_TRUE(got.ok) << got.error;
        SCOPED_TRACE(::testing::Message() << (c.alpha ? "alpha " : "") << c.depth << " bit");
        ASSERT_EQ(got.image.width, 64);
        ASSERT_EQ(got.image.height, 32);
        EXPECT_PIXEL_NEAR(pixelAt(got.image, 16, 8), kRed, 6);
        EXPECT_PIXEL_NEAR(pixelAt(got.image, 48, 8), kGreen, 6);
        const uint8_t alphaBottomLeft = pixelAt(got.image, 16, 24) & 0xFF;
        const uint8_t alphaBottomRight = pixelAt(got.image, 48, 24) & 0xFF;
        EXPECT_NEAR(alphaBottomLeft, c.alpha ? 0x80 : 0xFF, 3);
        EXPECT_NEAR(alphaBottomRight, c.alpha ? 0 : 0xFF, 3);
    }
}

TEST(DecodeHeic, TransformsAppliedAndExifOrientationIgnored) {
    for (const StoredCorners& o : kOrientations) {
        HeicFixture fixture;
        fixture.orientation = o.orientation;
        const Decoded got = decodeBytes(encodeHeic(storedFor(o, 64, 32), fixture));
        ASSERT_TRUE(got.ok) << got.error;
        expectUprightQuadrants(got.image, 64, 32, 6,
                               "HEIC orientation " + std::to_string(o.orientation));
    }
    // An EXIF block saying "turn right" in a file without transforms: the picture stays as is.
    HeicFixture fixture;
    fixture.exifOrientation = 6;
    const Decoded got = decodeBytes(encodeHeic(quadrants(64, 32), fixture));
    ASSERT_TRUE(got.ok) << got.error;
    expectUprightQuadrants(got.image, 64, 32, 6, "HEIC with EXIF orientation 6 only");
}

// ------------------------------------------------------------------------- colour profiles

// With a linear-light profile, stored 128 means half the light: sRGB level 188.
constexpr uint32_t kLinearHalfInSrgb = 0xBCBCBCFF;

TEST(DecodeProfiles, EmbeddedProfilesAreConvertedToSrgb) {
    const RgbaImage grey128 = makeRgba(16, 16, 0x808080FF);
    PngFixture png;
    png.kind = PngKind::rgb;
    png.iccProfile = linearRgbProfile();
    PngFixture greyPng;
    greyPng.kind = PngKind::grey;
    greyPng.iccProfile = linearGreyProfile();
    JpegFixture jpeg;
    jpeg.quality = 100;
    jpeg.iccProfile = linearRgbProfile();
    JpegFixture greyJpeg = jpeg;
    greyJpeg.kind = JpegKind::grey;
    greyJpeg.iccProfile = linearGreyProfile();
    HeicFixture heic;
    heic.iccProfile = linearRgbProfile();
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"PNG iCCP", encodePng(grey128, png)},    {"grey PNG iCCP", encodePng(grey128, greyPng)},
        {"JPEG APP2", encodeJpeg(grey128, jpeg)}, {"grey JPEG APP2", encodeJpeg(grey128, greyJpeg)},
        {"HEIC colr", encodeHeic(grey128, heic)},
    };
    for (const Case& c : cases) {
        const Decoded got = decodeBytes(c.file);
        ASSERT_TRUE(got.ok) << c.name << ": " << got.error;
        EXPECT_PIXEL_NEAR(pixelAt(got.image, 8, 8), kLinearHalfInSrgb, 3) << c.name;
    }
}

TEST(DecodeProfiles, SrgbAndBrokenProfilesLeaveThePixelsAlone) {
    RgbaImage want = pngPattern(PngKind::rgb, 8);
    Bytes garbage(600, 0x5A);
    garbage[36] = 'a';  // not even the signature
    Bytes truncatedProfile = linearRgbProfile();
    truncatedProfile.resize(truncatedProfile.size() / 2);

    PngFixture png;
    png.kind = PngKind::rgb;
    png.iccProfile = srgbProfile();
    Decoded got = decodeBytes(encodePng(want, png));
    ASSERT_TRUE(got.ok) << got.error;
    EXPECT_EQ(got.image.pixels, want.pixels);

    for (const Bytes& profile : {srgbProfile(), garbage, truncatedProfile}) {
        JpegFixture jpeg;
        jpeg.quality = 100;
        jpeg.iccProfile = profile;
        const RgbaImage flat = makeRgba(16, 16, 0x808080FF);
        got = decodeBytes(encodeJpeg(flat, jpeg));
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_PIXEL_NEAR(pixelAt(got.image, 8, 8), 0x808080FF, 1);
        HeicFixture heic;
        heic.iccProfile = profile;
        got = decodeBytes(encodeHeic(flat, heic));
        ASSERT_TRUE(got.ok) << got.error;
        EXPECT_PIXEL_NEAR(pixelAt(got.image, 8, 8), 0x808080FF, 2);
    }
}

// ------------------------------------------------------------------------------- refusals

// A PNG signature and IHDR claiming `width` x `height`, with a valid CRC, then nothing.
Bytes pngHeaderOnly(uint32_t width, uint32_t height) {
    Bytes png = encodePng(makeRgba(1, 1), PngFixture{});
    auto put32 = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            png[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (24 - 8 * i));
    };
    put32(16, width);
    put32(20, height);
    uint32_t crc = 0xFFFFFFFFu;  // over "IHDR" and its 13 data bytes
    for (size_t i = 12; i < 29; ++i) {
        crc ^= png[i];
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    put32(29, ~crc);
    png.resize(33 + 200);  // keep some of the following chunk
    return png;
}

// A JPEG whose frame header claims `width` x `height`.
Bytes jpegClaiming(uint16_t width, uint16_t height) {
    Bytes jpeg = encodeJpeg(makeRgba(8, 8), JpegFixture{});
    for (size_t i = 2; i + 8 < jpeg.size(); ++i) {
        if (jpeg[i] == 0xFF && (jpeg[i + 1] == 0xC0 || jpeg[i + 1] == 0xC2)) {
            jpeg[i + 5] = static_cast<uint8_t>(height >> 8);
            jpeg[i + 6] = static_cast<uint8_t>(height);
            jpeg[i + 7] = static_cast<uint8_t>(width >> 8);
            jpeg[i + 8] = static_cast<uint8_t>(width);
            return jpeg;
        }
    }
    return {};
}

// A HEIC whose 'ispe' box claims `width` x `height`.
Bytes heicClaiming(uint32_t width, uint32_t height) {
    Bytes heic = encodeHeic(makeRgba(16, 16), HeicFixture{});
    for (size_t i = 0; i + 20 < heic.size(); ++i) {
        if (std::memcmp(heic.data() + i, "ispe", 4) == 0) {
            for (int k = 0; k < 4; ++k) {
                heic[i + 8 + static_cast<size_t>(k)] = static_cast<uint8_t>(width >> (24 - 8 * k));
                heic[i + 12 + static_cast<size_t>(k)] =
                    static_cast<uint8_t>(height >> (24 - 8 * k));
            }
        }
    }
    return heic;
}

TEST(DecodeRefusals, HugeHeadersAreRefusedBeforeAllocating) {
    // The address space is capped far below what any of these pictures would need, so an
    // allocation attempt would fail visibly instead of succeeding on a roomy machine. (Not under
    // AddressSanitizer, which reserves terabytes of address space up front.)
#ifndef FIGSPLIT_UNDER_ASAN
    rlimit saved{};
    getrlimit(RLIMIT_AS, &saved);
    rlimit tight = saved;
    tight.rlim_cur = 4ull << 30;
    setrlimit(RLIMIT_AS, &tight);
#endif
    constexpr const char* kOurs = "larger than the limit of";
    constexpr const char* kLibheifs = "exceeds the maximum image size";  // the side limit we set
    struct Case {
        const char* name;
        Bytes file;
        const char* reason;
    };
    const Case cases[] = {
        {"PNG 200000 x 200000", pngHeaderOnly(200000, 200000), kOurs},
        {"PNG 2^31-1 x 1", pngHeaderOnly(0x7FFFFFFF, 1), kOurs},
        {"JPEG 65000 x 65000", jpegClaiming(65000, 65000), kOurs},
        {"HEIC 200000 x 200000", heicClaiming(200000, 200000), kLibheifs},
        {"HEIC 20000 x 20000", heicClaiming(20000, 20000), kLibheifs},
        {"HEIC 16000 x 16000", heicClaiming(16000, 16000), kOurs},
    };
    for (const Case& c : cases) {
        const auto start = std::chrono::steady_clock::now();
        const Decoded got = decodeBytes(c.file);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_FALSE(got.ok) << c.name;
        EXPECT_TRUE(got.image.pixels.empty()) << c.name;
        EXPECT_NE(got.error.find(c.reason), std::string::npos) << c.name << ": " << got.error;
        EXPECT_LT(seconds, 5.0) << c.name;
    }
#ifndef FIGSPLIT_UNDER_ASAN
    setrlimit(RLIMIT_AS, &saved);
#endif
}

TEST(DecodeRefusals, SmallHeicClaimingAHugeGridCanvasIsRefusedAtOnce) {
    // Found by fuzzing: 979 bytes whose grid descriptor asks for a 26725 x 26985 canvas while
    // every ispe says 64 x 64. Unchecked, libheif allocated 3 GB and worked for a minute.
    const auto start = std::chrono::steady_clock::now();
    RgbaImage image;
    std::string error;
    EXPECT_FALSE(decodeImage(std::string(FIGSPLIT_TEST_DATA) + "/still/heic_grid_canvas_bomb.heic",
                             image, error));
    EXPECT_NE(error.find("26725x26985"), std::string::npos) << error;
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 5.0);
}

TEST(DecodeRefusals, DamagedAndForeignFilesAreErrorsNotPictures) {
    const RgbaImage picture = quadrants(64, 64);
    const Bytes png = encodePng(picture, PngFixture{});
    JpegFixture progressive;
    progressive.progressive = true;
    const Bytes jpeg = encodeJpeg(picture, JpegFixture{});
    const Bytes progressiveJpeg = encodeJpeg(picture, progressive);
    const Bytes heic = encodeHeic(picture, HeicFixture{});
    auto cut = [](Bytes bytes, size_t keep) {
        bytes.resize(keep);
        return bytes;
    };
    struct Case {
        const char* name;
        Bytes file;
    };
    const Case cases[] = {
        {"empty", {}},
        {"text", Bytes{'h', 'e', 'l', 'l', 'o', '\n'}},
        {"PNG signature only", cut(png, 8)},
        {"PNG cut in the pixels", cut(png, png.size() / 2)},
        {"JPEG SOI only", cut(jpeg, 3)},
        {"JPEG cut in the pixels", cut(jpeg, jpeg.size() / 2)},
        {"progressive JPEG cut", cut(progressiveJpeg, progressiveJpeg.size() * 2 / 3)},
        {"JPEG without its end marker", cut(jpeg, jpeg.size() - 2)},
        {"HEIC cut in half", cut(heic, heic.size() / 2)},
        {"HEIC header only", cut(heic, 40)},
    };
    for (const Case& c : cases) {
        const Decoded got = decodeBytes(c.file);
        EXPECT_FALSE(got.ok) << c.name;
        EXPECT_FALSE(got.error.empty()) << c.name;
    }
}

TEST(DecodeRefusals, JpegWithTooManyScans) {
    RgbaImage picture = makeRgba(32, 32, 0x505050FF);
    fillRect(picture, 0, 0, 16, 16, 0xE0E0E0FF);
    JpegFixture fixture;
    fixture.kind = JpegKind::grey;
    fixture.singleCoefficientScans = 64;
    const Decoded fine = decodeBytes(encodeJpeg(picture, fixture));
    ASSERT_TRUE(fine.ok) << fine.error;
    EXPECT_PIXEL_NEAR(pixelAt(fine.image, 4, 4), 0xE0E0E0FF, 4);
    fixture.singleCoefficientScans = 127;
    const Decoded refused = decodeBytes(encodeJpeg(picture, fixture));
    EXPECT_FALSE(refused.ok);
    EXPECT_NE(refused.error.find("more than 100 progressive scans"), std::string::npos)
        << refused.error;
}

TEST(DecodeRefusals, PathsThatAreNotReadablePictureFiles) {
    ScratchDir dir;
    RgbaImage image;
    std::string error;
    EXPECT_FALSE(decodeImage(dir.file("missing.png"), image, error));
    EXPECT_NE(error.find("No such file or directory"), std::string::npos) << error;
    EXPECT_FALSE(decodeImage(dir.path(), image, error));
    EXPECT_NE(error.find("not a regular file"), std::string::npos) << error;
    const std::string fifo = dir.file("pipe.jpg");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(decodeImage(fifo, image, error));  // refused at once, not waiting for a writer
}

TEST(DecodeImage, FormatIsRecognisedByContentNotName) {
    const RgbaImage picture = quadrants(32, 32);
    const Decoded pngNamedJpg = decodeBytes(encodePng(picture, PngFixture{}), "photo.JPG");
    ASSERT_TRUE(pngNamedJpg.ok) << pngNamedJpg.error;
    EXPECT_EQ(pngNamedJpg.image.pixels, picture.pixels);
    const Decoded jpegNamedHeic = decodeBytes(encodeJpeg(picture, JpegFixture{}), "photo.heic");
    ASSERT_TRUE(jpegNamedHeic.ok) << jpegNamedHeic.error;
}

}  // namespace
}  // namespace figsplit
