#include "processing/pipeline/thumbnail_write_queue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/temp_home.h"
#include "wait_helpers.h"

namespace lumidex::processing {
namespace {

using testing::eventually;
using testing::Gate;

TEST(ThumbnailWriteQueue, NinthProducerWaitsUntilAPreviewIsWritten) {
    Gate gate;
    std::mutex mutex;
    std::vector<std::string> written;
    ThumbnailWriteQueue queue([&](const std::filesystem::path& file, std::string_view) {
        gate.wait();
        std::lock_guard lock(mutex);
        written.push_back(file.string());
        return true;
    });
    ASSERT_EQ(queue.maxInFlight(), 8u);
    for (int i = 0; i < 8; ++i) queue.enqueue("p" + std::to_string(i), "png");  // none of these blocks
    EXPECT_EQ(queue.inFlight(), 8u);

    std::atomic<bool> ninthReturned{false};
    std::thread ninth([&] {
        queue.enqueue("p8", "png");
        ninthReturned = true;
    });
    ASSERT_TRUE(eventually([&] { return queue.waitingProducers() == 1; }));
    EXPECT_FALSE(ninthReturned);

    gate.open();
    ninth.join();
    EXPECT_TRUE(ninthReturned);
    queue.waitUntilIdle();
    std::lock_guard lock(mutex);
    // One after another, in the order they were handed over.
    EXPECT_EQ(written, (std::vector<std::string>{"p0", "p1", "p2", "p3", "p4", "p5", "p6", "p7", "p8"}));
}

TEST(ThumbnailWriteQueue, AFailingWriteDoesNotStopTheQueue) {
    std::atomic<int> calls{0};
    ThumbnailWriteQueue queue(
        [&](const std::filesystem::path& file, std::string_view) {
            ++calls;
            if (file == "bad") throw std::runtime_error("disk full");
            return file != "false";
        },
        2);
    for (const char* name : {"bad", "false", "ok", "bad", "ok"}) queue.enqueue(name, "png");
    queue.waitUntilIdle();
    EXPECT_EQ(calls, 5);
    EXPECT_EQ(queue.inFlight(), 0u);
}

TEST(ThumbnailWriteQueue, DefaultWriterCreatesFoldersAndReplacesFiles) {
    lumidex::testing::TempDir dir;
    const auto file = dir / "data/thumbs/a_thumbmage_#0.png";
    {
        ThumbnailWriteQueue queue;
        queue.enqueue(file, "first");
        queue.enqueue(file, std::string("\x89PNG\0second", 11));
    }  // destruction waits for both writes
    EXPECT_EQ(lumidex::testing::readFile(file), std::string("\x89PNG\0second", 11));
    EXPECT_FALSE(ThumbnailWriteQueue::writePngFile(dir / "data/thumbs/a_thumbmage_#0.png/x.png", "png"));
}

}  // namespace
}  // namespace lumidex::processing
