#include "kestrel/console/tables.h"

#include <cstdint>
#include <span>

namespace kestrel {
namespace {

// Calls `function` (I3 = the transfer buffer) and reads `entry_size` bytes for each of its O1
// entries, under one hold so that no other call can replace the buffer in between.
template <class Record>
std::vector<Record> read_table(CCncItf& itf, uint16_t function, uint32_t entry_size,
                               Record (*parse)(std::span<const uint8_t>)) {
  const uint32_t b = itf.BufferBase();
  CCncItf::Hold hold(itf);
  if (itf.Call(function, 0, 0, b, 0, 1) != 0) throw CItfErr(itf.ErrorState());
  std::vector<Record> records;
  if (itf.Status() != 0) return records;
  std::vector<uint8_t> data(size_t(itf.Image().o1) * entry_size);
  if (!data.empty()) itf.ReadBytes(b, data.data(), int(data.size()));
  for (size_t at = 0; at < data.size(); at += entry_size)
    records.push_back(parse(std::span<const uint8_t>(data).subspan(at, entry_size)));
  return records;
}

}  // namespace

std::vector<BoardRecord> ReadBoards(CCncItf& itf) {
  return read_table(itf, 0x004, kBoardEntrySize, parse_board_entry);
}

std::vector<ModuleRecord> ReadModules(CCncItf& itf) {
  return read_table(itf, 0x104, kDirectoryEntrySize, parse_directory_entry);
}

}  // namespace kestrel
