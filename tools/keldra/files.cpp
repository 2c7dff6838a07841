// Files in and out: whole-file reads with the errno text on failure, the
// walk that turns operands into the files of a batch, and the output path
// that never leaves a partial file under the target's name.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "cli.h"

namespace cli {

namespace {

// The temporary file being written, for the signal handler to remove. Only
// the main thread writes outputs, one at a time.
char gTemporary[PATH_MAX + 32];

extern "C" void removeTemporaryAndExit(int sig) {
  if (gTemporary[0] != '\0') ::unlink(gTemporary);
  ::_exit(128 + sig);
}

void setTemporary(const std::string& path) {
  // Signals are blocked while the name changes, so the handler never sees
  // half of it.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, &old);
  std::snprintf(gTemporary, sizeof gTemporary, "%s", path.c_str());
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

// Reads everything from `fd` (at most `limit` bytes) into `out`, straight
// into its block (`sizeHint`: the file's size when known); errno on failure.
int readAll(int fd, size_t sizeHint, size_t limit, Bytes& out, bool& complete) {
  out.assign(std::min(std::max<size_t>(sizeHint, 65536), limit), 0);
  size_t filled = 0;
  complete = true;
  while (true) {
    if (filled == out.size()) {
      if (filled == limit) {
        // One byte more tells whether the input goes on.
        uint8_t probe;
        ssize_t n = ::read(fd, &probe, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        complete = n == 0;
        return 0;
      }
      out.resize(std::min(limit, out.size() * 2));
    }
    ssize_t n = ::read(fd, out.data() + filled, out.size() - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;
    filled += static_cast<size_t>(n);
  }
  out.resize(filled);
  return 0;
}

std::string parentOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A link as output is followed to the file it names, so the link stays.
std::string resolveTarget(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) != nullptr) return buf;
  return path;
}

mode_t modeForNewFile() {
  mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

void writeStream(const std::string& path, const uint8_t* data, size_t len) {
  if (len != 0 && std::fwrite(data, 1, len, stdout) != len) {
    throw FileError(path, errnoText(errno));
  }
  if (std::fflush(stdout) != 0) throw FileError(path, errnoText(errno));
}

struct Walker {
  const GatherOptions& opts;
  std::vector<Entry>& out;

  bool wanted(const std::string& name) const {
    return opts.extensions.empty() || opts.extensions.count(extensionOf(name)) != 0;
  }

  void walk(const std::string& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) {
      out.push_back({dir, errnoText(errno)});
      return;
    }
    std::vector<std::pair<std::string, unsigned char>> names;
    while (dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      names.emplace_back(e->d_name, e->d_type);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    const std::string prefix = dir.back() == '/' ? dir : dir + "/";
    for (const auto& [name, type] : names) {
      const std::string path = prefix + name;
      bool isDir = type == DT_DIR, isFile = type == DT_REG;
      if (type == DT_LNK || type == DT_UNKNOWN) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) {
          out.push_back({path, errnoText(errno)});
          continue;
        }
        isDir = S_ISDIR(st.st_mode);
        isFile = S_ISREG(st.st_mode);
        // Links to files are read; links to directories are not walked,
        // so a link loop cannot make the walk endless.
        if (S_ISLNK(st.st_mode)) {
          if (::stat(path.c_str(), &st) != 0) {
            out.push_back({path, errnoText(errno)});
            continue;
          }
          isFile = S_ISREG(st.st_mode);
        }
      }
      if (isDir) {
        walk(path);
      } else if (isFile && wanted(name)) {
        out.push_back({path, ""});
      }
    }
  }

  void add(const std::string& path) {
    if (path == "-") {
      out.push_back({path, ""});
      return;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      out.push_back({path, errnoText(errno)});
    } else if (!S_ISDIR(st.st_mode)) {
      out.push_back({path, ""});
    } else if (opts.recursive) {
      walk(path);
    } else {
      out.push_back({path, "is a directory (-r reads the files in it)"});
    }
  }
};

}  // namespace

std::string errnoText(int err) { return std::generic_category().message(err); }

std::string extensionOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
  std::string ext = path.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext;
}

Bytes readInput(const std::string& path, size_t limit, bool* complete) {
  Bytes out;
  bool whole = true;
  if (path == "-") {
    // Standard input cannot be read a second time: it is read whole.
    int err = readAll(STDIN_FILENO, 0, kMaxInput, out, whole);
    if (err != 0) throw FileError(path, errnoText(err));
    if (!whole) throw FileError(path, "larger than 1 GiB");
    if (complete != nullptr) *complete = true;
    return out;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw FileError(path, errnoText(errno));
  struct stat st;
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    throw FileError(path, errnoText(err));
  }
  size_t hint = S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0;
  int err = readAll(fd, hint, limit, out, whole);
  ::close(fd);
  if (err != 0) throw FileError(path, errnoText(err));
  if (complete != nullptr) *complete = whole;
  return out;
}

Bytes readWhole(const std::string& path) {
  bool complete = true;
  Bytes data = readInput(path, kMaxInput, &complete);
  if (!complete) throw FileError(path, "larger than 1 GiB");
  return data;
}

void writeOutput(const std::string& path, const uint8_t* data, size_t len) {
  if (path == "-") return writeStream(path, data, len);
  const std::string target = resolveTarget(path);
  const std::string dir = parentOf(target);
  const std::string base = target.substr(target.find_last_of('/') + 1);
  std::string temp = (dir == "/" ? "" : dir) + "/." + base + ".keldra-XXXXXX";
  mode_t mode = modeForNewFile();
  struct stat st;
  if (::stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw FileError(path, errnoText(EISDIR));
    mode = st.st_mode & 07777;
  }
  std::vector<char> name(temp.begin(), temp.end());
  name.push_back('\0');
  int fd = ::mkstemp(name.data());
  if (fd < 0) throw FileError(path, "cannot create a file in " + dir + ": " + errnoText(errno));
  temp = name.data();
  setTemporary(temp);
  int err = 0;
  for (size_t done = 0; done < len && err == 0;) {
    ssize_t n = ::write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  if (err == 0 && ::fchmod(fd, mode) != 0) err = errno;
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err == 0 && ::rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    ::unlink(temp.c_str());
    setTemporary("");
    throw FileError(path, errnoText(err));
  }
  setTemporary("");
  // The rename reaches the disk with the directory.
  int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
}

bool sameFile(const std::string& a, const std::string& b) {
  if (a == "-" || b == "-") return false;
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) != 0 || ::stat(b.c_str(), &sb) != 0) return false;
  return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

void installSignalHandlers() {
  std::signal(SIGPIPE, SIG_IGN);
  struct sigaction sa {};
  sa.sa_handler = removeTemporaryAndExit;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &sa, nullptr);
}

std::vector<Entry> gatherFiles(const std::vector<std::string>& operands, const GatherOptions& opts) {
  std::vector<Entry> out;
  Walker walker{opts, out};
  for (const std::string& p : operands) walker.add(p);
  if (opts.listFile.empty()) return out;
  const Bytes list = readWhole(opts.listFile);
  std::string line;
  for (size_t i = 0; i <= list.size(); ++i) {
    if (i < list.size() && list[i] != '\n') {
      line.push_back(static_cast<char>(list[i]));
      continue;
    }
    if (!line.empty()) walker.add(line);
    line.clear();
  }
  return out;
}

}  // namespace cli
