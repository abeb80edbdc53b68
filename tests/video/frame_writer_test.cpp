// The frame writer's pixels: matte byte v becomes B, G, R, A = v, v, v, 255 in rows that follow
// the pool buffer's own stride, its padding untouched; and the wait for a busy encoder.
#include <gtest/gtest.h>

#include "video/video_run.h"
#include "video_fakes.h"

namespace figsplit {
namespace {

// Keeps every appended buffer so that its bytes can be read after the call.
class KeepingWriter : public MatteWriter {
  public:
    class Pool : public PixelBufferPool {
      public:
        PixelBufferRef takeBuffer() override {
            struct Owned {
                PixelBuffer buffer;
                std::vector<uint8_t> bytes;
            };
            auto owned = std::make_shared<Owned>();
            owned->bytes.assign(static_cast<size_t>(stride * height), testing::kSentinel);
            owned->buffer = PixelBuffer{width, height, stride, owned->bytes.data()};
            return PixelBufferRef(owned, &owned->buffer);
        }
        int64_t width = 0, height = 0, stride = 0;
    };

    bool open() override { return true; }
    void beginTimeline(MediaTime) override {}
    PixelBufferPool* bufferPool() override { return &pool; }
    bool readyForMore() override {
        ++polls;
        return polls > busyPolls;
    }
    bool append(PixelBufferRef buffer, MediaTime pts) override {
        appended.push_back(std::move(buffer));
        times.push_back(pts);
        pollsAtAppend.push_back(polls);
        return true;
    }
    void endInput() override {}
    void finish(std::function<void()> completion) override { completion(); }
    WriterStatus status() const override { return WriterStatus::writing; }
    std::optional<std::string> error() const override { return std::nullopt; }

    Pool pool;
    int busyPolls = 0;
    int polls = 0;
    std::vector<PixelBufferRef> appended;
    std::vector<MediaTime> times;
    std::vector<int> pollsAtAppend;
};

class FrameWriter : public ::testing::Test {
  protected:
    FrameWriter() : run_(Settings{}, "in.mov", "out.mov", VideoServices{}) {
        auto writer = std::make_unique<KeepingWriter>();
        writer_ = writer.get();
        run_.writer = std::move(writer);
    }
    void size(int64_t width, int64_t height, int64_t stride) {
        run_.geometry.outW = width;
        run_.geometry.outH = height;
        writer_->pool.width = width;
        writer_->pool.height = height;
        writer_->pool.stride = stride;
    }

    VideoRun run_;
    KeepingWriter* writer_;
};

TEST_F(FrameWriter, ExpandsEachMatteByteToOpaqueGreyRowByRowLeavingThePaddingAlone) {
    size(3, 2, 4 * 3 + 7);
    const MatteRaster mask{0, 128, 255, 1, 254, 77};
    const MediaTime pts{1001, 30000, MediaTime::kValid, 0};
    writeMask(run_, mask, pts);

    ASSERT_EQ(writer_->appended.size(), 1u);
    EXPECT_EQ(writer_->times[0], pts);
    EXPECT_EQ(run_.frames, 1);
    const PixelBuffer& buffer = *writer_->appended[0];
    for (int64_t y = 0; y < 2; ++y) {
        const uint8_t* row = buffer.base + y * buffer.stride;
        for (int64_t x = 0; x < 3; ++x) {
            const uint8_t v = mask[static_cast<size_t>(y * 3 + x)];
            const std::vector<uint8_t> pixel(row + 4 * x, row + 4 * x + 4);
            EXPECT_EQ(pixel, (std::vector<uint8_t>{v, v, v, 255})) << x << ", " << y;
        }
        for (int64_t i = 12; i < buffer.stride; ++i) EXPECT_EQ(row[i], testing::kSentinel);
    }
}

TEST_F(FrameWriter, WaitsUntilTheEncoderIsReadyBeforeEachAppend) {
    size(2, 2, 8);
    writer_->busyPolls = 3;
    writeMask(run_, MatteRaster(4, 9), MediaTime{0, 1, MediaTime::kValid, 0});
    ASSERT_EQ(writer_->pollsAtAppend.size(), 1u);
    EXPECT_EQ(writer_->pollsAtAppend[0], 4);  // three "not ready", then ready

    writeMask(run_, MatteRaster(4, 9), MediaTime{1, 1, MediaTime::kValid, 0});
    EXPECT_EQ(writer_->pollsAtAppend[1], 5);  // a ready encoder is asked once
    EXPECT_EQ(run_.frames, 2);
}

}  // namespace
}  // namespace figsplit
