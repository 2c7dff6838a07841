// Replacing files safely: every file operation of the write and strip paths
// goes through one narrow interface, so tests can make each step fail.
//
// replaceFile writes the new content to "<target>.keldra-<pid>.tmp", created
// exclusively (never through a planted link) and private until it is
// complete, syncs it, gives it the target's permission bits, renames it over
// the target and syncs the directory. On any failure the target keeps its
// old content and the temporary file is removed.
#pragma once

#include <sys/types.h>

#include <string>

#include "base/bytes.h"
#include "base/heap_bytes.h"
#include "exif/edit.h"

namespace kd::exif {

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode)
  virtual int createExclusive(const char* path, mode_t mode);
  virtual ssize_t write(int fd, const void* data, size_t n);
  virtual int fchmod(int fd, mode_t mode);
  virtual int fsync(int fd);
  virtual int close(int fd);
  virtual int rename(const char* from, const char* to);
  virtual int link(const char* from, const char* to);
  virtual int unlink(const char* path);
  // Opens the directory, fsyncs it and closes it; 0 on success.
  virtual int syncDirectory(const char* path);
  // Permission bits of an existing file; false when it does not exist.
  virtual bool permissions(const char* path, mode_t& mode);
  virtual bool exists(const char* path);
  // The whole file, or its first `limit` bytes; false on any error.
  virtual bool readAll(const char* path, base::HeapBytes& out, size_t limit);
};

FileSystem& realFileSystem();

// The library's one whole-file read: the file's first `limit` bytes (all
// of it when shorter); empty on any I/O error.
base::HeapBytes readFileHead(const std::string& path, size_t limit,
                             FileSystem& fs = realFileSystem());
// readFileHead without a size cap.
base::HeapBytes readWholeFile(const std::string& path, FileSystem& fs = realFileSystem());
bool replaceFile(const std::string& target, base::ByteView bytes,
                 FileSystem& fs = realFileSystem());
bool replaceFile(const std::string& target, const Pieces& content,
                 FileSystem& fs = realFileSystem());
// Target empty: the source is replaced.
bool writeExif(const std::string& source, const EditSession& s, const std::string& target,
               FileSystem& fs = realFileSystem());
bool stripMetadata(const std::string& source, const std::string& target,
                   FileSystem& fs = realFileSystem());
// "<target>.keldra-<pid>.tmp"
std::string temporaryPathFor(const std::string& target);

}  // namespace kd::exif
