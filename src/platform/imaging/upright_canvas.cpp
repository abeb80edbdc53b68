#include "platform/imaging/upright_canvas.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "platform/imaging/large_buffer.h"

namespace figsplit {

bool checkPictureSize(int64_t width, int64_t height, std::string& error) {
    if (width <= 0 || height <= 0) {
        error = "picture has no pixels (" + std::to_string(width) + " x " + std::to_string(height) +
                ")";
        return false;
    }
    // width and height come from 32-bit header fields, so the product cannot overflow.
    if (width > kMaxImagePixels || height > kMaxImagePixels || width * height > kMaxImagePixels) {
        error = "picture of " + std::to_string(width) + " x " + std::to_string(height) +
                " pixels is larger than the limit of " + std::to_string(kMaxImagePixels) +
                " pixels";
        return false;
    }
    return true;
}

bool UprightCanvas::begin(int64_t storedWidth, int64_t storedHeight, Orientation orientation,
                          RgbaImage& target, std::string& error) {
    target = RgbaImage{};
    if (!checkPictureSize(storedWidth, storedHeight, error)) return false;
    orientation_ = (orientation >= 1 && orientation <= 8) ? orientation : 1;
    storedWidth_ = storedWidth;
    storedHeight_ = storedHeight;
    target_ = &target;
    try {
        const bool swap = swapsAxes(orientation_);
        target.width = swap ? storedHeight : storedWidth;
        target.height = swap ? storedWidth : storedHeight;
        allocatePixels(target.pixels, static_cast<size_t>(storedWidth * storedHeight * 4));
        if (orientation_ == 2 || orientation_ == 3) {
            strip_.resize(static_cast<size_t>(storedWidth * 4));
        } else if (swap) {
            strip_.resize(static_cast<size_t>(storedWidth * 4 * kStripRows));
        }
    } catch (const std::bad_alloc&) {
        target = RgbaImage{};
        error = "not enough memory for a picture of " + std::to_string(storedWidth) + " x " +
                std::to_string(storedHeight) + " pixels";
        return false;
    }
    return true;
}

uint8_t* UprightCanvas::row(int64_t y) {
    switch (orientation_) {
        case 1:
            return target_->pixels.data() + y * storedWidth_ * 4;
        case 4:
            return target_->pixels.data() + (storedHeight_ - 1 - y) * storedWidth_ * 4;
        case 2:
        case 3:
            return strip_.data();
        default:
            return strip_.data() + (y % kStripRows) * storedWidth_ * 4;
    }
}

void UprightCanvas::finishRow(int64_t y) {
    if (orientation_ == 1 || orientation_ == 4) return;
    if (orientation_ == 2 || orientation_ == 3) {
        const int64_t uprightRow = orientation_ == 2 ? y : storedHeight_ - 1 - y;
        const uint8_t* from = strip_.data();
        uint8_t* to = target_->pixels.data() + uprightRow * storedWidth_ * 4;
        for (int64_t x = 0; x < storedWidth_; ++x) {
            std::memcpy(to + (storedWidth_ - 1 - x) * 4, from + x * 4, 4);
        }
        return;
    }
    if (y % kStripRows == kStripRows - 1 || y == storedHeight_ - 1) {
        const int64_t first = y - y % kStripRows;
        flushStrip(first, y - first + 1);
    }
}

// Orientations 5 to 8: stored pixel (x, y) lands at upright column u and row v with
//   5: (y, x)   6: (H-1-y, x)   7: (H-1-y, W-1-x)   8: (y, W-1-x)
// where W x H is the stored size (the upright picture is H wide). For one stored column x the
// strip's rows land side by side in one upright row, so the writes stay contiguous.
void UprightCanvas::flushStrip(int64_t firstRow, int64_t rowCount) {
    const int64_t uprightWidth = storedHeight_;
    const bool mirrorColumns = orientation_ == 6 || orientation_ == 7;  // u = H-1-y
    const bool mirrorRows = orientation_ == 7 || orientation_ == 8;     // v = W-1-x
    uint8_t* pixels = target_->pixels.data();
    for (int64_t x = 0; x < storedWidth_; ++x) {
        const int64_t v = mirrorRows ? storedWidth_ - 1 - x : x;
        uint8_t* uprightRow = pixels + v * uprightWidth * 4;
        for (int64_t r = 0; r < rowCount; ++r) {
            const int64_t y = firstRow + r;
            const int64_t u = mirrorColumns ? storedHeight_ - 1 - y : y;
            std::memcpy(uprightRow + u * 4, strip_.data() + (r * storedWidth_ + x) * 4, 4);
        }
    }
}

bool orientImage(RgbaImage& image, Orientation orientation, std::string& error) {
    if (orientation < 2 || orientation > 8) return true;
    RgbaImage upright;
    UprightCanvas canvas;
    if (!canvas.begin(image.width, image.height, orientation, upright, error)) return false;
    const size_t rowBytes = static_cast<size_t>(image.width * 4);
    for (int64_t y = 0; y < image.height; ++y) {
        std::memcpy(canvas.row(y), image.pixels.data() + y * image.width * 4, rowBytes);
        canvas.finishRow(y);
    }
    image = std::move(upright);
    return true;
}

}  // namespace figsplit
