// Whole transfers through pipes whose other end belongs to someone else (a compositor passing
// clipboard data): large ones, a reader that leaves, a writer that stalls or sends too much.

#include "Support/PipeTransfer.h"
#include "Support/UniqueFd.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace {
struct Pipe {
    UniqueFd read;
    UniqueFd write;
    Pipe()
    {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        read.reset(fds[0]);
        write.reset(fds[1]);
    }
};
} // namespace

TEST(PipeTransferTest, MoreThanAPipeHoldsGoesThroughWhole)
{
    Pipe pipe;
    QByteArray data(3 * 1024 * 1024 + 17, '\0');
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char(i * 31);
    bool written = false;
    std::thread writer([&] {
        written = pipe_transfer::writeAll(pipe.write.get(), data, 5000);
        pipe.write.reset();
    });
    const auto read = pipe_transfer::readAll(pipe.read.get(), 5000, 64 * 1024 * 1024);
    writer.join();
    EXPECT_TRUE(written);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, data);
}

TEST(PipeTransferTest, AReaderThatLeftFailsTheWriteWithoutEndingTheProcess)
{
    Pipe pipe;
    pipe.read.reset();
    // Without care this write raises SIGPIPE, whose default ends the process.
    EXPECT_FALSE(pipe_transfer::writeAll(pipe.write.get(), QByteArray(1000, 'x'), 1000));
    EXPECT_FALSE(pipe_transfer::writeAll(pipe.write.get(), QByteArray(1000, 'x'), 1000)) << "and again";
}

TEST(PipeTransferTest, StalledOrOverlongPeersAreCutOff)
{
    {
        // A writer that never closes: the read gives up at its time-out.
        Pipe pipe;
        ASSERT_EQ(::write(pipe.write.get(), "part", 4), 4);
        EXPECT_FALSE(pipe_transfer::readAll(pipe.read.get(), 100, 1024));
    }
    {
        // More than the reader takes.
        Pipe pipe;
        std::thread writer([&] {
            pipe_transfer::writeAll(pipe.write.get(), QByteArray(200 * 1024, 'y'), 2000);
            pipe.write.reset();
        });
        EXPECT_FALSE(pipe_transfer::readAll(pipe.read.get(), 2000, 64 * 1024));
        pipe.read.reset(); // the writer sees the reader leave
        writer.join();
    }
    {
        // A reader that never reads: the write gives up at its time-out.
        Pipe pipe;
        EXPECT_FALSE(pipe_transfer::writeAll(pipe.write.get(), QByteArray(1024 * 1024, 'z'), 100));
    }
    {
        // Nothing at all, then the end: an empty transfer.
        Pipe pipe;
        pipe.write.reset();
        const auto read = pipe_transfer::readAll(pipe.read.get(), 100, 1024);
        ASSERT_TRUE(read);
        EXPECT_TRUE(read->isEmpty());
    }
}
