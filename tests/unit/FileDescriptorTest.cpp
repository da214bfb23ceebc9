#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/utils/FileDescriptor.h"

namespace vela::utils {
namespace {

std::atomic<int> signalsDelivered{0};

// SIGUSR1 gets a handler installed without SA_RESTART, so that a blocked read or write returns early with
// EINTR or a short count, as it does under a host that handles signals of its own. SIGPIPE is ignored, so
// that a reader that gives up early fails the writer's test instead of killing the test program.
class TestSignals {
 public:
  TestSignals() {
    struct sigaction action {};
    action.sa_handler = [](int) { signalsDelivered.fetch_add(1); };
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGUSR1, &action, &previousUser_);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, &previousPipe_);
  }
  ~TestSignals() {
    ::sigaction(SIGUSR1, &previousUser_, nullptr);
    ::sigaction(SIGPIPE, &previousPipe_, nullptr);
  }
  TestSignals(const TestSignals&) = delete;
  TestSignals& operator=(const TestSignals&) = delete;

 private:
  struct sigaction previousUser_ {};
  struct sigaction previousPipe_ {};
};

bool IsOpenNumber(int fd) {
  return ::fcntl(fd, F_GETFD) != -1;
}

// A pipe holds 64 KiB, so both ends block again and again while 8 MiB go through, and the signals keep
// interrupting them mid-transfer.
TEST(FileDescriptor, ReadAllAndWriteAllCarryOnThroughSignalsAndShortTransfers) {
  TestSignals signals;
  int ends[2];
  ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
  FileDescriptor in(ends[0]);
  FileDescriptor out(ends[1]);
  std::vector<char> sent(8 << 20);
  for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<char>(i * 7 + i / 4099);
  std::vector<char> received(sent.size() + 1);

  signalsDelivered = 0;
  std::atomic<int> running{2};
  std::error_code writeError, readError, closeError;
  std::size_t count = 0;
  std::thread writer([&] {
    writeError = out.WriteAll(sent.data(), sent.size());
    closeError = out.Close();
    --running;
  });
  std::thread reader([&] {
    count = in.ReadAll(received.data(), received.size(), readError);
    in.Close();  // a reader that stopped early must not leave the writer blocked on a full pipe
    --running;
  });
  while (running > 0) {
    ::pthread_kill(writer.native_handle(), SIGUSR1);
    ::pthread_kill(reader.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::microseconds(50));
  }
  writer.join();
  reader.join();

  EXPECT_FALSE(writeError) << writeError.message();
  EXPECT_FALSE(closeError) << closeError.message();
  EXPECT_FALSE(readError) << readError.message();
  ASSERT_EQ(count, sent.size()) << "a read that stops early ends only at the end of the file";
  received.resize(count);
  EXPECT_TRUE(received == sent);
  EXPECT_GT(signalsDelivered.load(), 0);
}

TEST(FileDescriptor, ClosesItsDescriptorExactlyOnce) {
  const int moved = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  {
    FileDescriptor first(moved);
    FileDescriptor second(std::move(first));
    FileDescriptor third;
    third = std::move(second);
    EXPECT_FALSE(first.IsOpen());
    EXPECT_FALSE(second.IsOpen());
    EXPECT_TRUE(IsOpenNumber(moved)) << "a move hands the descriptor over without closing it";
  }
  EXPECT_FALSE(IsOpenNumber(moved)) << "the last owner closes it";

  FileDescriptor replaced(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int old = replaced.Get();
  replaced = FileDescriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_FALSE(IsOpenNumber(old)) << "moving another one in closes the one held";

  // After Close() the number is free for the next open; the destructor must not close that file too.
  FileDescriptor closed(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  const int number = closed.Get();
  EXPECT_FALSE(closed.Close());
  FileDescriptor reopened(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  EXPECT_EQ(reopened.Get(), number);
  { FileDescriptor gone(std::move(closed)); }
  EXPECT_TRUE(IsOpenNumber(reopened.Get()));
}

TEST(FileDescriptor, ReportsFailuresInsteadOfLoopingOrThrowing) {
  FileDescriptor full(::open("/dev/full", O_WRONLY | O_CLOEXEC));
  char data[4096] = {};
  EXPECT_EQ(full.WriteAll(data, sizeof data), std::errc::no_space_on_device);
  std::error_code error;
  EXPECT_EQ(full.ReadAll(data, sizeof data, error), 0u);
  EXPECT_EQ(error, std::errc::bad_file_descriptor) << "opened for writing only";

  // Close reports what close said, and the descriptor is given up all the same.
  FileDescriptor stolen(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  ::close(stolen.Get());
  EXPECT_EQ(stolen.Close(), std::errc::bad_file_descriptor);
  EXPECT_FALSE(stolen.IsOpen());
}

}  // namespace
}  // namespace vela::utils
