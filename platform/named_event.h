#pragma once
// A manual-reset event shared by all processes of the machine: a one-byte file in the lock folder,
// '1' while set and '0' while reset. The owner creates it (reset) and tests it without ever waiting;
// any user's program may set it. Reads and writes are single pread/pwrite calls, so a file that
// someone truncated or filled with rubbish simply reads as "not set".
#include <filesystem>
#include <memory>
#include <string>

namespace moxel {

class NamedEvent {
 public:
  // Opens `name`.event in `folder` (the lock folder by default), making it when missing, with mode
  // 0666 so that every user's programs can set it, and resets it. Null on failure; *error is then
  // the errno, and *step says whether making the object (1) or opening it to all users (2) failed.
  static std::unique_ptr<NamedEvent> create(const std::string& name,
                                            const std::filesystem::path& folder = {},
                                            int* error = nullptr, int* step = nullptr);
  // Opens an existing event to set it; null (and *error = errno) when it does not exist, which
  // means that its owner is not running.
  static std::unique_ptr<NamedEvent> open(const std::string& name,
                                          const std::filesystem::path& folder = {},
                                          int* error = nullptr);
  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  bool set();
  bool reset();
  bool is_set() const;
  // Tests without waiting and, when set, resets at once; true when it was set. A set that comes
  // after the reset is kept for the next test, so a change made during the work the caller does
  // for this one is never lost.
  bool test_and_reset();

  static std::filesystem::path file_for(const std::string& name,
                                        const std::filesystem::path& folder = {});

 private:
  explicit NamedEvent(int fd) : fd_(fd) {}
  bool write_state(char c);
  int fd_;
};

// Sets the named event once, if its owner runs: open, set, close. False when it could not be set.
bool signal_named_event(const std::string& name, const std::filesystem::path& folder = {});

}  // namespace moxel
