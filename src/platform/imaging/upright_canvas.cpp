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
    orientation_ = orientation;
    storedWidth_ = storedWidth;
    storedHeight_ = storedHeight;
    target_ = &target;
    try {
        const bool swap = swapsAxes(orientation_);
        target.width = swap ? storedHeight : storedWidth;
        target.height = swap ? storedWidth : storedHeight;
        allocatePixels(target.pixels, static_cast<size_t>(storedWidth * storedHeight * 4));
        if (orientation_ == Orientation::upMirrored || orientation_ == Orientation::down) {
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
        case Orientation::up:
            return target_->pixels.data() + y * storedWidth_ * 4;
        case Orientation::downMirrored:
            return target_->pixels.data() + (storedHeight_ - 1 - y) * storedWidth_ * 4;
        case Orientation::upMirrored:
        case Orientation::down:
            return strip_.data();
        default:
            return strip_.data() + (y % kStripRows) * storedWidth_ * 4;
    }
}

void UprightCanvas::finishRow(int64_t y) {
    switch (orientation_) {
        case Orientation::up:
        case Orientation::downMirrored:
            return;  // written in place
        case Orientation::upMirrored:
        case Orientation::down:
            placeStoredRows(strip_.data(), storedWidth_ * 4, y, 1, storedWidth_, storedHeight_, 4,
                            orientation_, target_->pixels.data());
            return;
        default:
            if (y % kStripRows == kStripRows - 1 || y == storedHeight_ - 1) {
                const int64_t first = y - y % kStripRows;
                placeStoredRows(strip_.data(), storedWidth_ * 4, first, y - first + 1, storedWidth_,
                                storedHeight_, 4, orientation_, target_->pixels.data());
            }
    }
}

bool orientImage(RgbaImage& image, Orientation orientation, std::string& error) {
    if (orientation == Orientation::up) return true;
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
