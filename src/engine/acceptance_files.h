// Writing "LOG.dat" and appending to the Ad data file. Both report what went wrong in the two
// ways the log can say it: the file did not open, or fewer bytes than asked were written.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace tarvik {

struct FileWriteResult {
  bool opened = false;
  // One entry per part that was written short (a full disk, a size limit, an I/O error). A part
  // after a short one is still attempted, so two short parts give two entries.
  int shortWrites = 0;
  // True when the data reached their place: all parts written and, for a replaced file, the
  // temporary file flushed and renamed over the old one.
  bool saved = false;
  std::string error;  // why it failed (errno text and the file), empty on success
};

// Replaces the file at `path` with `parts` written one after the other. The parts go to a
// temporary file beside it, which is synced and then renamed over `path`, so a crash or a full
// disk leaves either the old file or the complete new one, never a part of it. On any failure
// the temporary file is removed and `path` is untouched.
FileWriteResult ReplaceFile(const std::string& path,
                            std::initializer_list<std::span<const std::uint8_t>> parts);

// Appends `bytes` to the file at `path`, creating it when missing. A short write is cut back to
// the size the file had, so a later record never lands in the middle of a broken one.
FileWriteResult AppendToFile(const std::string& path, std::span<const std::uint8_t> bytes);

}  // namespace tarvik
