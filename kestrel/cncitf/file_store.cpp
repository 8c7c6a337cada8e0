#include "kestrel/cncitf/file_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace kestrel {
namespace {

constexpr const char* kCardRoot = "A:";
constexpr const char* kFormatLabel = "MOXEL LTD";
constexpr uint32_t kPatternOffset = 0x100;
constexpr uint32_t kWriteChunk = 1024;

constexpr const char* kNotAttached = "Memory card is not attached to CNC.";
constexpr const char* kBatteryAlarm =
    "Memory card is battery alarm state.\nCheck the memory card's battery.";
// Both state bits set: the card reports neither attached nor in alarm; it is not usable yet.
constexpr const char* kNotReady = "Memory card is not ready.\nCheck the memory card.";
constexpr const char* kProtected = "Memory card is protected.\nTurn off the protect switch.";
constexpr const char* kUnformatted = "Memory card is not formatted.\nFormat the memory card.";
constexpr const char* kFlashDelete = "This is a flash type memory card.\nFormat the memory card.";
constexpr const char* kNotAvailable = "Memory card is not available.\nChenge memory card.";
constexpr const char* kFormatFailed = "Couldn't format memory card.\nChange memory card.";

std::string errno_text(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string card_error_text(uint32_t detail) {
  const char* known = nullptr;
  switch (detail) {
    case 2: known = "no such file"; break;
    case 3: known = "no such folder"; break;
    case 4: known = "too many open files"; break;
    case 5: known = "access denied"; break;
    case 6: known = "file not open"; break;
    case 19: known = "write protected"; break;
    case 21: known = "no card"; break;
    case kCardNotFormatted: known = "not formatted"; break;
    case 39: known = "card full"; break;
    case 80: known = "file exists"; break;
    case 123: known = "not an 8.3 name"; break;
    case kCardNotAvailable: known = "card not available"; break;
  }
  char text[96];
  std::snprintf(text, sizeof text, "memory card error 0x%X%s%s", unsigned(detail),
                known ? ": " : "", known ? known : "");
  return text;
}

// "*.*" is every file, as on the card; anything else is a shell pattern.
bool matches(const std::string& pattern, const std::string& name) {
  if (pattern == "*.*" || pattern == "*") return true;
  return fnmatch(pattern.c_str(), name.c_str(), 0) == 0;
}

bool fsync_folder(const std::string& folder) {
  int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = ::fsync(fd) == 0;
  ::close(fd);
  return ok;
}

// The card's functions through the node's CNC interface.
class CItfChannel : public CCardChannel {
 public:
  explicit CItfChannel(CCncItf& itf) : itf_(itf) {}
  void Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, uint32_t i4, int wait) override {
    // An interface that already failed does nothing and answers status 0xFFFF; there is then no
    // call for Complete to wait for.
    refused_ = itf_.Call(function, i1, i2, i3, i4, wait) != 0;
  }
  void Complete() override {
    if (!refused_) itf_.Complete();
  }
  void Release() override { itf_.Release(); }
  void Hold() override { holds_.push_back(std::make_unique<CCncItf::Hold>(itf_)); }
  void Unhold() override { holds_.pop_back(); }
  CCardResult Result() const override {
    const MailboxImage& m = itf_.Image();
    return {m.status, m.error, m.o1, m.o2, m.o3, m.o4};
  }
  void WriteBytes(uint32_t offset, const uint8_t* buffer, int count) override {
    itf_.WriteBytes(offset, buffer, count);
  }
  void ReadBytes(uint32_t offset, uint8_t* buffer, int count) override {
    itf_.ReadBytes(offset, buffer, count);
  }
  uint32_t BufferBase() const override { return itf_.BufferBase(); }
  [[noreturn]] void Fail(const std::string& message) override { throw CItfErr(0, message); }

 private:
  CCncItf& itf_;
  bool refused_ = false;
  std::vector<std::unique_ptr<CCncItf::Hold>> holds_;
};

// The interface lock over one card operation (its strings, calls and data), never over a
// question to the operator.
class CardHold {
 public:
  explicit CardHold(CCardChannel& channel) : channel_(channel) { channel_.Hold(); }
  ~CardHold() { channel_.Unhold(); }
  CardHold(const CardHold&) = delete;
  CardHold& operator=(const CardHold&) = delete;

 private:
  CCardChannel& channel_;
};

}  // namespace

std::optional<std::chrono::system_clock::time_point> DosTimeToUtc(uint16_t date, uint16_t time) {
  std::tm local{};
  local.tm_year = 80 + (date >> 9);
  local.tm_mon = ((date >> 5) & 15) - 1;
  local.tm_mday = date & 31;
  local.tm_hour = time >> 11;
  local.tm_min = (time >> 5) & 63;
  local.tm_sec = (time & 31) * 2;
  local.tm_isdst = -1;  // the offset that held on that date, summer or winter
  if (local.tm_mon < 0 || local.tm_mon > 11 || local.tm_mday < 1 || local.tm_hour > 23 ||
      local.tm_min > 59 || local.tm_sec > 59)
    return std::nullopt;
  std::tm check = local;
  time_t t = std::mktime(&check);
  if (t == time_t(-1) || check.tm_mday != local.tm_mday) return std::nullopt;  // 31 April
  return std::chrono::system_clock::from_time_t(t);
}

CFileEntry DecodeCardEntry(const uint8_t* e) {
  CFileEntry entry;
  const char* name = reinterpret_cast<const char*>(e + 30);
  entry.name.assign(name, strnlen(name, 13));
  entry.time = DosTimeToUtc(uint16_t(e[24] | e[25] << 8), uint16_t(e[22] | e[23] << 8));
  entry.size = uint32_t(e[26] | e[27] << 8 | e[28] << 16 | uint32_t(e[29]) << 24);
  return entry;
}

std::string FileSizeText(uint64_t size) {
  return std::to_string(size / 1024 + (size % 1024 ? 1 : 0)) + "KB";
}

std::string FileTimeText(const std::optional<std::chrono::system_clock::time_point>& time) {
  if (!time) return {};
  time_t t = std::chrono::system_clock::to_time_t(*time);
  std::tm local{};
  char text[64];
  if (!localtime_r(&t, &local) || !std::strftime(text, sizeof text, "%x %X", &local)) return {};
  return text;
}

CCncFileStore::CCncFileStore(CCncItf& itf, moxel::Prompter& prompter)
    : own_channel_(std::make_unique<CItfChannel>(itf)), channel_(*own_channel_), prompter_(prompter) {}

CCncFileStore::CCncFileStore(CCardChannel& channel, moxel::Prompter& prompter)
    : channel_(channel), prompter_(prompter) {}

CCncFileStore::~CCncFileStore() {
  // Leaving with a replacement unfinished must not put a partial file in place of the old one.
  DropReplacement();
  try {
    CloseFile();
    CloseStore();
  } catch (...) {
    // The CNC interface already failed; its error was reported where it was thrown.
  }
}

void CCncFileStore::Tell(const std::string& text, moxel::Icon icon) {
  prompter_.tell(kStoreCaption, text, icon);
}

int CCncFileStore::Fail(const std::string& why) {
  error_text_ = why;
  return 0;
}

void CCncFileStore::PutString(const std::string& text, uint32_t offset) {
  channel_.WriteBytes(channel_.BufferBase() + offset, reinterpret_cast<const uint8_t*>(text.c_str()),
                      int(text.size() + 1));
}

uint16_t CCncFileStore::CardCall(uint16_t function, uint16_t i1, uint32_t i3, uint32_t i4) {
  channel_.Call(function, i1, 0, i3, i4, 1);
  uint16_t status = channel_.Result().status;
  if (status != 0) error_text_ = card_error_text(channel_.Result().o4);
  return status;
}

uint16_t CCncFileStore::PreparedCardCall(uint16_t function, const char* text, bool* prepared) {
  if (CardCall(0x302) != 0) {
    Fail("memory card identifier could not be read");
    return 0xFFFF;
  }
  card_ = channel_.Result().o1;
  CardCall(0x401);
  CardCall(0x402);
  *prepared = true;
  CardHold hold(channel_);
  PutString(text);
  return CardCall(function, card_, channel_.BufferBase());
}

int CCncFileStore::CheckCard() {
  error_text_.clear();
  for (;;) {
    // An interface that already failed answers every call at once with a nonzero status and no
    // outputs of its own: the card then counts as not ready rather than ready by an old answer.
    if (CardCall(0x301) != 0) return Fail("memory card status could not be read");
    const char* text = nullptr;
    switch (channel_.Result().o1 & 3) {
      case 0: return 1;
      case 1: text = kNotAttached; break;
      case 2: text = kBatteryAlarm; break;
      default: text = kNotReady; break;
    }
    // Cancel is the default: a prompter that answers unasked (no one to ask) must not loop.
    moxel::Answer a = prompter_.ask(kStoreCaption, text, moxel::Buttons::retry_cancel,
                                    moxel::Icon::exclamation, moxel::Answer::cancel);
    if (a != moxel::Answer::retry) return Fail(text);
  }
}

int CCncFileStore::CheckWritable() {
  error_text_.clear();
  if (CardCall(0x301) != 0) return Fail("memory card status could not be read");
  if (channel_.Result().o1 == 4) {
    Tell(kProtected);
    return Fail(kProtected);
  }
  return 1;
}

int CCncFileStore::IsFlashCard() {
  return CardCall(0x301) == 0 && channel_.Result().o2 == 1 ? 1 : 0;
}

int CCncFileStore::OpenStore(int on_card, const std::string& folder) {
  error_text_.clear();
  // Opening again (as every listing does) starts afresh: a failure leaves the store closed, never
  // open on the old root with the new kind.
  store_open_ = false;
  on_card_ = on_card != 0;
  if (on_card_) {
    if (!CheckCard()) return 0;
    bool prepared = false;
    uint16_t status = PreparedCardCall(0x42C, kCardRoot, &prepared);
    if (!prepared) return 0;
    if (status != 0) {
      if ((channel_.Result().o4 & 0xFFFF) == kCardNotFormatted) {
        Tell(kUnformatted);
        return Fail(kUnformatted);
      }
      channel_.Fail("");
    }
    root_ = kCardRoot;
  } else {
    root_ = folder;
    struct stat st;
    if (root_.empty()) return Fail("no folder given");
    if (::stat(root_.c_str(), &st) != 0) return Fail(errno_text(root_));
    if (!S_ISDIR(st.st_mode)) return Fail(root_ + ": not a folder");
  }
  const char separator = on_card_ ? '\\' : '/';
  if (root_.back() != separator) root_ += separator;
  store_open_ = true;
  return 1;
}

void CCncFileStore::CloseStore() {
  if (store_open_ && on_card_) CardCall(0x42D, card_);
  store_open_ = false;
}

std::string CCncFileStore::FolderPath(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find_first_of("/\\") != std::string::npos) {
    Fail("'" + name + "' is not a file name in the folder (a name may not be empty, \".\" or "
         "\"..\", nor hold \"/\" or \"\\\")");
    return {};
  }
  return root_ + name;
}

int CCncFileStore::OpenFolderFile(const std::string& name, int flags, bool for_writing) {
  std::string path = FolderPath(name);
  if (path.empty()) return 0;
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
  if (fd < 0) return Fail(errno_text(path));
  fd_ = fd;
  write_mode_ = for_writing;
  file_open_ = true;
  return 1;
}

int CCncFileStore::CardOpen(const std::string& name, uint16_t function, uint16_t i1,
                            bool for_writing) {
  CardHold hold(channel_);
  PutString(root_ + name);
  if (CardCall(function, i1, channel_.BufferBase()) != 0) return 0;
  card_file_ = channel_.Result().o1;
  write_mode_ = for_writing;
  file_open_ = true;
  return 1;
}

int CCncFileStore::CreateFile(const std::string& name) {
  error_text_.clear();
  if (!store_open_) return Fail("the store is not open");
  if (file_open_) return Fail("a file is already open");
  if (on_card_) return CardOpen(name, 0x403, 1, true);
  return OpenFolderFile(name, O_WRONLY | O_CREAT | O_EXCL, true);
}

int CCncFileStore::CreateReplacement(const std::string& name) {
  error_text_.clear();
  if (!store_open_ || on_card_) return Fail("a replacement is made in a folder store only");
  if (file_open_) return Fail("a file is already open");
  std::string path = FolderPath(name);
  if (path.empty()) return 0;
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp = root_ + "." + name + "." + std::to_string(::getpid()) + "-" +
                       std::to_string(counter++) + ".part";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) continue;
    if (fd < 0) return Fail(errno_text(temp));
    fd_ = fd;
    temp_path_ = temp;
    final_path_ = path;
    writes_complete_ = true;
    write_mode_ = true;
    file_open_ = true;
    return 1;
  }
  return Fail("no free temporary name in " + root_);
}

int CCncFileStore::OpenFile(const std::string& name, int for_writing) {
  error_text_.clear();
  if (!store_open_) return Fail("the store is not open");
  if (file_open_) return Fail("a file is already open");
  if (on_card_) return CardOpen(name, 0x404, for_writing ? 1 : 0, for_writing != 0);
  return OpenFolderFile(name, for_writing ? O_WRONLY : O_RDONLY, for_writing != 0);
}

void CCncFileStore::DropReplacement() {
  if (temp_path_.empty()) return;
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  ::unlink(temp_path_.c_str());
  temp_path_.clear();
  final_path_.clear();
  file_open_ = false;
}

int CCncFileStore::CloseFile() {
  if (!file_open_) return 0;
  if (on_card_) {
    file_open_ = false;
    return CardCall(0x405, card_file_) == 0 ? 1 : 0;
  }
  if (!temp_path_.empty()) {
    std::string temp = temp_path_, target = final_path_;
    if (!writes_complete_) {
      DropReplacement();
      return Fail(target + ": not replaced, a write came up short");
    }
    bool synced = ::fsync(fd_) == 0;
    std::string why = synced ? "" : errno_text(temp);
    bool closed = ::close(fd_) == 0;
    fd_ = -1;
    if (!synced || !closed) {
      Fail(synced ? errno_text(temp) : why);
      DropReplacement();
      return 0;
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
      Fail(errno_text(target));
      DropReplacement();
      return 0;
    }
    temp_path_.clear();
    final_path_.clear();
    file_open_ = false;
    // The rename is on disk only once the folder is synced.
    return fsync_folder(root_) ? 1 : Fail(errno_text(root_));
  }
  // What was written counts as kept only once it reached the disk.
  bool synced = !write_mode_ || ::fsync(fd_) == 0;
  std::string why = synced ? "" : errno_text("sync");
  bool closed = ::close(fd_) == 0;
  if (!closed && synced) why = errno_text("close");
  fd_ = -1;
  file_open_ = false;
  return synced && closed ? 1 : Fail(why);
}

uint32_t CCncFileStore::Read(uint8_t* buffer, uint32_t length) {
  error_text_.clear();
  if (!file_open_) return uint32_t(Fail("no file is open"));
  if (on_card_) {
    if (length > kCardTransferLimit) return uint32_t(Fail("read longer than the transfer buffer"));
    CardHold hold(channel_);
    if (CardCall(0x406, card_file_, channel_.BufferBase(), length) != 0) return 0;
    // A CNC that claims more than was asked for cannot make the caller's buffer overflow.
    uint32_t n = std::min(channel_.Result().o3, length);
    if (n > 0) channel_.ReadBytes(channel_.BufferBase(), buffer, int(n));
    return n;
  }
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::read(fd_, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      Fail(errno_text("read"));
      break;
    }
    if (n == 0) break;
    done += uint32_t(n);
  }
  return done;
}

uint32_t CCncFileStore::CardWrite(const uint8_t* buffer, uint32_t length) {
  const uint32_t base = channel_.BufferBase();
  const uint32_t chunk = length % kWriteChunk == 0 ? kWriteChunk : length;
  // Each chunk goes into the transfer buffer while the CNC still writes the one before it.
  channel_.WriteBytes(base, buffer, int(chunk));
  channel_.Call(0x407, card_file_, 0, base, chunk, 0);
  uint32_t total = 0;
  for (uint32_t position = chunk; position < length; position += chunk) {
    try {
      channel_.WriteBytes(base + position, buffer + position, int(chunk));
    } catch (...) {
      // The link failed while a call was posted: the interface must not stay taken.
      channel_.Release();
      throw;
    }
    channel_.Complete();
    total += channel_.Result().o3;
    if (channel_.Result().status != 0) {
      error_text_ = card_error_text(channel_.Result().o4);
      return total;
    }
    channel_.Call(0x407, card_file_, 0, base + position, chunk, 0);
  }
  channel_.Complete();
  if (channel_.Result().status != 0) error_text_ = card_error_text(channel_.Result().o4);
  return total + channel_.Result().o3;
}

uint32_t CCncFileStore::Write(const uint8_t* buffer, uint32_t length) {
  error_text_.clear();
  if (!file_open_) return uint32_t(Fail("no file is open"));
  if (length == 0) return 0;
  if (on_card_) {
    if (length > kCardTransferLimit) return uint32_t(Fail("write longer than the transfer buffer"));
    CardHold hold(channel_);
    uint32_t n = CardWrite(buffer, length);
    return std::min(n, length);
  }
  uint32_t done = 0;
  while (done < length) {
    ssize_t n = ::write(fd_, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail(n < 0 ? errno_text("write") : std::string("write: nothing written"));
      break;
    }
    done += uint32_t(n);
  }
  if (done < length) writes_complete_ = false;
  return done;
}

int CCncFileStore::CardFound(CFileEntry* entry) {
  channel_.ReadBytes(channel_.BufferBase(), card_entry_, int(kCardEntrySize));
  *entry = DecodeCardEntry(card_entry_);
  return 1;
}

int CCncFileStore::FindFirst(const std::string& pattern, CFileEntry* entry) {
  error_text_.clear();
  if (!store_open_) return Fail("the store is not open");
  if (on_card_) {
    CardHold hold(channel_);
    PutString(root_ + pattern, kPatternOffset);
    uint32_t base = channel_.BufferBase();
    if (CardCall(0x424, 0, base + kPatternOffset, base) != 0) return 0;
    return CardFound(entry);
  }
  if (FolderPath(pattern).empty()) return 0;
  found_.clear();
  found_next_ = 0;
  DIR* dir = ::opendir(root_.c_str());
  if (!dir) return Fail(errno_text(root_));
  while (dirent* d = ::readdir(dir)) {
    std::string name = d->d_name;
    if (name != "." && name != ".." && matches(pattern, name)) found_.push_back(name);
  }
  ::closedir(dir);
  std::sort(found_.begin(), found_.end());
  return FolderFindNext(entry);
}

int CCncFileStore::FolderFindNext(CFileEntry* entry) {
  while (found_next_ < found_.size()) {
    const std::string& name = found_[found_next_++];
    struct stat st;
    // Folders and anything else that is not a file are passed over; so is a file gone meanwhile.
    if (::stat((root_ + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    entry->name = name;
    entry->time = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(st.st_mtim.tv_sec) + std::chrono::nanoseconds(st.st_mtim.tv_nsec)));
    entry->size = uint64_t(st.st_size);
    return 1;
  }
  return Fail("no more files");
}

int CCncFileStore::FindNext(CFileEntry* entry) {
  error_text_.clear();
  if (!store_open_) return Fail("the store is not open");
  if (on_card_) {
    CardHold hold(channel_);
    uint32_t base = channel_.BufferBase();
    channel_.WriteBytes(base, card_entry_, int(kCardEntrySize));
    if (CardCall(0x425, 0, 0, base) != 0) return 0;
    return CardFound(entry);
  }
  return FolderFindNext(entry);
}

void CCncFileStore::EndFind() {
  found_.clear();
  found_next_ = 0;
}

int CCncFileStore::DeleteFile(const std::string& name, int show_messages) {
  error_text_.clear();
  if (!store_open_) return Fail("the store is not open");
  if (on_card_) {
    if (IsFlashCard()) {
      if (show_messages) Tell(kFlashDelete);
      return Fail(kFlashDelete);
    }
    CardHold hold(channel_);
    PutString(root_ + name);
    return CardCall(0x408, 0, channel_.BufferBase()) == 0 ? 1 : 0;
  }
  std::string path = FolderPath(name);
  if (path.empty()) return 0;
  return ::unlink(path.c_str()) == 0 ? 1 : Fail(errno_text(path));
}

int CCncFileStore::FormatCard() {
  error_text_.clear();
  if (!CheckCard()) return 0;
  bool prepared = false;
  uint16_t status = PreparedCardCall(0x42B, kFormatLabel, &prepared);
  if (!prepared) return 0;
  if (status != 0) {
    const char* text = channel_.Result().o4 == kCardNotAvailable ? kNotAvailable : kFormatFailed;
    Tell(text);
    return Fail(text);
  }
  return 1;
}

uint32_t CCncFileStore::LastCardError() const {
  return store_open_ && on_card_ ? channel_.Result().o4 : 0;
}

}  // namespace kestrel
