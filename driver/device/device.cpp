#include "driver/device/device.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "driver/device/wire.h"
#include "platform/paths.h"

namespace lorand {

std::filesystem::path default_device_path() { return moxel::run_dir() / "LORAND"; }

Device::~Device() { close(); }

Device::Device(Device&& other) noexcept
    : fd_(other.fd_),
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
    path_ = std::move(other.path_);
    other.path_.clear();
    request_ = std::move(other.request_);
    answer_ = std::move(other.answer_);
  }
  return *this;
}

bool Device::open(const std::filesystem::path& path) {
  close();
  if (!connect_to(path)) return false;
  path_ = path;
  return true;
}

bool Device::connect_to(const std::filesystem::path& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path.string();
  if (text.size() >= sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  int rc;
  do {
    rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return false;
  }
  fd_ = fd;
  return true;
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

bool Device::exchange(size_t* answer_length) {
  if (!connected()) return false;
  ssize_t n;
  do {
    n = ::send(fd_, request_.data(), request_.size(), MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  if (n != ssize_t(request_.size())) {
    drop();
    return false;
  }
  if (answer_.size() < wire::kMaxMessage) answer_.resize(wire::kMaxMessage);
  do {
    n = ::recv(fd_, answer_.data(), answer_.size(), 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    drop();
    return false;
  }
  *answer_length = size_t(n);
  return true;
}

IoResult Device::single(const wire::Item& item, std::span<uint8_t> out) {
  request_.clear();
  wire::encode_item(request_, item);
  size_t length = 0;
  Answer parsed;
  size_t offset = 0;
  if (!exchange(&length) || !parse_answer(std::span<const uint8_t>(answer_.data(), length), &offset, parsed)) {
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
  if (!connected()) return IoResult{STATUS_PIPE_BROKEN, 0};
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
  if (!connected()) return IoResult{STATUS_PIPE_BROKEN, 0};
  if (data.size() > UINT32_MAX) return IoResult{STATUS_INVALID_PARAMETER, 0};
  return transfer(position, data, false);
}

IoResult Device::write(uint64_t position, std::span<const uint8_t> data) {
  if (!connected()) return IoResult{STATUS_PIPE_BROKEN, 0};
  if (data.size() > UINT32_MAX) return IoResult{STATUS_INVALID_PARAMETER, 0};
  // Written data is only ever read from.
  return transfer(position, std::span<uint8_t>(const_cast<uint8_t*>(data.data()), data.size()), true);
}

void Batch::control(uint32_t code, std::span<const uint8_t> in, std::span<uint8_t> out,
                    IoResult* result) {
  const size_t offset = inputs_.size();
  inputs_.insert(inputs_.end(), in.begin(), in.end());
  items_.push_back(Item{wire::kKindControl, code, 0, offset, uint32_t(in.size()), 0, out, result});
}

void Batch::read(uint64_t position, std::span<uint8_t> data, IoResult* result) {
  items_.push_back(Item{wire::kKindRead, 0, position, inputs_.size(), 0, 0, data, result});
}

void Batch::write(uint64_t position, std::span<const uint8_t> data, IoResult* result) {
  const size_t offset = inputs_.size();
  inputs_.insert(inputs_.end(), data.begin(), data.end());
  items_.push_back(Item{wire::kKindWrite, 0, position, offset, uint32_t(data.size()), 0, {}, result});
}

void Batch::read_if(uint8_t mask, uint64_t position, std::span<uint8_t> data, IoResult* result) {
  // A mask of 0 is a condition too: only the success of the request before it.
  items_.push_back(Item{wire::kKindRead | 0x80000000u, 0, position, inputs_.size(), 0, mask, data, result});
}

void Batch::clear() {
  items_.clear();
  inputs_.clear();
}

bool Device::run(Batch& batch) {
  const size_t count = batch.items_.size();
  for (auto& item : batch.items_)
    if (item.result) *item.result = IoResult{};

  // The answer of the item before the one at hand: a conditional read is judged by it.
  IoResult last{};
  size_t last_returned = 0;
  auto publish = [&](size_t i, IoResult r, size_t bytes) {
    last = r;
    last_returned = bytes;
    if (batch.items_[i].result) *batch.items_[i].result = r;
  };
  auto conditional = [&](size_t i) { return (batch.items_[i].kind & 0x80000000u) != 0; };
  // Whether the condition of item i holds, judged from the answer of item i - 1.
  auto condition_holds = [&](size_t i) {
    if (i == 0) return false;
    const auto& before = batch.items_[i - 1];
    if (last.status != STATUS_SUCCESS || last_returned == 0 || before.output.empty()) return false;
    const uint8_t mask = batch.items_[i].condition_mask;
    return (before.output[0] & mask) == mask;
  };
  auto kind_of = [&](size_t i) { return batch.items_[i].kind & ~0x80000000u; };
  // Bytes the item takes in a request message and, at most, in the answer.
  auto request_bytes = [&](size_t i) { return wire::kItemHeader + batch.items_[i].input_length; };
  auto answer_bytes = [&](size_t i) {
    return wire::kAnswerHeader + (kind_of(i) == wire::kKindWrite ? 0 : batch.items_[i].output.size());
  };

  if (!connected()) return false;
  size_t i = 0;
  while (i < count) {
    // A conditional read at the start of a message is judged here: its predecessor's answer is in.
    if (conditional(i) && (i == 0 || !condition_holds(i))) {
      publish(i, IoResult{STATUS_CANCELLED, 0}, 0);
      ++i;
      continue;
    }
    if (wire::kBatchHeader + request_bytes(i) > wire::kMaxMessage ||
        wire::kBatchAnswerHeader + answer_bytes(i) > wire::kMaxMessage) {
      // Too big to share a message: sent on its own (split as a long transfer needs).
      const auto& b = batch.items_[i];
      const auto input = std::span<const uint8_t>(batch.inputs_).subspan(b.input_offset, b.input_length);
      IoResult r;
      if (kind_of(i) == wire::kKindControl) r = control(b.code, input, b.output);
      else if (kind_of(i) == wire::kKindRead) r = read(b.position, b.output);
      else r = write(b.position, input);
      if (r.status == STATUS_PIPE_BROKEN) return false;
      publish(i, r, kind_of(i) == wire::kKindWrite ? 0 : std::min<size_t>(r.information, b.output.size()));
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
      const uint32_t condition = k > i && conditional(k) ? wire::kConditional | b.condition_mask : 0;
      wire::store32(p, kind);
      wire::store32(p + 4, b.code);
      wire::store32(p + 8, uint32_t(b.position));
      wire::store32(p + 12, uint32_t(b.position >> 32));
      wire::store32(p + 16, b.input_length);
      wire::store32(p + 20, kind == wire::kKindWrite ? 0 : uint32_t(b.output.size()));
      wire::store32(p + 24, condition);
      if (b.input_length) std::memcpy(p + wire::kItemHeader, batch.inputs_.data() + b.input_offset, b.input_length);
      p += wire::kItemHeader + b.input_length;
    }
    size_t answer_length = 0;
    if (!exchange(&answer_length) || answer_length < wire::kBatchAnswerHeader ||
        wire::get32(answer_.data()) != end - i) {
      return false;
    }
    const std::span<const uint8_t> answer(answer_.data(), answer_length);
    size_t offset = wire::kBatchAnswerHeader;
    for (size_t k = i; k < end; ++k) {
      Answer parsed;
      if (!parse_answer(answer, &offset, parsed)) return false;
      auto& out = batch.items_[k].output;
      const size_t n = std::min(parsed.output.size(), out.size());
      std::copy_n(parsed.output.begin(), n, out.begin());
      publish(k, parsed.result, n);
    }
    i = end;
  }
  return true;
}

}  // namespace lorand
