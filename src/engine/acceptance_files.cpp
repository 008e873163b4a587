#include "engine/acceptance_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tarvik {

namespace {

// The suffix of the temporary file a replacement is written to first.
constexpr const char* kTemporarySuffix = ".tmp";

std::string Why(const char* what, const std::string& path, int error) {
  return std::string(what) + " " + path + ": " + std::strerror(error);
}

// Writes all of `bytes`, going on after partial writes; false when the file takes fewer.
bool WriteAll(int fd, std::span<const std::uint8_t> bytes, int& error) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    error = n < 0 ? errno : ENOSPC;
    return false;
  }
  return true;
}

}  // namespace

FileWriteResult ReplaceFile(const std::string& path,
                            std::initializer_list<std::span<const std::uint8_t>> parts) {
  FileWriteResult result;
  const std::string temporary = path + kTemporarySuffix;
  // Not following a link: the temporary name must not lead the data somewhere else.
  const int fd =
      ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  if (fd < 0) {
    result.error = Why("cannot create", temporary, errno);
    return result;
  }
  result.opened = true;
  int error = 0;
  for (const auto part : parts) {
    int partError = 0;
    if (!WriteAll(fd, part, partError)) {
      ++result.shortWrites;
      if (error == 0) error = partError;
    }
  }
  if (result.shortWrites == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    result.error = Why("cannot write", path, error);
    ::unlink(temporary.c_str());
    return result;
  }
  result.saved = true;
  return result;
}

FileWriteResult AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  FileWriteResult result;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) {
    result.error = Why("cannot open", path, errno);
    return result;
  }
  result.opened = true;
  struct stat before {};
  const bool sized = ::fstat(fd, &before) == 0;
  int error = 0;
  if (!WriteAll(fd, bytes, error)) {
    ++result.shortWrites;
    if (sized && ::ftruncate(fd, before.st_size) != 0) {
      result.error = Why("cannot cut back a partly written record in", path, errno) + "; ";
    }
  }
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error != 0) {
    result.error += Why("cannot write", path, error);
    return result;
  }
  result.saved = true;
  return result;
}

}  // namespace tarvik
