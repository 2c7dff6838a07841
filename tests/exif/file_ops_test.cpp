// Replacing files: the temporary-file protocol, fault injection at every
// step, a writer killed mid-write, and concurrent writers.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "exif/file_ops.h"
#include "support/temp_dir.h"

namespace kd::exif {
namespace {

namespace fs = std::filesystem;

using test::TempDir;

void put(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                              static_cast<std::streamsize>(b.size()));
}

Bytes get(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

mode_t modeOf(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

enum class Step { none, open, shortWrite, fchmod, fsync, close, rename, dirSync };

// Fails one step; "short write" writes half the bytes, then reports no space.
class FailingFileSystem : public FileSystem {
 public:
  explicit FailingFileSystem(Step s) : step_(s) {}
  int createExclusive(const char* p, mode_t m) override {
    return fail(Step::open) ? -1 : FileSystem::createExclusive(p, m);
  }
  ssize_t write(int fd, const void* d, size_t n) override {
    if (step_ != Step::shortWrite) return FileSystem::write(fd, d, n);
    if (wrote_) return errno = ENOSPC, -1;
    wrote_ = true;
    return FileSystem::write(fd, d, n / 2);
  }
  int fchmod(int fd, mode_t m) override {
    return fail(Step::fchmod) ? -1 : FileSystem::fchmod(fd, m);
  }
  int fsync(int fd) override { return fail(Step::fsync) ? -1 : FileSystem::fsync(fd); }
  int close(int fd) override {
    int rc = FileSystem::close(fd);
    return fail(Step::close) ? -1 : rc;
  }
  int rename(const char* a, const char* b) override {
    // Only the forward rename fails; putting the old file back works.
    if (step_ == Step::rename && std::string(a).ends_with(".tmp")) return errno = EIO, -1;
    return FileSystem::rename(a, b);
  }
  int syncDirectory(const char* p) override {
    return fail(Step::dirSync) ? -1 : FileSystem::syncDirectory(p);
  }

 private:
  bool fail(Step s) {
    if (step_ != s) return false;
    errno = EIO;
    return true;
  }
  Step step_;
  bool wrote_ = false;
};

TEST(ReplaceFile, EveryFailingStepLeavesTheTargetAndNoTemporary) {
  const Bytes oldBytes(1000, 'o'), newBytes(3000, 'n');
  for (Step step : {Step::open, Step::shortWrite, Step::fchmod, Step::fsync, Step::close,
                    Step::rename, Step::dirSync}) {
    for (bool existed : {true, false}) {
      TempDir dir;
      const std::string target = dir.file("t.jpg");
      if (existed) {
        put(target, oldBytes);
        ::chmod(target.c_str(), 0640);
      }
      FailingFileSystem failing(step);
      EXPECT_FALSE(replaceFile(target, newBytes, failing)) << static_cast<int>(step);
      if (existed) {
        EXPECT_EQ(get(target), oldBytes) << static_cast<int>(step);
        EXPECT_EQ(modeOf(target), 0640u);
      } else {
        EXPECT_FALSE(fs::exists(target)) << static_cast<int>(step);
      }
      EXPECT_EQ(dir.count(), existed ? 1u : 0u) << "leftover file, step " << static_cast<int>(step);
    }
  }
}

TEST(ReplaceFile, SuccessKeepsPermissionBits) {
  TempDir dir;
  const std::string target = dir.file("t.jpg");
  put(target, Bytes(10, 'o'));
  ::chmod(target.c_str(), 0604);
  EXPECT_TRUE(replaceFile(target, Bytes(5, 'n')));
  EXPECT_EQ(get(target), Bytes(5, 'n'));
  EXPECT_EQ(modeOf(target), 0604u);
  EXPECT_EQ(dir.count(), 1u);
  const mode_t mask = ::umask(022);
  EXPECT_TRUE(replaceFile(dir.file("new.jpg"), Bytes(3, 'x')));
  ::umask(mask);
  EXPECT_EQ(modeOf(dir.file("new.jpg")), 0644u);
  EXPECT_FALSE(replaceFile("", Bytes(3, 'x')));
}

TEST(ReplaceFile, TakenTemporaryNameFailsAndTouchesNothing) {
  TempDir dir;
  const std::string target = dir.file("t.jpg");
  put(target, Bytes(10, 'o'));
  put(temporaryPathFor(target), Bytes(4, 't'));
  EXPECT_FALSE(replaceFile(target, Bytes(5, 'n')));
  EXPECT_EQ(get(target), Bytes(10, 'o'));
  EXPECT_EQ(get(temporaryPathFor(target)), Bytes(4, 't'));
}

// A link planted at the temporary name is never written through.
TEST(ReplaceFile, PlantedSymlinkIsNotFollowed) {
  TempDir dir;
  const std::string target = dir.file("t.jpg"), victim = dir.file("victim");
  put(target, Bytes(10, 'o'));
  put(victim, Bytes(7, 'v'));
  ASSERT_EQ(::symlink(victim.c_str(), temporaryPathFor(target).c_str()), 0);
  EXPECT_FALSE(replaceFile(target, Bytes(5, 'n')));
  EXPECT_EQ(get(victim), Bytes(7, 'v'));
  EXPECT_EQ(get(target), Bytes(10, 'o'));
  // A dangling link counts as taken too.
  fs::remove(victim);
  EXPECT_FALSE(replaceFile(target, Bytes(5, 'n')));
  EXPECT_FALSE(fs::exists(victim));
}

// Writes in 1 MiB pieces and tells the parent after the first one, then
// slows down so the kill lands mid-write.
class SlowFileSystem : public FileSystem {
 public:
  explicit SlowFileSystem(int signalFd) : fd_(signalFd) {}
  ssize_t write(int fd, const void* d, size_t n) override {
    ssize_t w = FileSystem::write(fd, d, std::min<size_t>(n, 1 << 20));
    if (!told_) {
      char c = 1;
      if (::write(fd_, &c, 1) != 1) _exit(3);
      told_ = true;
    }
    ::usleep(2000);
    return w;
  }

 private:
  int fd_;
  bool told_ = false;
};

TEST(ReplaceFile, KilledWriterLeavesOldOrNewNeverAMix) {
  TempDir dir;
  const std::string target = dir.file("big.jpg");
  const Bytes oldBytes(8 << 20, 'o'), newBytes(64 << 20, 'n');
  put(target, oldBytes);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    SlowFileSystem slow(pipeFds[1]);
    _exit(replaceFile(target, newBytes, slow) ? 0 : 1);
  }
  ::close(pipeFds[1]);
  char c;
  ASSERT_EQ(::read(pipeFds[0], &c, 1), 1);
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  ::close(pipeFds[0]);
  EXPECT_TRUE(WIFSIGNALED(status));
  Bytes now = get(target);
  EXPECT_TRUE(now == oldBytes || now == newBytes) << "mixed target of " << now.size();
}

// Pauses the first writer inside write() until the second has tried.
class GateFileSystem : public FileSystem {
 public:
  ssize_t write(int fd, const void* d, size_t n) override {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [&] { return open_; });
    return FileSystem::write(fd, d, n);
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_);
    open_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool open_ = false;
};

TEST(ReplaceFile, TwoThreadsOnOneTargetOneFailsCleanly) {
  TempDir dir;
  const std::string target = dir.file("t.jpg");
  put(target, Bytes(10, 'o'));
  GateFileSystem gate;
  bool first = false, second = true;
  std::thread a([&] { first = replaceFile(target, Bytes(20, 'a'), gate); });
  while (!fs::exists(temporaryPathFor(target))) std::this_thread::yield();
  std::thread b([&] { second = replaceFile(target, Bytes(30, 'b')); });
  b.join();
  gate.release();
  a.join();
  EXPECT_TRUE(first);
  EXPECT_FALSE(second);
  EXPECT_EQ(get(target), Bytes(20, 'a'));
  EXPECT_EQ(dir.count(), 1u);
}

TEST(ReplaceFile, ThreadsOnDifferentTargets) {
  TempDir dir;
  std::vector<std::thread> threads;
  std::atomic<int> ok{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const std::string t = dir.file("f" + std::to_string(i));
      for (int k = 0; k < 20; ++k) ok += replaceFile(t, Bytes(100 + k, static_cast<uint8_t>(i)));
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(ok.load(), 160);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(get(dir.file("f" + std::to_string(i))).size(), 119u);
}

TEST(ReadWholeFile, EmptyOnErrors) {
  TempDir dir;
  EXPECT_TRUE(readWholeFile(dir.file("missing")).empty());
  EXPECT_TRUE(readWholeFile(dir.file("")).empty());
  put(dir.file("x"), Bytes(70000, 3));
  EXPECT_EQ(readWholeFile(dir.file("x")).toBytes(), Bytes(70000, 3));
  // A file that reports no size still reads to its end.
  const auto status = readWholeFile("/proc/self/smaps");
  ASSERT_GT(status.size(), 4096u);
  EXPECT_EQ(status.data()[status.size() - 1], '\n');
}

}  // namespace
}  // namespace kd::exif
