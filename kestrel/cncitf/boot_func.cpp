#include "kestrel/cncitf/boot_func.h"

#include <array>
#include <cstring>
#include <vector>

namespace kestrel {

namespace {

using Slices = std::array<cnbus::ShmTransfer, kFromBlockSize / kSliceSize>;

// The slices of one F-ROM block at `offset` of the transfer buffer.
Slices BlockSlices(bool write, uint32_t offset, const uint8_t* data) {
  Slices slices;
  for (uint32_t k = 0; k < slices.size(); ++k)
    // Written data is only ever read from.
    slices[k] = {write, 1, offset + k * kSliceSize, int(kSliceSize),
                 const_cast<uint8_t*>(data) + k * kSliceSize};
  return slices;
}

}  // namespace

void CBootFunc::Move(std::span<cnbus::ShmTransfer> slices) {
  itf_.Run(slices);
  itf_.Pump();
}

// A call on an interface that a fault already made unusable does nothing; what the transfer
// buffer holds then is no answer, so reading or writing data on would pass stale bytes as good.
void CBootFunc::Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, int wait,
                     CCncItf::Carried carried) {
  if (const int state = itf_.Call(function, i1, i2, i3, 0, wait, carried); state != 0)
    throw CItfErr(state);
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
}

void CBootFunc::ReadBlock(int block, uint8_t* buffer) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Slices slices = BlockSlices(false, b, buffer);
  Call(0x101, uint16_t(block), 0, b, 1, {.after = std::span(slices).first(1)});
  Move(std::span(slices).subspan(1));
}

void CBootFunc::ReadBlockPair(int block, uint8_t* first, uint8_t* second) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  Slices one = BlockSlices(false, b, first);
  Slices two = BlockSlices(false, b + kFromBlockSize, second);
  Call(0x101, uint16_t(block), 0, b, 1, {.after = std::span(one).first(1)});
  Call(0x101, uint16_t(block + 1), 0, b + kFromBlockSize, 0);
  Between([&] { Move(std::span(one).subspan(1)); });
  itf_.Complete(std::span(two).first(1));
  Move(std::span(two).subspan(1));
}

int CBootFunc::WriteBlock(int block, const uint8_t* data) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  if (itf_.Call(0x103, uint16_t(block), 0, 0, 0, 0) != 0) return 0;
  Slices slices = BlockSlices(true, b, data);
  Between([&] { Move(slices); });
  // The write goes out in the request that finds the erase ended well; after an erase that did
  // not, on its own, as the erase's outcome is not examined.
  if (itf_.CompleteThenCall({}, {0x102, uint16_t(block), 0, b}))
    itf_.Complete();
  else
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
  uint8_t text[kCheckTextSize + 1] = {};
  cnbus::ShmTransfer read{false, 1, b, int(kCheckTextSize), text};
  Call(0x105, uint16_t(block), 0, b, 1, {.after = std::span(&read, 1)});
  return reinterpret_cast<const char*>(text);
}

int CBootFunc::AnnounceLoadFile(const uint8_t* header, int* first_block, int* block_count,
                                int* interleaved, std::string* name) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  uint8_t text[kModuleNameSize + 1] = {};
  // Written data is only ever read from.
  cnbus::ShmTransfer transfers[2] = {{true, 1, b, int(kLoadHeaderSize), const_cast<uint8_t*>(header)},
                                     {false, 1, b + 0x1000, int(kModuleNameSize), text}};
  itf_.Call(0x106, 0, 0, b, b + 0x1000, 1, {std::span(transfers, 1), std::span(transfers + 1, 1)});
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
  *name = reinterpret_cast<const char*>(text);
  return 1;
}

int CBootFunc::ModuleHeader(int module, uint8_t* buffer) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  // The header lands in `buffer` only with status 0.
  uint8_t header[kModuleHeaderSize];
  cnbus::ShmTransfer read{false, 1, b, int(kModuleHeaderSize), header};
  itf_.Call(0x108, uint16_t(module), 0, b, 0, 1, {.after = std::span(&read, 1)});
  if (itf_.Status() != 0) return 0;
  std::memcpy(buffer, header, kModuleHeaderSize);
  return 1;
}

void CBootFunc::ReadSramBlock(int i1, uint8_t* buffer, int i2) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  cnbus::ShmTransfer read{false, 1, b, int(kSramBlockSize), buffer};
  Call(0x201, uint16_t(i1), uint16_t(i2), b, 1, {.after = std::span(&read, 1)});
}

void CBootFunc::WriteSramBlock(int i1, const uint8_t* data, int i2) {
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  // Written data is only ever read from.
  cnbus::ShmTransfer write{true, 1, b, int(kSramBlockSize), const_cast<uint8_t*>(data)};
  Call(0x202, uint16_t(i1), uint16_t(i2), b, 1, {.before = std::span(&write, 1)});
}

void CBootFunc::Drain() {
  try {
    itf_.Complete();
  } catch (const CItfErr&) {
  }
}

void CBootFunc::ReadSramBlocks(int i1, int first, int count, bool overlap,
                               const std::function<bool(const uint8_t*)>& sink) {
  std::vector<uint8_t> block(kSramBlockSize);
  if (!overlap) {
    for (int k = first; k < first + count; ++k) {
      ReadSramBlock(i1, block.data(), k);
      if (!sink(block.data())) return;
    }
    return;
  }
  if (count <= 0) return;
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  cnbus::ShmTransfer read{false, 1, b, int(kSramBlockSize), block.data()};
  Call(0x201, uint16_t(i1), uint16_t(first), b, 0);
  for (int k = first; k < first + count; ++k) {
    const bool more = k + 1 < first + count;
    const bool posted = more && itf_.CompleteThenCall(std::span(&read, 1), {0x201, uint16_t(i1), uint16_t(k + 1), b});
    if (!more) itf_.Complete(std::span(&read, 1));
    if (!sink(block.data())) {
      if (posted) Drain();
      return;
    }
    if (more && !posted) Call(0x201, uint16_t(i1), uint16_t(k + 1), b, 0);
  }
}

void CBootFunc::WriteSramBlocks(int i1, int first, int count, bool overlap,
                                const std::function<bool(uint8_t*)>& source) {
  // Two buffers: the next block is filled while the CNC writes the one before.
  std::vector<uint8_t> block(kSramBlockSize), next_block(kSramBlockSize);
  if (!overlap) {
    for (int k = first; k < first + count; ++k) {
      if (!source(block.data())) return;
      WriteSramBlock(i1, block.data(), k);
    }
    return;
  }
  if (count <= 0 || !source(block.data())) return;
  CCncItf::Hold hold(itf_);
  const uint32_t b = itf_.BufferBase();
  cnbus::ShmTransfer write{true, 1, b, int(kSramBlockSize), block.data()};
  Call(0x202, uint16_t(i1), uint16_t(first), b, 0, {.before = std::span(&write, 1)});
  for (int k = first; k < first + count; ++k) {
    if (k + 1 == first + count || !source(next_block.data())) {
      itf_.Complete();
      return;
    }
    cnbus::ShmTransfer next_write{true, 1, b, int(kSramBlockSize), next_block.data()};
    const auto carried = std::span(&next_write, 1);
    if (!itf_.CompleteThenCall({}, {0x202, uint16_t(i1), uint16_t(k + 1), b, 0, carried}))
      Call(0x202, uint16_t(i1), uint16_t(k + 1), b, 0, {.before = carried});
    block.swap(next_block);
  }
}

}  // namespace kestrel
