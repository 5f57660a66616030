// The saving primitives: a file written beside its target under a temporary
// name and moved over it only once complete, and the clean-up of that
// temporary file when the program is stopped (signals on POSIX, console
// control events on Windows). One implementation per system.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "platform/files.h"

namespace tonvell::platform {

enum class WriteStatus {
  kWritten,      // a new file
  kReplaced,     // an existing file replaced
  kCannotOpen,   // the target or its folder cannot be written (read-only, a folder, no such folder)
  kWriteFailed,  // writing failed (disk full, file-size limit); an older file is kept
  kNotDone,      // writeNewFile only: nothing was written, the usual way must save it
};

struct WriteResult {
  WriteResult() = default;
  WriteResult(WriteStatus s, int e) : status(s), error(e) {}
  WriteStatus status = WriteStatus::kWritten;
  int error = 0;  // errno of a failure, 0 when the system reported none
  // The file written (kWritten, kReplaced), when the system told it.
  bool identified = false;
  FileIdentity identity;
};

// Receives a file's bytes as they are made. A write that fails (a full disk,
// the file-size limit) fails the save with the system's reason; the calls
// after it do nothing and return false.
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  // Appends.
  virtual bool write(const void* data, std::size_t size) = 0;
  // Writes over bytes written already (a header whose sizes are known only
  // at the end).
  virtual bool writeAt(std::uint64_t offset, const void* data, std::size_t size) = 0;
};

// An OutputSink onto one open file: the ceiling on its length (EFBIG past
// it) and the first error, after which every call fails, kept here; each
// system supplies the write itself.
class CappedFileSink : public OutputSink {
 public:
  explicit CappedFileSink(std::uint64_t maxBytes) : maxBytes_(maxBytes) {}
  bool write(const void* data, std::size_t size) final { return writeAt(length_, data, size); }
  bool writeAt(std::uint64_t offset, const void* data, std::size_t size) final {
    if (error_ != 0) return false;
    if (offset > maxBytes_ || size > maxBytes_ - offset) return fail(EFBIG);
    if (const int error = put(offset, data, size); error != 0) return fail(error);
    if (offset + size > length_) length_ = offset + size;
    return true;
  }
  // The errno of the first failure, 0 while none.
  int error() const { return error_; }

 protected:
  // Writes every one of `size` bytes at `offset`: 0, or the system's errno.
  virtual int put(std::uint64_t offset, const void* data, std::size_t size) = 0;

 private:
  bool fail(int error) {
    error_ = error != 0 ? error : EIO;
    return false;
  }
  std::uint64_t maxBytes_;
  std::uint64_t length_ = 0;
  int error_ = 0;
};

// Makes the file's contents; false when it gave up (after a failed write,
// or for a reason of its own, which it keeps).
using OutputWriter = std::function<bool(OutputSink&)>;

// Writes what `produce` makes to `path` through a temporary file in the
// target's folder, renamed over the target when every byte is written (and
// flushed when an older file is replaced). A file that would grow past
// `maxBytes` fails with EFBIG. A read-only target is refused, not replaced.
// On POSIX a symbolic link is written through and kept.
WriteResult writeFileReplacing(const std::string& path, const OutputWriter& produce, std::uint64_t maxBytes);

// Writes what `produce` makes as the new file `path`, which does not exist:
// the file is made without a name and linked into its folder once every
// byte is written, so that whatever ends the program (an interrupt, a kill,
// a full disk) no partial or temporary file is ever left. It takes no part
// in the interrupt clean-up and may run on any thread, beside other saves.
// kNotDone, with nothing written, where the system or the file system
// cannot make such a file or when `path` has come into being meanwhile;
// writeFileReplacing then saves it.
WriteResult writeNewFile(const std::string& path, const OutputWriter& produce, std::uint64_t maxBytes);

// Makes an interrupt (SIGINT, SIGTERM, SIGHUP and the other signals that end
// a program by default, SIGKILL apart; Ctrl-C, Ctrl-Break, closing
// the console window) remove the temporary file of a save in progress
// before the program ends as it would have. An interrupt the process ignores
// stays ignored. Call once, before the first save.
void removeTemporaryOutputOnInterrupt();

// Bytes of a stream the program holds back and writes out itself, in
// blocks: an interrupt that ends the program first writes out the first
// `*length` bytes at `bytes` to `descriptor` (null `bytes`: nothing). The
// program stores bytes before it counts them in *length, and writes them
// out and takes them off *length only while it holds interrupts
// (InterruptsHeld), so that no byte goes out twice or half written. Where
// interrupts cannot be held (Windows), heldOutputCapacity() is 0 and nothing
// is held.
void writeHeldOutputOnInterrupt(int descriptor, const char* bytes, const volatile std::sig_atomic_t* length);
std::size_t heldOutputCapacity();

// While alive, interrupts wait: on POSIX the calling thread does not take the
// termination signals (threads started meanwhile inherit that); on Windows,
// where the console event arrives on a thread of its own, there is nothing to
// hold back.
class InterruptsHeld {
 public:
  InterruptsHeld();
  ~InterruptsHeld();
  InterruptsHeld(const InterruptsHeld&) = delete;
  InterruptsHeld& operator=(const InterruptsHeld&) = delete;

 private:
  alignas(8) unsigned char previous_[128];  // the thread's signal mask before
};

}  // namespace tonvell::platform
