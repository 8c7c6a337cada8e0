#include "kestrel/cncitf/cnc_itf.h"

#include <cstdio>
#include <ctime>

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

void CCncItf::LinkTested() {
  if (!CheckLink()) throw CItfErr(1);
}

void CCncItf::ReadBytes(uint32_t offset, uint8_t* buffer, int count) {
  client_.ShmReadBytes(offset, buffer, count);
  LinkTested();
}

void CCncItf::ReadWords(uint32_t offset, uint16_t* buffer, int count) {
  client_.ShmReadWords(offset, buffer, count);
  LinkTested();
}

void CCncItf::ReadDwords(uint32_t offset, uint32_t* buffer, int count) {
  client_.ShmReadDwords(offset, buffer, count);
  LinkTested();
}

void CCncItf::WriteBytes(uint32_t offset, const uint8_t* buffer, int count) {
  client_.ShmWriteBytes(offset, buffer, count);
  LinkTested();
}

void CCncItf::WriteDwords(uint32_t offset, const uint32_t* buffer, int count) {
  client_.ShmWriteDwords(offset, buffer, count);
  LinkTested();
}

uint16_t CCncItf::ReadWord(uint32_t offset) {
  const uint16_t value = client_.ShmReadWord(offset);
  LinkTested();
  return value;
}

void CCncItf::WriteWord(uint32_t offset, uint16_t value) {
  client_.ShmWriteWord(offset, value);
  LinkTested();
}

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

void CCncItf::WaitFlag(bool (*done)(uint16_t)) {
  const int64_t start = clock_();
  for (;;) {
    if (done(ReadWord(area_base_ + kMailboxOffset))) return;
    Pump();
    if (clock_() - start > kTimeoutSeconds) {
      SetErrorState(2);
      throw CItfErr(2);
    }
  }
}

int CCncItf::Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, uint32_t i4, int wait) {
  if (error_state_ != 0) {
    image_.status = 0xFFFF;
    return error_state_;
  }
  Lock();
  try {
    WaitFlag([](uint16_t flag) { return flag == 0; });
    image_.flag = 0;
    image_.function = function;
    image_.i1 = i1;
    image_.i2 = i2;
    image_.i3 = i3;
    image_.i4 = i4;
    const std::array<uint32_t, 8> d = image_.dwords();
    WriteDwords(area_base_ + kMailboxOffset, d.data(), 8);
    WriteWord(area_base_ + kMailboxOffset, 1);
    WaitFlag([](uint16_t flag) { return flag != 1; });
    if (wait) CompleteLocked();
  } catch (...) {
    Unlock();
    throw;
  }
  return 0;
}

void CCncItf::Complete() {
  try {
    CompleteLocked();
  } catch (...) {
    Unlock();
    throw;
  }
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

void CCncItf::CompleteLocked() {
  WaitFlag([](uint16_t flag) { return flag == 0; });
  std::array<uint32_t, 8> d{};
  ReadDwords(area_base_ + kMailboxOffset, d.data(), 8);
  image_ = MailboxImage::from_dwords(d);
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
