// File replacement through a synced, exclusively created temporary file.
//
// Order of steps in replaceFile, and what a failure at each leaves:
//   create "<target>.keldra-<pid>.tmp" with O_EXCL | O_NOFOLLOW, mode 0600
//       (taken name: false, nothing touched)
//   write all bytes, fchmod to the target's bits, fsync, close
//       (any failure: temporary removed, target untouched)
//   hard-link the old target to "<target>.keldra-<pid>.old" (best effort)
//   rename the temporary over the target, fsync the directory
//       (rename failure: temporary removed; directory sync failure: the old
//        target is put back from the link, or a new target removed again)
//   remove the link.
#include "exif/file_ops.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kd::exif {

int FileSystem::createExclusive(const char* path, mode_t mode) {
  return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
}
ssize_t FileSystem::write(int fd, const void* data, size_t n) { return ::write(fd, data, n); }
int FileSystem::fchmod(int fd, mode_t mode) { return ::fchmod(fd, mode); }
int FileSystem::fsync(int fd) { return ::fsync(fd); }
int FileSystem::close(int fd) { return ::close(fd); }
int FileSystem::rename(const char* from, const char* to) { return ::rename(from, to); }
int FileSystem::link(const char* from, const char* to) { return ::link(from, to); }
int FileSystem::unlink(const char* path) { return ::unlink(path); }

int FileSystem::syncDirectory(const char* path) {
  int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  int rc = ::fsync(fd);
  ::close(fd);
  return rc;
}

bool FileSystem::permissions(const char* path, mode_t& mode) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  mode = st.st_mode & 07777;
  return true;
}

bool FileSystem::exists(const char* path) {
  struct stat st;
  return ::lstat(path, &st) == 0;
}

bool FileSystem::readAll(const char* path, base::HeapBytes& out, size_t limit) {
  out.resize(0);
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  // Straight into a block of the file's size (at most `limit`), nothing
  // filled before it is read; bytes past that size (a file still growing,
  // a file without a size) come through a small buffer and are appended.
  struct stat st;
  bool ok = ::fstat(fd, &st) == 0;
  if (ok && S_ISREG(st.st_mode) && st.st_size > 0) {
    out.resize(static_cast<size_t>(std::min<uint64_t>(static_cast<uint64_t>(st.st_size), limit)));
  }
  uint8_t more[4096];
  size_t done = 0;
  while (ok && done < limit) {
    const bool room = done < out.size();
    const size_t want = room ? out.size() - done : std::min(sizeof more, limit - done);
    ssize_t n = ::read(fd, room ? out.data() + done : more, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ok = false;
    if (n <= 0) break;
    if (!room) out.append(more, static_cast<size_t>(n));
    done += static_cast<size_t>(n);
  }
  ::close(fd);
  out.resize(ok ? done : 0);
  return ok;
}

FileSystem& realFileSystem() {
  static FileSystem fs;
  return fs;
}

namespace {

std::string directoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Permission bits a newly created file would get: 0666 less the process's
// file-creation mask, read without changing it. 0600 when it cannot be read.
mode_t newFileMode() {
  std::FILE* f = std::fopen("/proc/self/status", "re");
  if (f == nullptr) return 0600;
  char line[256];
  mode_t mode = 0600;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    unsigned mask = 0;
    if (std::sscanf(line, "Umask: %o", &mask) == 1) {
      mode = static_cast<mode_t>(0666 & ~mask);
      break;
    }
  }
  std::fclose(f);
  return mode;
}

bool writeAll(FileSystem& fs, int fd, base::ByteView bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    size_t n = std::min<size_t>(bytes.size() - done, size_t{1} << 30);
    ssize_t w = fs.write(fd, bytes.data() + done, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    done += static_cast<size_t>(w);
  }
  return true;
}

}  // namespace

std::string temporaryPathFor(const std::string& target) {
  return target + ".keldra-" + std::to_string(::getpid()) + ".tmp";
}

base::HeapBytes readFileHead(const std::string& path, size_t limit, FileSystem& fs) {
  base::HeapBytes out;
  if (!fs.readAll(path.c_str(), out, limit)) out.resize(0);
  return out;
}

base::HeapBytes readWholeFile(const std::string& path, FileSystem& fs) {
  return readFileHead(path, SIZE_MAX, fs);
}

bool replaceFile(const std::string& target, base::ByteView bytes, FileSystem& fs) {
  Pieces content;
  content.addView(bytes);
  return replaceFile(target, content, fs);
}

bool replaceFile(const std::string& target, const Pieces& content, FileSystem& fs) {
  if (target.empty()) return false;
  const std::string tmp = temporaryPathFor(target);
  mode_t mode = 0;
  const bool existed = fs.permissions(target.c_str(), mode);
  if (!existed) mode = newFileMode();

  // One step: a name already taken (a file or a planted link) fails here and
  // is left alone.
  int fd = fs.createExclusive(tmp.c_str(), 0600);
  if (fd < 0) return false;
  auto abandon = [&](bool open) {
    if (open) fs.close(fd);
    fs.unlink(tmp.c_str());
    return false;
  };
  for (base::ByteView part : content.parts()) {
    if (!writeAll(fs, fd, part)) return abandon(true);
  }
  if (fs.fchmod(fd, mode) != 0) return abandon(true);
  if (fs.fsync(fd) != 0) return abandon(true);
  if (fs.close(fd) != 0) return abandon(false);

  const std::string backup = target + ".keldra-" + std::to_string(::getpid()) + ".old";
  const bool backedUp = existed && fs.link(target.c_str(), backup.c_str()) == 0;
  if (fs.rename(tmp.c_str(), target.c_str()) != 0) {
    if (backedUp) fs.unlink(backup.c_str());
    return abandon(false);
  }
  if (fs.syncDirectory(directoryOf(target).c_str()) != 0) {
    // The replacement may not survive a crash: report failure and put the
    // old state back as far as it can be.
    if (backedUp) {
      if (fs.rename(backup.c_str(), target.c_str()) != 0) fs.unlink(backup.c_str());
    } else if (!existed) {
      fs.unlink(target.c_str());
    }
    return false;
  }
  if (backedUp) fs.unlink(backup.c_str());
  return true;
}

bool writeExif(const std::string& source, const EditSession& s, const std::string& target,
               FileSystem& fs) {
  const base::HeapBytes src = readWholeFile(source, fs);
  if (src.empty()) return false;
  Pieces out = writeExifPieces(src.view(), s);
  if (out.empty()) return false;
  return replaceFile(target.empty() ? source : target, out, fs);
}

bool stripMetadata(const std::string& source, const std::string& target, FileSystem& fs) {
  const base::HeapBytes src = readWholeFile(source, fs);
  if (src.empty()) return false;
  Pieces out = stripMetadataPieces(src.view());
  if (out.empty()) return false;
  return replaceFile(target, out, fs);
}

}  // namespace kd::exif
