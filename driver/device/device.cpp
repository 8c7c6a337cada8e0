#include "driver/device/device.h"

#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "driver/device/wire.h"
#include "platform/paths.h"

namespace lorand {

std::filesystem::path default_device_path() { return moxel::run_dir() / "LORAND"; }

Device::~Device() { close(); }

Device::Device(Device&& other) noexcept
    : fd_(other.fd_),
      failure_(other.failure_),
      answer_bound_(other.answer_bound_),
      last_answer_(other.last_answer_),
      warned_(other.warned_),
      path_(std::move(other.path_)),
      request_(std::move(other.request_)),
      answer_(std::move(other.answer_)) {
  other.fd_ = -1;
  other.path_.clear();
}

Device& Device::operator=(Device&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.fd_;
    other.fd_ = -1;
    failure_ = other.failure_;
    answer_bound_ = other.answer_bound_;
    last_answer_ = other.last_answer_;
    warned_ = other.warned_;
    path_ = std::move(other.path_);
    other.path_.clear();
    request_ = std::move(other.request_);
    answer_ = std::move(other.answer_);
  }
  return *this;
}

bool Device::open(const std::filesystem::path& path) {
  close();
  path_ = path;
  return connect_to(path);
}

bool Device::connect_to(const std::filesystem::path& path) {
  failure_ = STATUS_PIPE_BROKEN;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  // Not blocking: a daemon that takes no connections (stopped, its queue full) fails the connect
  // at once instead of holding the caller.
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const int saved = errno == EAGAIN ? ETIMEDOUT : errno;
    if (saved == ETIMEDOUT) failure_ = STATUS_IO_TIMEOUT;
    ::close(fd);
    errno = saved;
    return false;
  }
  // From here on blocking, each wait bounded by the socket's time-outs.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  fd_ = fd;
  if (!trusted_server(text) || !greet()) {
    const int saved = errno;
    drop();
    errno = saved;
    return false;
  }
  return true;
}

namespace {

// Whether `uid` may serve the device to this program: root, the system user "lorand" (the daemon
// may run as that user), or the program's own user (a daemon one started oneself, as tests and
// demos do: trusting oneself gives nothing away).
bool trusted_uid(uid_t uid) {
  if (uid == 0 || uid == geteuid()) return true;
  const passwd* daemon_user = getpwnam("lorand");
  return daemon_user && daemon_user->pw_uid == uid;
}

}  // namespace

// Checked before anything is sent: another user could have put a socket of his own where the
// daemon's belongs and would then see every write and answer every read.
bool Device::trusted_server(const std::string& path) {
  struct stat st{};
  ucred peer{};
  socklen_t length = sizeof peer;
  if (::lstat(path.c_str(), &st) != 0 || getsockopt(fd_, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0)
    return false;
  if (S_ISSOCK(st.st_mode) && trusted_uid(st.st_uid) && trusted_uid(peer.uid)) return true;
  if (!warned_)
    std::fprintf(stderr,
                 "lorand: refusing the device at %s: it is owned by uid %u and served by uid %u, "
                 "not by root, the lorand user or you; another user may have put it there\n",
                 path.c_str(), unsigned(st.st_uid), unsigned(peer.uid));
  warned_ = true;
  errno = EPERM;
  return false;
}

// The hello: both sides must speak the same protocol version.
bool Device::greet() {
  request_ = wire::encode_hello();
  size_t length = 0;
  set_timeouts(std::min(answer_bound_, kHelloBound));
  const bool answered = send_request() && receive_answer(&length);
  if (answered) set_timeouts(answer_bound_);
  if (!answered) {
    errno = failure_ == STATUS_IO_TIMEOUT ? ETIMEDOUT : ECONNRESET;  // closed at once: no room
    if (failure_ == STATUS_IO_TIMEOUT && !warned_)
      std::fprintf(stderr, "lorand: lorandd at %s does not answer\n", path_.c_str());
    warned_ |= failure_ == STATUS_IO_TIMEOUT;
    return false;
  }
  const uint32_t status = length >= wire::kAnswerHeader ? wire::get32(answer_.data()) : STATUS_INVALID_PARAMETER;
  if (length == wire::kAnswerHeader && status == STATUS_SUCCESS) {
    warned_ = false;
    return true;
  }
  // A daemon of another version answers with its own; one from before versions were introduced
  // takes the hello for a malformed request.
  const uint32_t theirs = status == STATUS_REVISION_MISMATCH ? wire::get32(answer_.data() + 4) : 1;
  if (!warned_)
    std::fprintf(stderr,
                 "lorand: lorandd speaks device protocol version %u, this program version %u; "
                 "install matching versions of both\n",
                 theirs, wire::kProtocolVersion);
  warned_ = true;
  failure_ = STATUS_REVISION_MISMATCH;
  errno = EPROTO;
  return false;
}

void Device::close() {
  drop();
  path_.clear();
}

void Device::drop() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool Device::connected() {
  if (fd_ >= 0 && std::chrono::steady_clock::now() - last_answer_ > std::chrono::seconds(1)) {
    // The daemon closes connections that stay idle: one that has ended is replaced before the
    // request goes out, so the request is not lost with it.
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    if (::poll(&p, 1, 0) > 0 && p.revents) drop();
  }
  return fd_ >= 0 || (!path_.empty() && connect_to(path_));
}

namespace {

struct Answer {
  IoResult result;
  std::span<const uint8_t> output;
};

// Parses the answer item at `*offset`.
bool parse_answer(std::span<const uint8_t> message, size_t* offset, Answer& answer) {
  if (message.size() - *offset < wire::kAnswerHeader) return false;
  const uint8_t* p = message.data() + *offset;
  const uint32_t length = wire::get32(p + 8);
  if (length > message.size() - *offset - wire::kAnswerHeader) return false;
  answer.result = {wire::get32(p), wire::get32(p + 4)};
  answer.output = message.subspan(*offset + wire::kAnswerHeader, length);
  *offset += wire::kAnswerHeader + length;
  return true;
}

// Largest piece of a long transfer sent as one request. Pieces end on addresses that are multiples
// of 4, so the board sees the same units as for one long request.
constexpr uint32_t kPiece = 60 * 1024;

}  // namespace

void Device::set_timeouts(std::chrono::milliseconds bound) {
  const timeval t{time_t(bound.count() / 1000), suseconds_t(bound.count() % 1000 * 1000)};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &t, sizeof t);
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &t, sizeof t);
}

void Device::set_answer_bound(std::chrono::milliseconds bound) {
  answer_bound_ = bound;
  if (fd_ >= 0) set_timeouts(bound);
}

bool Device::send_request() {
  ssize_t n;
  do {
    n = ::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n != ssize_t(request_.size())) {
    // No room within the bound: the daemon has not taken the messages before this one.
    failure_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? STATUS_IO_TIMEOUT : STATUS_PIPE_BROKEN;
    drop();
    return false;
  }
  return true;
}

bool Device::receive_answer(size_t* answer_length) {
  if (answer_.size() < wire::kMaxMessage) answer_.resize(wire::kMaxMessage);
  ssize_t n;
  do {
    n = ::recv(fd_, answer_.data(), answer_.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // No answer in time (the socket's time-out): the connection is given up, since a late answer
    // would be taken for the next request's, and the next request connects again.
    failure_ = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? STATUS_IO_TIMEOUT : STATUS_PIPE_BROKEN;
    drop();
    return false;
  }
  *answer_length = size_t(n);
  last_answer_ = std::chrono::steady_clock::now();
  return true;
}

bool Device::exchange(size_t* answer_length) {
  return connected() && send_request() && receive_answer(answer_length);
}

IoResult Device::single(const wire::Item& item, std::span<uint8_t> out) {
  request_.clear();
  wire::encode_item(request_, item);
  size_t length = 0;
  Answer parsed;
  size_t offset = 0;
  if (!exchange(&length)) return IoResult{failure_, 0};
  if (!parse_answer(std::span<const uint8_t>(answer_.data(), length), &offset, parsed)) {
    return IoResult{STATUS_PIPE_BROKEN, 0};
  }
  const size_t n = std::min(parsed.output.size(), out.size());
  std::copy_n(parsed.output.begin(), n, out.begin());
  return parsed.result;
}

IoResult Device::transfer(uint64_t position, std::span<uint8_t> data, bool write) {
  const uint64_t node = position & 0xFFFFFFFF00000000ull;
  uint32_t address = uint32_t(position);
  size_t done = 0;
  const size_t total = data.size();
  bool first = true;
  do {
    size_t length = total - done;
    if (length > kPiece) length = kPiece - ((address + kPiece) & 3u);
    wire::Item item;
    item.kind = write ? wire::kKindWrite : wire::kKindRead;
    item.position = node | address;
    if (write) item.input = data.subspan(done, length);
    else item.output_length = uint32_t(length);
    const IoResult piece = single(item, write ? std::span<uint8_t>() : data.subspan(done, length));
    if (piece.status != STATUS_SUCCESS) {
      // Checks that refuse the request fail on the first piece and report the whole length, as
      // one request would; a board timeout reports the bytes done before it.
      if (piece.status == STATUS_IO_TIMEOUT) return IoResult{piece.status, uint32_t(done + piece.information)};
      return IoResult{piece.status, first ? uint32_t(total) : uint32_t(done + piece.information)};
    }
    first = false;
    done += length;
    address += uint32_t(length);
  } while (done < total);
  return IoResult{STATUS_SUCCESS, uint32_t(total)};
}

IoResult Device::control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out) {
  if (!connected()) return IoResult{failure_, 0};
  if (in.size() > wire::kMaxInput) return IoResult{STATUS_INVALID_PARAMETER, 0};
  wire::Item item;
  item.kind = wire::kKindControl;
  item.code = code;
  item.input = in;
  // No request has a longer answer; a longer buffer is offered as this much.
  item.output_length = uint32_t(std::min(out.size(), wire::kMaxOutput));
  return single(item, out);
}

IoResult Device::read(uint64_t position, std::span<uint8_t> data) {
  if (!connected()) return IoResult{failure_, 0};
  if (data.size() > UINT32_MAX) return IoResult{STATUS_INVALID_PARAMETER, 0};
  return transfer(position, data, false);
}

IoResult Device::write(uint64_t position, std::span<const uint8_t> data) {
  if (!connected()) return IoResult{failure_, 0};
  if (data.size() > UINT32_MAX) return IoResult{STATUS_INVALID_PARAMETER, 0};
  // Written data is only ever read from.
  return transfer(position, std::span<uint8_t>(const_cast<uint8_t*>(data.data()), data.size()), true);
}

void Batch::control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                    IoResult* result) {
  const size_t offset = inputs_.size();
  inputs_.insert(inputs_.end(), in.begin(), in.end());
  items_.push_back(Item{wire::kKindControl, code, 0, offset, uint32_t(in.size()), 0, kNoGuard, out, result});
}

void Batch::read(uint64_t position, std::span<uint8_t> data, IoResult* result) {
  items_.push_back(Item{wire::kKindRead, 0, position, inputs_.size(), 0, 0, kNoGuard, data, result});
}

void Batch::write(uint64_t position, std::span<const uint8_t> data, IoResult* result) {
  const size_t offset = inputs_.size();
  inputs_.insert(inputs_.end(), data.begin(), data.end());
  items_.push_back(Item{wire::kKindWrite, 0, position, offset, uint32_t(data.size()), 0, kNoGuard, {}, result});
}

void Batch::read_if(uint8_t mask, uint64_t position, std::span<uint8_t> data, IoResult* result) {
  // A mask of 0 is a condition too: only the success of the request before it.
  items_.push_back(Item{wire::kKindRead | 0x80000000u, 0, position, inputs_.size(), 0, mask, kNoGuard, data, result});
}

void Batch::only_if_zero(size_t guard) {
  if (items_.empty() || guard + 1 >= items_.size())
    throw std::logic_error("Batch::only_if_zero: the guard must be a request added before");
  items_.back().zero_guard = guard;
}

void Batch::clear() {
  items_.clear();
  inputs_.clear();
}

void Batch::read_run(uint64_t position, unsigned unit, std::span<uint8_t> data, IoResult* result) {
  items_.push_back(Item{wire::kKindReadRun, unit, position, inputs_.size(), 0, 0, kNoGuard, data, result});
}

void Batch::write_run(uint64_t position, unsigned unit, std::span<const uint8_t> data,
                      IoResult* result) {
  const size_t offset = inputs_.size();
  inputs_.insert(inputs_.end(), data.begin(), data.end());
  items_.push_back(Item{wire::kKindWriteRun, unit, position, offset, uint32_t(data.size()), 0, kNoGuard, {}, result});
}

IoResult Device::run_pieces(uint64_t position, unsigned unit, std::span<uint8_t> data, bool write) {
  if (unit != 1 && unit != 2 && unit != 4) return IoResult{STATUS_INVALID_PARAMETER, 0};
  // Whole units only; pieces fit a message and end on a unit boundary, so the units are the same.
  const size_t total = data.size() - data.size() % unit;
  const size_t piece = Batch::kMaxRunBytes;
  const uint64_t node = position & 0xFFFFFFFF00000000ull;
  thread_local Batch batch;
  thread_local std::vector<IoResult> results;
  batch.clear();
  results.assign((total + piece - 1) / piece, IoResult{});
  for (size_t done = 0, k = 0; done < total; done += piece, ++k) {
    const size_t length = std::min(piece, total - done);
    const uint64_t at = node | uint32_t(uint32_t(position) + done);
    if (write) batch.write_run(at, unit, data.subspan(done, length), &results[k]);
    else batch.read_run(at, unit, data.subspan(done, length), &results[k]);
  }
  run(batch, true);
  batch.clear();
  // The bytes done up to the first piece that failed, and its status.
  uint32_t done = 0;
  for (const IoResult& r : results) {
    done += r.information;
    if (r.status != STATUS_SUCCESS) return IoResult{r.status, done};
  }
  return IoResult{STATUS_SUCCESS, done};
}

IoResult Device::read_run(uint64_t position, unsigned unit, std::span<uint8_t> data) {
  return run_pieces(position, unit, data, false);
}

IoResult Device::write_run(uint64_t position, unsigned unit, std::span<const uint8_t> data) {
  // Written data is only ever read from.
  return run_pieces(position, unit, std::span<uint8_t>(const_cast<uint8_t*>(data.data()), data.size()), true);
}

bool Device::run(Batch& batch, bool stop_at_failure) {
  const size_t count = batch.items_.size();
  for (auto& item : batch.items_)
    if (item.result) *item.result = IoResult{};

  // The answer of the item before the one at hand: a conditional read is judged by it.
  IoResult last{};
  size_t last_returned = 0;
  bool failed = false;
  // Per item: it succeeded and read only zero bytes (at least one); judges only_if_zero.
  std::vector<uint8_t> zero(count, 0);  // not shared: a long item runs a batch of its own
  auto publish = [&](size_t i, IoResult r, size_t bytes) {
    last = r;
    last_returned = bytes;
    failed |= r.status != STATUS_SUCCESS && r.status != STATUS_CANCELLED;
    const auto out = batch.items_[i].output.first(bytes);
    zero[i] = r.status == STATUS_SUCCESS && bytes != 0 &&
              std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; });
    if (batch.items_[i].result) *batch.items_[i].result = r;
  };
  auto conditional = [&](size_t i) { return (batch.items_[i].kind & 0x80000000u) != 0; };
  auto guarded = [&](size_t i) { return batch.items_[i].zero_guard != Batch::kNoGuard; };
  // Whether the condition of item i holds, judged from the answers received so far.
  auto condition_holds = [&](size_t i) {
    if (guarded(i)) return zero[batch.items_[i].zero_guard] != 0;
    if (i == 0) return false;
    const auto& before = batch.items_[i - 1];
    if (last.status != STATUS_SUCCESS || last_returned == 0 || before.output.empty()) return false;
    const uint8_t mask = batch.items_[i].condition_mask;
    return (before.output[0] & mask) == mask;
  };
  auto kind_of = [&](size_t i) { return batch.items_[i].kind & ~0x80000000u; };
  auto writes = [&](size_t i) { return kind_of(i) == wire::kKindWrite || kind_of(i) == wire::kKindWriteRun; };
  // Bytes the item takes in a request message and, at most, in the answer.
  auto request_bytes = [&](size_t i) { return wire::kItemHeader + batch.items_[i].input_length; };
  auto answer_bytes = [&](size_t i) {
    return wire::kAnswerHeader + (writes(i) ? 0 : batch.items_[i].output.size());
  };

  // The message sent whose answer has not been read yet: items [pending_begin, pending_end).
  size_t pending_begin = 0, pending_end = 0;
  auto receive = [&]() -> bool {
    if (pending_begin == pending_end) return true;
    const size_t begin = pending_begin, end = pending_end;
    pending_begin = pending_end = 0;
    size_t answer_length = 0;
    if (!receive_answer(&answer_length)) return false;
    if (answer_length < wire::kBatchAnswerHeader || wire::get32(answer_.data()) != end - begin) {
      failure_ = STATUS_PIPE_BROKEN;
      drop();
      return false;
    }
    const std::span<const uint8_t> answer(answer_.data(), answer_length);
    size_t offset = wire::kBatchAnswerHeader;
    for (size_t k = begin; k < end; ++k) {
      Answer parsed;
      if (!parse_answer(answer, &offset, parsed)) {
        failure_ = STATUS_PIPE_BROKEN;
        drop();
        return false;
      }
      auto& out = batch.items_[k].output;
      const size_t n = std::min(parsed.output.size(), out.size());
      std::copy_n(parsed.output.begin(), n, out.begin());
      publish(k, parsed.result, n);
    }
    return true;
  };
  // The results of the items not received say why.
  auto broken = [&]() {
    for (size_t k = 0; k < count; ++k)
      if (batch.items_[k].result && batch.items_[k].result->status == STATUS_PIPE_BROKEN)
        batch.items_[k].result->status = failure_;
    return false;
  };
  auto cancel_rest = [&](size_t from) {
    for (size_t k = from; k < count; ++k)
      if (batch.items_[k].result) *batch.items_[k].result = IoResult{STATUS_CANCELLED, 0};
    return true;
  };

  if (!connected()) return broken();
  size_t i = 0;
  while (i < count) {
    if (stop_at_failure && failed) return cancel_rest(i);
    // A conditional request at the start of a message is judged here: the answer it depends on
    // must be in first.
    if (conditional(i) || guarded(i)) {
      if (!receive()) return broken();
      if (!condition_holds(i)) {
        publish(i, IoResult{STATUS_CANCELLED, 0}, 0);
        ++i;
        continue;
      }
    }
    if (wire::kBatchHeader + request_bytes(i) > wire::kMaxMessage ||
        wire::kBatchAnswerHeader + answer_bytes(i) > wire::kMaxMessage) {
      // Too big to share a message: sent on its own (split as a long transfer needs), once the
      // answers before it are in.
      if (!receive()) return broken();
      if (stop_at_failure && failed) return cancel_rest(i);
      const auto& b = batch.items_[i];
      const auto input = std::span<const uint8_t>(batch.inputs_).subspan(b.input_offset, b.input_length);
      IoResult r;
      if (kind_of(i) == wire::kKindControl) r = control(b.code, input, b.output);
      else if (kind_of(i) == wire::kKindRead) r = read(b.position, b.output);
      else if (kind_of(i) == wire::kKindReadRun) r = read_run(b.position, b.code, b.output);
      else if (kind_of(i) == wire::kKindWriteRun) r = write_run(b.position, b.code, input);
      else r = write(b.position, input);
      publish(i, r, writes(i) ? 0 : std::min<size_t>(r.information, b.output.size()));
      if (fd_ < 0) return broken();
      ++i;
      continue;
    }
    // Gather as many items as fit one request and one answer.
    size_t end = i + 1;
    size_t request = wire::kBatchHeader + request_bytes(i);
    size_t reply = wire::kBatchAnswerHeader + answer_bytes(i);
    while (end < count) {
      if (request + request_bytes(end) > wire::kMaxMessage || reply + answer_bytes(end) > wire::kMaxMessage)
        break;
      // A request guarded by one of an earlier message opens the next message, where it is judged.
      if (guarded(end) && batch.items_[end].zero_guard < i) break;
      request += request_bytes(end);
      reply += answer_bytes(end);
      ++end;
    }
    // Encoded in place: the message is exactly `request` bytes.
    request_.resize(request);
    uint8_t* p = request_.data();
    wire::store32(p, wire::kKindBatch);
    wire::store32(p + 4, uint32_t(end - i));
    p += wire::kBatchHeader;
    for (size_t k = i; k < end; ++k) {
      const auto& b = batch.items_[k];
      const uint32_t kind = kind_of(k);
      uint32_t condition = 0;
      if (k > i && conditional(k)) condition = wire::kConditional | b.condition_mask;
      else if (k > i && guarded(k)) condition = wire::zero_condition(uint32_t(k - b.zero_guard));
      wire::store32(p, kind);
      wire::store32(p + 4, b.code);
      wire::store32(p + 8, uint32_t(b.position));
      wire::store32(p + 12, uint32_t(b.position >> 32));
      wire::store32(p + 16, b.input_length);
      wire::store32(p + 20, writes(k) ? 0 : uint32_t(b.output.size()));
      wire::store32(p + 24, condition);
      if (b.input_length) std::memcpy(p + wire::kItemHeader, batch.inputs_.data() + b.input_offset, b.input_length);
      p += wire::kItemHeader + b.input_length;
    }
    // Sent before the answer of the message before it is read: the daemon works on this one
    // while that answer is taken apart here.
    if (fd_ < 0 || !send_request()) return broken();
    if (!receive()) return broken();
    pending_begin = i;
    pending_end = end;
    i = end;
  }
  return receive() || broken();
}

}  // namespace lorand
