#include "kestrel/cncitf/cnc_itf.h"

#include <cstdio>
#include <ctime>
#include <span>

namespace kestrel {

std::array<uint32_t, 8> MailboxImage::dwords() const {
  return {uint32_t(flag) | uint32_t(function) << 16,
          uint32_t(status) | uint32_t(error) << 16,
          uint32_t(i1) | uint32_t(i2) << 16,
          i3,
          i4,
          uint32_t(o1) | uint32_t(o2) << 16,
          o3,
          o4};
}

MailboxImage MailboxImage::from_dwords(const std::array<uint32_t, 8>& d) {
  MailboxImage m;
  m.flag = uint16_t(d[0]);
  m.function = uint16_t(d[0] >> 16);
  m.status = uint16_t(d[1]);
  m.error = uint16_t(d[1] >> 16);
  m.i1 = uint16_t(d[2]);
  m.i2 = uint16_t(d[2] >> 16);
  m.i3 = d[3];
  m.i4 = d[4];
  m.o1 = uint16_t(d[5]);
  m.o2 = uint16_t(d[5] >> 16);
  m.o3 = d[6];
  m.o4 = d[7];
  return m;
}

CCncItf::CCncItf(cnbus::CCnbusClient& client, WaitHook hook, Clock clock)
    : client_(client),
      hook_(std::move(hook)),
      clock_(clock ? std::move(clock) : Clock([] { return int64_t(std::time(nullptr)); })),
      cnc_type_(client.GetCncType()),
      mutex_(std::make_unique<moxel::NamedLock>(kMutexName)) {
  buffer_base_ = cnc_type_ == 3 ? 0x10000 : 0;
  area_base_ = cnc_type_ == 3 ? 0 : 0xD0000;
}

CCncItf::~CCncItf() {
  hold_depth_ = 0;
  Unlock();
}

CCncItf::Hold::Hold(CCncItf& itf) : itf_(itf) {
  if (itf_.error_state_ != 0) return;
  itf_.Lock();
  ++itf_.hold_depth_;
  took_ = true;
}

CCncItf::Hold::~Hold() {
  if (!took_) return;
  --itf_.hold_depth_;
  itf_.Unlock();
}

void CCncItf::SetErrorState(int state) {
  if (error_state_ == 0) error_state_ = state;
}

int CCncItf::CheckLink() {
  if (client_.IsLinkUp() == 1) return 1;
  SetErrorState(1);
  return 0;
}

void CCncItf::Linked(const cnbus::ShmTransfer& transfer) {
  if (transfer.link == 1) return;
  SetErrorState(1);
  throw CItfErr(1);
}

void CCncItf::Transfer(bool write, unsigned unit, uint32_t offset, const void* data, int count) {
  // Written data is only ever read from.
  cnbus::ShmTransfer t{write, unit, offset, count, static_cast<uint8_t*>(const_cast<void*>(data))};
  Run(std::span(&t, 1));
}

void CCncItf::Run(std::span<cnbus::ShmTransfer> transfers) {
  client_.ShmRunChecked(transfers);
  for (const cnbus::ShmTransfer& t : transfers) Linked(t);
}

void CCncItf::ReadBytes(uint32_t offset, uint8_t* buffer, int count) {
  Transfer(false, 1, offset, buffer, count);
}

void CCncItf::ReadWords(uint32_t offset, uint16_t* buffer, int count) {
  Transfer(false, 2, offset, buffer, count);
}

void CCncItf::ReadDwords(uint32_t offset, uint32_t* buffer, int count) {
  Transfer(false, 4, offset, buffer, count);
}

void CCncItf::WriteBytes(uint32_t offset, const uint8_t* buffer, int count) {
  Transfer(true, 1, offset, buffer, count);
}

void CCncItf::WriteDwords(uint32_t offset, const uint32_t* buffer, int count) {
  Transfer(true, 4, offset, buffer, count);
}

uint16_t CCncItf::ReadWord(uint32_t offset) {
  uint16_t value = 0;
  Transfer(false, 2, offset, &value, 1);
  return value;
}

void CCncItf::WriteWord(uint32_t offset, uint16_t value) { Transfer(true, 2, offset, &value, 1); }

void CCncItf::Pump() {
  if (hook_) hook_();
}

void CCncItf::Lock() {
  if (mutex_held_) return;  // inside a Hold
  // A lock that cannot be taken (no run folder) must not let calls interleave unnoticed.
  if (!mutex_->lock()) throw CItfErr(0, "The CNC interface lock cannot be taken.");
  mutex_held_ = true;
}

void CCncItf::Unlock() {
  if (!mutex_held_ || hold_depth_ > 0) return;
  mutex_->unlock();
  mutex_held_ = false;
}

void CCncItf::Pass(int64_t start) {
  Pump();
  if (clock_() - start > kTimeoutSeconds) {
    SetErrorState(2);
    throw CItfErr(2);
  }
}

namespace {
uint8_t* bytes(void* p) { return static_cast<uint8_t*>(p); }
}  // namespace

void CCncItf::Post(std::span<cnbus::ShmTransfer> before) {
  const uint32_t mailbox = area_base_ + kMailboxOffset;
  std::array<uint32_t, 8> request = image_.dwords();
  uint16_t flag = 0, posted = 1;
  const int64_t start = clock_();
  for (bool first = true;; first = false) {
    pass_.clear();
    if (first) pass_.assign(before.begin(), before.end());
    // The idle wait's flag read, then the request and then its flag, each written only when that
    // read found 0, each access followed by its link test: one request per pass.
    const int idle = int(pass_.size());
    pass_.push_back({false, 2, mailbox, 1, bytes(&flag)});
    pass_.push_back({true, 4, mailbox, 8, bytes(request.data()), idle});
    pass_.push_back({true, 2, mailbox, 1, bytes(&posted), idle});
    Run(pass_);
    if (flag == 0) return;
    Pass(start);
  }
}

bool CCncItf::Await(bool taken, bool complete, std::span<cnbus::ShmTransfer> after,
                    const NextCall* next) {
  const uint32_t mailbox = area_base_ + kMailboxOffset;
  int64_t start = clock_();
  uint16_t taken_flag = 0, idle_flag = 0, posted = 1;
  uint32_t outcome = 0;  // status and error, read only once the flag read found 0
  std::array<uint32_t, 8> d{}, request{};
  if (next) {
    MailboxImage m;
    m.function = next->function;
    m.i1 = next->i1;
    m.i2 = next->i2;
    m.i3 = next->i3;
    m.i4 = next->i4;
    request = m.dwords();
  }
  for (bool first = true;; first = false) {
    pass_.clear();
    if (taken) pass_.push_back({false, 2, mailbox, 1, bytes(&taken_flag)});
    // The idle wait reads the results, and `after`, together with each flag read; when the call
    // is to be completed the passes of the taken wait carry them too, so a CNC that takes and ends
    // the call between two passes costs no further request. The first pass also carries `next`,
    // behind a read of status and error that is made only once the call ended, and written only
    // when both are 0.
    const size_t idle = pass_.size();
    if (!taken || complete) {
      pass_.push_back({false, 2, mailbox, 1, bytes(&idle_flag)});
      pass_.push_back({false, 4, mailbox, 8, bytes(d.data())});
      for (const cnbus::ShmTransfer& a : after) {
        pass_.push_back(a);
        pass_.back().guard = int(idle);
      }
      if (next && first) {
        const int ok = int(pass_.size());
        pass_.push_back({false, 4, mailbox + 4, 1, bytes(&outcome), int(idle)});
        for (const cnbus::ShmTransfer& b : next->before) {
          pass_.push_back(b);
          pass_.back().guard = ok;
        }
        pass_.push_back({true, 4, mailbox, 8, bytes(request.data()), ok});
        pass_.push_back({true, 2, mailbox, 1, bytes(&posted), ok});
      }
    }
    client_.ShmRunChecked(pass_);
    // A flag read of 0 ends the call even when the taken read just before it still saw 1: the
    // CNC took and ended the call between the two. What was read behind an unmet condition is
    // not looked at.
    if (taken) Linked(pass_[0]);
    if (idle < pass_.size()) {
      Linked(pass_[idle]);
      if (idle_flag == 0) {
        for (size_t k = idle + 1; k < pass_.size(); ++k) Linked(pass_[k]);
        image_ = MailboxImage::from_dwords(d);
        return next && first && !pass_.back().skipped;
      }
    }
    if (taken && taken_flag != 1) {
      if (!complete) return false;
      taken = false;  // taken: the wait for the end starts now, this pass its first
      start = clock_();
    }
    Pass(start);
  }
}

int CCncItf::Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, uint32_t i4, int wait,
                  Carried carried) {
  if (error_state_ != 0) {
    image_.status = 0xFFFF;
    return error_state_;
  }
  Lock();
  try {
    image_.flag = 0;
    image_.function = function;
    image_.i1 = i1;
    image_.i2 = i2;
    image_.i3 = i3;
    image_.i4 = i4;
    Post(carried.before);
    Await(true, wait != 0, wait ? carried.after : std::span<cnbus::ShmTransfer>(), nullptr);
    if (wait) Finish();
  } catch (...) {
    Unlock();
    throw;
  }
  return 0;
}

void CCncItf::Complete(std::span<cnbus::ShmTransfer> after) {
  try {
    // A call that CompleteThenCall posted may not have been taken yet; after Call it has been,
    // and the taken read costs no request of its own.
    Await(true, true, after, nullptr);
    Finish();
  } catch (...) {
    Unlock();
    throw;
  }
}

bool CCncItf::CompleteThenCall(std::span<cnbus::ShmTransfer> after, const NextCall& next) {
  bool posted = false;
  try {
    posted = Await(true, true, after, &next);
    Finish();
  } catch (...) {
    Unlock();
    throw;
  }
  return posted;
}

bool CCncItf::Tolerated(uint16_t function) const {
  switch (function) {
    case 0x001: case 0x102: case 0x103: case 0x106: case 0x107: case 0x108:
    case 0x403: case 0x404: case 0x405: case 0x406: case 0x407: case 0x408:
    case 0x424: case 0x425: case 0x42B: case 0x42C:
      return true;
    case 0x002: case 0x005:
      return cnc_type_ == 3;
    default:
      return false;
  }
}

void CCncItf::Finish() {
  if (image_.status == 0 || Tolerated(image_.function)) {
    Unlock();
    return;
  }
  if ((image_.function == 0x201 || image_.function == 0x202) && image_.error >= 1 && image_.error <= 3) {
    Unlock();
    if (image_.function == 0x201) {
      if (image_.error == 1) SetErrorState(3);
      throw CItfErr(2 + image_.error);
    }
    throw CItfErr(5 + image_.error);
  }
  Unlock();
  char text[512];
  std::snprintf(text, sizeof text,
                "INTERNAL ERROR!\nCNC couldn't execute the command.\n"
                "\nFunction: %x\nStatus: %x\nError: %x\nI1: %x\nI2: %x\nI3: %x\nI4: %x"
                "\nO1: %x\nO2: %x\nO3: %x\nO4: %x",
                unsigned(image_.function), unsigned(image_.status), unsigned(image_.error),
                unsigned(image_.i1), unsigned(image_.i2), unsigned(image_.i3), unsigned(image_.i4),
                unsigned(image_.o1), unsigned(image_.o2), unsigned(image_.o3), unsigned(image_.o4));
  throw CItfErr(0, text);
}

}  // namespace kestrel
