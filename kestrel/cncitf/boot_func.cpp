#include "kestrel/cncitf/boot_func.h"

#include <cstring>

namespace kestrel {

void CBootFunc::ReadSlices(uint32_t offset, uint8_t* buffer, uint32_t size) {
  for (uint32_t at = 0; at < size; at += kSliceSize) {
    itf_.ReadBytes(offset + at, buffer + at, int(kSliceSize));
    itf_.Pump();
  }
}

void CBootFunc::WriteSlices(uint32_t offset, const uint8_t* data, uint32_t size) {
  for (uint32_t at = 0; at < size; at += kSliceSize) {
    itf_.WriteBytes(offset + at, data + at, int(kSliceSize));
    itf_.Pump();
  }
}

// A call on an interface that a fault already made unusable does nothing; what the transfer
// buffer holds then is no answer, so reading or writing data on would pass stale bytes as good.
void CBootFunc::Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, int wait) {
  if (const int state = itf_.Call(function, i1, i2, i3, 0, wait); state != 0) throw CItfErr(state);
}

// Between a call without wait and its Complete the lock is held; a fault there gives it up.
template <class Transfer>
void CBootFunc::Between(Transfer transfer) {
  try {
    transfer();
  } catch (...) {
    itf_.Release();
    throw;
  }
  itf_.Complete();
}

void CBootFunc::ReadBlock(int block, uint8_t* buffer) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Call(0x101, uint16_t(block), 0, b, 1);
  ReadSlices(b, buffer, kFromBlockSize);
}

void CBootFunc::ReadBlockPair(int block, uint8_t* first, uint8_t* second) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Call(0x101, uint16_t(block), 0, b, 1);
  Call(0x101, uint16_t(block + 1), 0, b + kFromBlockSize, 0);
  Between([&] { ReadSlices(b, first, kFromBlockSize); });
  ReadSlices(b + kFromBlockSize, second, kFromBlockSize);
}

int CBootFunc::WriteBlock(int block, const uint8_t* data) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  if (itf_.Call(0x103, uint16_t(block), 0, 0, 0, 0) != 0) return 0;
  Between([&] { WriteSlices(b, data, kFromBlockSize); });
  itf_.Call(0x102, uint16_t(block), 0, b, 0, 1);
  return itf_.Status() == 0 ? 1 : 0;
}

int CBootFunc::EraseBlock(int block) {
  itf_.Call(0x103, uint16_t(block), 0, 0, 0, 1);
  return itf_.Status() == 0 ? 1 : 0;
}

std::string CBootFunc::CheckText(int block) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Call(0x105, uint16_t(block), 0, b, 1);
  uint8_t text[kCheckTextSize + 1] = {};
  itf_.ReadBytes(b, text, int(kCheckTextSize));
  return reinterpret_cast<const char*>(text);
}

int CBootFunc::AnnounceLoadFile(const uint8_t* header, int* first_block, int* block_count,
                                int* interleaved, std::string* name) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  itf_.WriteBytes(b, header, int(kLoadHeaderSize));
  itf_.Call(0x106, 0, 0, b, b + 0x1000, 1);
  if (itf_.Status() != 0) {
    if (itf_.Status() == 0xFFFF) return 0;  // the interface is already unusable
    if (itf_.Error() == 1) {
      prompter().tell("Kestrel32", "Illegal format file.", moxel::Icon::stop);
      return 0;
    }
    if (itf_.Error() == 2) {
      prompter().tell("Kestrel32", "Flash ROM no space.", moxel::Icon::stop);
      return 0;
    }
    throw CItfErr(0);
  }
  *first_block = itf_.Image().o1;
  *block_count = itf_.Image().o2;
  *interleaved = int(itf_.Image().o3 & 0xFF);
  uint8_t text[kModuleNameSize + 1] = {};
  itf_.ReadBytes(b + 0x1000, text, int(kModuleNameSize));
  *name = reinterpret_cast<const char*>(text);
  return 1;
}

int CBootFunc::ModuleHeader(int module, uint8_t* buffer) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  itf_.Call(0x108, uint16_t(module), 0, b, 0, 1);
  if (itf_.Status() != 0) return 0;
  itf_.ReadBytes(b, buffer, int(kModuleHeaderSize));
  return 1;
}

void CBootFunc::ReadSramBlock(int i1, uint8_t* buffer, int i2) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Call(0x201, uint16_t(i1), uint16_t(i2), b, 1);
  itf_.ReadBytes(b, buffer, int(kSramBlockSize));
}

void CBootFunc::WriteSramBlock(int i1, const uint8_t* data, int i2) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  itf_.WriteBytes(b, data, int(kSramBlockSize));
  Call(0x202, uint16_t(i1), uint16_t(i2), b, 1);
}

}  // namespace kestrel
