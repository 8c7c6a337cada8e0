#include "cncsim/cnc/boot.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>

#include "cncsim/cnc/mailbox.h"
#include "cncsim/cnc/module_header.h"

namespace cncsim::cnc {
namespace {

constexpr uint32_t kSramBlockSize = 0x8000;
constexpr uint32_t kMaxBlocks = 128;  // F-ROM blocks of one board: 16 MB
constexpr const char* kDirectoryFile = "directory.bin";
constexpr char kDirectoryMagic[8] = {'M', 'X', 'F', 'R', 'D', 'I', 'R', '1'};

std::string trim(const std::string& s) {
  const auto b = s.find_first_not_of(" \t");
  if (b == std::string::npos) return {};
  return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

const char* kDefaultBoards = "0,MAIN,MAN,0x300000,0x40000,0;1,SUB,SUB,0x100000,0x20000,0x100;"
                             "2,OPTION,OPT,0,0x20000,0x200";

std::optional<std::vector<Board>> parse_boards(const std::string& text, std::string* error) {
  std::vector<Board> boards;
  std::istringstream list(text);
  std::string record;
  uint32_t from_at = 0, sram_at = 0;
  while (std::getline(list, record, ';')) {
    if (trim(record).empty()) continue;
    std::vector<std::string> f;
    std::istringstream fields(record);
    for (std::string x; std::getline(fields, x, ',');) f.push_back(trim(x));
    auto bad = [&](const std::string& why) {
      *error = "board '" + trim(record) + "': " + why;
      return std::nullopt;
    };
    if (f.size() != 6) return bad("needs NUMBER,NAME,EXT,FROMSIZE,SRAMSIZE,CODE");
    auto number = moxel::parse_dword(f[0]);
    auto from = moxel::parse_dword(f[3]);
    auto sram = moxel::parse_dword(f[4]);
    auto code = moxel::parse_dword(f[5]);
    if (!number || *number > 0xFFFF) return bad("bad number");
    if (f[1].empty() || f[1].size() > 8) return bad("name of 1 to 8 characters");
    if (f[2].size() > 3) return bad("extension of at most 3 characters");
    if (!from || *from % kFromBlockSize || *from / kFromBlockSize > kMaxBlocks)
      return bad("F-ROM size must be a multiple of 128 KB, at most 16 MB");
    if (!sram || *sram % kSramBlockSize || *sram > 0x800000)
      return bad("SRAM size must be a multiple of 32 KB, at most 8 MB");
    if (!code || *code > 0xFFFF) return bad("bad SRAM access code");
    Board b{uint16_t(*number), f[1], f[2], *from, *sram, uint16_t(*code), from_at, sram_at};
    from_at += *from;
    sram_at += *sram;
    if (from_at > kMaxSpaceSize || sram_at > kMaxSpaceSize) return bad("the boards exceed 16 MB");
    boards.push_back(b);
  }
  if (boards.empty()) {
    *error = "no boards";
    return std::nullopt;
  }
  return boards;
}

// One module of the F-ROM directory.
struct Module {
  uint16_t board = 0;
  uint16_t first = 0;  // first block, board-relative
  uint16_t count = 0;
  bool pending = false;  // announced, not yet written whole
  ModuleHeader header{};
  std::vector<bool> written;  // per block, while pending

  ModuleInfo info() const {
    ModuleInfo m;
    parse_module_header(header, &m);
    return m;
  }
  bool holds(uint32_t block) const { return block >= first && block < uint32_t(first) + count; }
};

class BootSoftware final : public Program {
 public:
  const char* name() const override { return "boot"; }
  void start(Host& host) override;
  void phase_changed(Host& host, Phase phase) override;
  std::string describe() const override;

 private:
  // Mailbox functions.
  void leave_console(Host&, const Request&, Reply&);
  void identify(Host&, const Request&, Reply&);
  void list_boards(Host&, const Request&, Reply&);
  void select_board(Host&, const Request&, Reply&);
  void read_block(Host&, const Request&, Reply&);
  void write_block(Host&, const Request&, Reply&);
  void erase_block(Host&, const Request&, Reply&);
  void directory(Host&, const Request&, Reply&);
  void check_text(Host&, const Request&, Reply&);
  void announce(Host&, const Request&, Reply&);
  void initialise(Host&, const Request&, Reply&);
  void module_header(Host&, const Request&, Reply&);
  void read_sram(Host&, const Request&, Reply&);
  void write_sram(Host&, const Request&, Reply&);

  void enter(Host& host, Phase phase);
  void load_system(Host& host);
  const Board& board() const { return boards_[selected_]; }
  bool block_ok(uint32_t block) const { return block < board().from_size / kFromBlockSize; }
  uint32_t from_address(uint32_t block) const {
    return Memory::from(board().from_start + block * kFromBlockSize);
  }
  // The buffer of `length` bytes at shared-memory offset `at` lies in shared memory.
  static bool buffer_ok(uint32_t at, uint32_t length) {
    return at < kSharedSize && length <= kSharedSize - at;
  }
  std::vector<const Module*> modules_of_board() const;
  const Board* sram_board(const Request& rq, Reply& rp) const;
  void erase(Host& host, uint32_t block);
  void load_directory();
  void save_directory();

  std::vector<Board> boards_;
  size_t selected_ = 0;
  std::vector<Module> modules_;
  std::filesystem::path directory_file_;
  uint32_t naming_value_ = 1;
  uint32_t init_answer_ = 0;
  uint32_t erase_ms_ = 0, write_ms_ = 0, read_ms_ = 0, sram_ms_ = 0, load_ms_ = 0;
  uint64_t boot_generation_ = 0;  // a restart cancels a pending end of loading

  // Faults.
  uint16_t sram_read_error_ = 0, sram_write_error_ = 0;
  std::set<uint32_t> write_refused_, erase_refused_;
};

void BootSoftware::start(Host& host) {
  std::string error;
  boards_ = boards_from_config(host.config(), host.node(), &error);
  if (!error.empty()) std::fprintf(stderr, "cncsim: node %u: %s\n", host.node(), error.c_str());
  naming_value_ = host.setting("NamingValue", 1);
  init_answer_ = host.setting("InitAnswer", 0);
  erase_ms_ = host.setting("EraseTime", 0);
  write_ms_ = host.setting("WriteTime", 0);
  read_ms_ = host.setting("ReadTime", 0);
  sram_ms_ = host.setting("SramTime", 0);
  load_ms_ = host.setting("LoadTime", 0);
  if (!host.state_dir().empty()) directory_file_ = host.state_dir() / kDirectoryFile;
  load_directory();

  Mailbox& mb = host.mailbox();
  using Fn = void (BootSoftware::*)(Host&, const Request&, Reply&);
  const std::pair<uint16_t, Fn> functions[] = {
      {0x001, &BootSoftware::leave_console}, {0x002, &BootSoftware::identify},
      {0x004, &BootSoftware::list_boards},   {0x005, &BootSoftware::select_board},
      {0x101, &BootSoftware::read_block},    {0x102, &BootSoftware::write_block},
      {0x103, &BootSoftware::erase_block},   {0x104, &BootSoftware::directory},
      {0x105, &BootSoftware::check_text},    {0x106, &BootSoftware::announce},
      {0x107, &BootSoftware::initialise},    {0x108, &BootSoftware::module_header},
      {0x201, &BootSoftware::read_sram},     {0x202, &BootSoftware::write_sram},
  };
  for (const auto& [code, fn] : functions)
    mb.add(code, [this, f = fn](Host& h, const Request& rq, Reply& rp) { (this->*f)(h, rq, rp); });

  host.add_boot_mode("console", [this, &host] { enter(host, Phase::console); });
  host.add_boot_mode("auto", [this, &host] { load_system(host); });
  host.add_boot_mode("running", [this, &host] { enter(host, Phase::running); });

  auto blocks = [](std::set<uint32_t>& set) {
    return [&set](bool on, std::optional<uint32_t> v) {
      if (on) set.insert(*v);
      else if (v) set.erase(*v);
      else set.clear();
    };
  };
  auto sram_error = [](uint16_t& error) {
    return [&error](bool on, std::optional<uint32_t> v) { error = on ? uint16_t(*v) : 0; };
  };
  host.add_fault({"mailbox-silent", "the boot software never takes a mailbox request", false,
                  [&host](bool on, std::optional<uint32_t>) { host.mailbox().silent = on; }});
  host.add_fault({"mailbox-stuck", "the boot software takes a request and never finishes it", false,
                  [&host](bool on, std::optional<uint32_t>) { host.mailbox().stuck = on; }});
  host.add_fault({"function-fails", "function VALUE is answered with status 1, error 0xFD", true,
                  [&host](bool on, std::optional<uint32_t> v) {
                    auto& f = host.mailbox().failing;
                    if (on) f.insert(uint16_t(*v));
                    else if (v) f.erase(uint16_t(*v));
                    else f.clear();
                  }});
  host.add_fault({"sram-read-error", "SRAM block reads fail with error VALUE (1 parity, 2 NMI, 3 uncorrectable)",
                  true, sram_error(sram_read_error_)});
  host.add_fault({"sram-write-error", "SRAM block writes fail with error VALUE (1 verify, 2 ECC, 3 restore)",
                  true, sram_error(sram_write_error_)});
  host.add_fault({"from-write-refused", "writing F-ROM block VALUE of any board fails", true,
                  blocks(write_refused_)});
  host.add_fault({"from-erase-refused", "erasing F-ROM block VALUE of any board fails", true,
                  blocks(erase_refused_)});
}

void BootSoftware::phase_changed(Host&, Phase phase) {
  if (phase == Phase::off) {
    ++boot_generation_;
    selected_ = 0;
  }
}

void BootSoftware::enter(Host& host, Phase phase) {
  ++boot_generation_;
  selected_ = 0;
  const uint16_t word = phase == Phase::console   ? kStateConsole
                        : phase == Phase::loading ? kStateLoading
                                                  : kStateRunning;
  host.memory().write16(Memory::shared(host.area_base()), word);
  host.set_phase(phase);
}

void BootSoftware::load_system(Host& host) {
  enter(host, Phase::loading);
  if (host.setting("BootScreen", 0)) return;  // its screen ends the loading (boot_screen.h)
  const uint64_t generation = boot_generation_;
  host.after_ms(load_ms_, [this, &host, generation] {
    if (generation == boot_generation_ && host.phase() == Phase::loading) enter(host, Phase::running);
  });
}

std::string BootSoftware::describe() const {
  std::string out = "board " + std::to_string(board().number) + " " + board().name + "\n";
  out += "modules " + std::to_string(modules_.size()) + "\n";
  return out;
}

// --- console ---

void BootSoftware::leave_console(Host& host, const Request&, Reply&) {
  // The reply goes out first; the system loads from the next pass of the host on.
  host.after_ms(0, [this, &host] {
    if (host.phase() == Phase::console) load_system(host);
  });
}

void BootSoftware::identify(Host& host, const Request& rq, Reply& rp) {
  char text[32] = {};
  std::snprintf(text, sizeof text, "MOXEL BOOT SYSTEM V01.00");
  if (!buffer_ok(rq.i3, sizeof text)) return rp.fail(kErrorBadBuffer);
  host.memory().write(Memory::shared(rq.i3), std::span(reinterpret_cast<uint8_t*>(text), sizeof text));
  rp.o1 = 0x0100;
  rp.o2 = uint16_t(naming_value_);
}

void BootSoftware::list_boards(Host& host, const Request& rq, Reply& rp) {
  if (!buffer_ok(rq.i3, uint32_t(boards_.size()) * 32)) return rp.fail(kErrorBadBuffer);
  for (size_t i = 0; i < boards_.size(); ++i) {
    const Board& b = boards_[i];
    uint8_t e[32] = {};
    e[0] = uint8_t(b.number);
    e[1] = uint8_t(b.number >> 8);
    for (int k = 0; k < 4; ++k) {
      e[4 + k] = uint8_t(b.from_size >> (8 * k));
      e[8 + k] = uint8_t(b.sram_size >> (8 * k));
    }
    std::memset(e + 12, ' ', 8);
    std::memcpy(e + 12, b.name.data(), std::min<size_t>(b.name.size(), 8));
    std::memcpy(e + 20, b.extension.data(), std::min<size_t>(b.extension.size(), 3));
    e[24] = uint8_t(b.sram_code);
    e[25] = uint8_t(b.sram_code >> 8);
    host.memory().write(Memory::shared(rq.i3 + uint32_t(i) * 32), e);
  }
  rp.o1 = uint16_t(boards_.size());
}

void BootSoftware::select_board(Host&, const Request& rq, Reply& rp) {
  for (size_t i = 0; i < boards_.size(); ++i) {
    if (boards_[i].number == rq.i1) {
      selected_ = i;
      return;
    }
  }
  rp.fail(kErrorBadArgument);
}

// --- F-ROM ---

void BootSoftware::read_block(Host& host, const Request& rq, Reply& rp) {
  if (!block_ok(rq.i1)) return rp.fail(kErrorBadArgument);
  if (!buffer_ok(rq.i3, kFromBlockSize)) return rp.fail(kErrorBadBuffer);
  if (!host.pause_ms(read_ms_)) return;
  std::vector<uint8_t> data(kFromBlockSize);
  host.memory().read(from_address(rq.i1), data);
  host.memory().write(Memory::shared(rq.i3), data);
}

void BootSoftware::write_block(Host& host, const Request& rq, Reply& rp) {
  if (!block_ok(rq.i1)) return rp.fail(kErrorBadArgument);
  if (!buffer_ok(rq.i3, kFromBlockSize)) return rp.fail(kErrorBadBuffer);
  if (!host.pause_ms(write_ms_)) return;
  if (write_refused_.count(rq.i1)) return rp.fail(1);
  // Flash cells only go from 1 to 0: what is written is ANDed in, and a block that was not erased
  // fails the verify.
  std::vector<uint8_t> data(kFromBlockSize), cells(kFromBlockSize);
  host.memory().read(Memory::shared(rq.i3), data);
  host.memory().read(from_address(rq.i1), cells);
  bool verified = true;
  for (uint32_t i = 0; i < kFromBlockSize; ++i) {
    cells[i] &= data[i];
    verified &= cells[i] == data[i];
  }
  host.memory().write(from_address(rq.i1), cells);
  if (!verified) return rp.fail(2);
  // The directory file is rewritten when a module is complete, not at every block: after a
  // restart a module still being loaded shows the blocks written when it was last saved (a load
  // cut short by a restart is done again), and a block write costs no file write.
  bool completed = false;
  for (Module& m : modules_) {
    if (m.board != selected_ || !m.pending || !m.holds(rq.i1)) continue;
    m.written[rq.i1 - m.first] = true;
    m.pending = !std::all_of(m.written.begin(), m.written.end(), [](bool w) { return w; });
    completed |= !m.pending;
  }
  if (completed) save_directory();
}

void BootSoftware::erase(Host& host, uint32_t block) {
  host.memory().fill(from_address(block), kFromBlockSize, 0xFF);
  // Erasing a block of a stored module ends the module; a module being loaded keeps its entry
  // until a block it already wrote is erased again.
  const size_t before = modules_.size();
  std::erase_if(modules_, [&](const Module& m) {
    return m.board == selected_ && m.holds(block) && (!m.pending || m.written[block - m.first]);
  });
  for (Module& m : modules_)
    if (m.board == selected_ && m.holds(block)) m.written[block - m.first] = false;
  if (modules_.size() != before) save_directory();
}

void BootSoftware::erase_block(Host& host, const Request& rq, Reply& rp) {
  if (!block_ok(rq.i1)) return rp.fail(kErrorBadArgument);
  if (!host.pause_ms(erase_ms_)) return;
  if (erase_refused_.count(rq.i1)) return rp.fail(1);
  erase(host, rq.i1);
}

std::vector<const Module*> BootSoftware::modules_of_board() const {
  std::vector<const Module*> list;
  for (const Module& m : modules_)
    if (m.board == selected_) list.push_back(&m);
  std::sort(list.begin(), list.end(), [](const Module* a, const Module* b) { return a->first < b->first; });
  return list;
}

void BootSoftware::directory(Host& host, const Request& rq, Reply& rp) {
  const auto list = modules_of_board();
  if (!buffer_ok(rq.i3, uint32_t(list.size()) * 48)) return rp.fail(kErrorBadBuffer);
  for (size_t i = 0; i < list.size(); ++i) {
    const Module& m = *list[i];
    const ModuleInfo info = m.info();
    uint8_t e[48] = {};
    std::memset(e, ' ', 8);
    std::memcpy(e, info.name.data(), std::min<size_t>(info.name.size(), 8));
    e[8] = ' ';
    e[9] = info.interleaved ? '1' : '0';
    e[10] = uint8_t(m.count >> 8);  // high byte first
    e[11] = uint8_t(m.count);
    std::memcpy(e + 12, info.name.data(), std::min<size_t>(info.name.size(), 16));
    e[32] = uint8_t(m.first);
    e[33] = uint8_t(m.first >> 8);
    e[34] = (info.flags & kModuleProtected) ? 0 : 1;  // bit 0 clear: protected
    e[35] = (info.flags & kModulePlainCopy) ? 1 : 0;
    e[36] = m.pending ? 1 : 0;
    for (int k = 0; k < 4; ++k) e[40 + k] = uint8_t(info.size >> (8 * k));
    host.memory().write(Memory::shared(rq.i3 + uint32_t(i) * 48), e);
  }
  rp.o1 = uint16_t(list.size());
}

void BootSoftware::check_text(Host& host, const Request& rq, Reply& rp) {
  if (!block_ok(rq.i1)) return rp.fail(kErrorBadArgument);
  if (!buffer_ok(rq.i3, 32)) return rp.fail(kErrorBadBuffer);
  if (!host.pause_ms(read_ms_)) return;
  std::vector<uint8_t> data(kFromBlockSize);
  host.memory().read(from_address(rq.i1), data);
  uint16_t sum = 0;
  for (uint8_t b : data) sum = uint16_t(sum + b);
  char text[32] = {};
  std::snprintf(text, sizeof text, "CRC32 %08X SUM %04X", crc32_of(data), sum);
  host.memory().write(Memory::shared(rq.i3), std::span(reinterpret_cast<uint8_t*>(text), sizeof text));
}

void BootSoftware::announce(Host& host, const Request& rq, Reply& rp) {
  if (!buffer_ok(rq.i3, kLoadHeaderSize) || !buffer_ok(rq.i4, 16)) return rp.fail(kErrorBadBuffer);
  std::vector<uint8_t> head(kLoadHeaderSize);
  host.memory().read(Memory::shared(rq.i3), head);
  ModuleInfo info;
  if (!parse_module_header(std::span(head).first(kModuleHeaderSize), &info)) return rp.fail(1);
  const uint32_t count = module_blocks(info);
  const uint32_t blocks = board().from_size / kFromBlockSize;
  if (count == 0 || count > blocks) return rp.fail(2);

  // A module of that name and size is loaded again in its place; otherwise the first free run
  // of blocks, where the blocks of an old module of that name count as free (the PC erases it).
  Module* same = nullptr;
  for (Module& m : modules_)
    if (m.board == selected_ && m.info().name == info.name) same = &m;
  std::optional<uint32_t> first;
  if (same && same->count == count && same->info().interleaved == info.interleaved) {
    first = same->first;
  } else {
    std::vector<bool> used(blocks, false);
    for (const Module& m : modules_)
      if (m.board == selected_ && &m != same)
        for (uint32_t b = m.first; b < uint32_t(m.first) + m.count && b < blocks; ++b) used[b] = true;
    const uint32_t step = info.interleaved ? 2 : 1;
    for (uint32_t b = 0; b + count <= blocks && !first; b += step)
      if (std::none_of(used.begin() + b, used.begin() + b + count, [](bool u) { return u; })) first = b;
  }
  if (!first) return rp.fail(2);

  Module entry;
  entry.board = uint16_t(selected_);
  entry.first = uint16_t(*first);
  entry.count = uint16_t(count);
  entry.pending = true;
  entry.written.assign(count, false);
  std::copy_n(head.begin(), kModuleHeaderSize, entry.header.begin());
  if (same && same->first == *first)
    *same = entry;
  else
    modules_.push_back(entry);
  save_directory();

  uint8_t name[16] = {};
  std::memcpy(name, info.name.data(), std::min<size_t>(info.name.size(), 16));
  host.memory().write(Memory::shared(rq.i4), name);
  rp.o1 = uint16_t(*first);
  rp.o2 = uint16_t(count);
  rp.o3 = info.interleaved ? 1 : 0;
}

void BootSoftware::initialise(Host& host, const Request&, Reply& rp) {
  std::erase_if(modules_, [&](const Module& m) { return m.board == selected_; });
  save_directory();
  if (init_answer_ != 0) return rp.fail(0, uint16_t(init_answer_));
  for (uint32_t b = 0; b < board().from_size / kFromBlockSize; ++b) {
    if (!host.pause_ms(erase_ms_)) return;
    if (erase_refused_.count(b)) return rp.fail(1, 2);
    erase(host, b);
  }
}

void BootSoftware::module_header(Host& host, const Request& rq, Reply& rp) {
  // The console asks by the module's first block.
  if (!buffer_ok(rq.i3, kModuleHeaderSize)) return rp.fail(kErrorBadBuffer);
  for (const Module* m : modules_of_board()) {
    if (m->first == rq.i1) {
      host.memory().write(Memory::shared(rq.i3), m->header);
      return;
    }
  }
  rp.fail(kErrorBadArgument);
}

// --- SRAM ---

// The board whose SRAM access code is I1 (the selected board first) when I2 is a block of its
// SRAM and the buffer holds a block; otherwise nullptr with the failure in `rp`.
const Board* BootSoftware::sram_board(const Request& rq, Reply& rp) const {
  const Board* b = nullptr;
  if (board().sram_code == rq.i1) b = &board();
  for (size_t i = 0; !b && i < boards_.size(); ++i)
    if (boards_[i].sram_code == rq.i1) b = &boards_[i];
  if (!b || uint32_t(rq.i2) >= b->sram_size / kSramBlockSize) {
    rp.fail(kErrorBadArgument);
    return nullptr;
  }
  if (!buffer_ok(rq.i3, kSramBlockSize)) {
    rp.fail(kErrorBadBuffer);
    return nullptr;
  }
  return b;
}

void BootSoftware::read_sram(Host& host, const Request& rq, Reply& rp) {
  const Board* b = sram_board(rq, rp);
  if (!b || !host.pause_ms(sram_ms_)) return;
  if (sram_read_error_) return rp.fail(sram_read_error_);
  std::vector<uint8_t> data(kSramBlockSize);
  host.memory().read(Memory::sram(b->sram_start + rq.i2 * kSramBlockSize), data);
  host.memory().write(Memory::shared(rq.i3), data);
}

void BootSoftware::write_sram(Host& host, const Request& rq, Reply& rp) {
  const Board* b = sram_board(rq, rp);
  if (!b || !host.pause_ms(sram_ms_)) return;
  if (sram_write_error_) return rp.fail(sram_write_error_);
  std::vector<uint8_t> data(kSramBlockSize);
  host.memory().read(Memory::shared(rq.i3), data);
  host.memory().write(Memory::sram(b->sram_start + rq.i2 * kSramBlockSize), data);
}

// --- directory file: magic, then per module board, first, count, pending (16-bit each), the
// written flags of its blocks (kMaxBlocks bytes) and its header (128 bytes) ---

void BootSoftware::load_directory() {
  modules_.clear();
  if (directory_file_.empty()) return;
  std::ifstream in(directory_file_, std::ios::binary);
  char magic[8];
  if (!in.read(magic, 8) || std::memcmp(magic, kDirectoryMagic, 8) != 0) return;
  for (;;) {
    uint8_t r[8 + kMaxBlocks + kModuleHeaderSize];
    if (!in.read(reinterpret_cast<char*>(r), sizeof r)) break;
    Module m;
    m.board = uint16_t(r[0] | r[1] << 8);
    m.first = uint16_t(r[2] | r[3] << 8);
    m.count = uint16_t(r[4] | r[5] << 8);
    m.pending = r[6] != 0;
    if (m.board >= boards_.size() || m.count == 0 || m.count > kMaxBlocks ||
        uint32_t(m.first) + m.count > boards_[m.board].from_size / kFromBlockSize)
      continue;  // from another board layout: dropped
    m.written.assign(r + 8, r + 8 + m.count);
    std::copy_n(r + 8 + kMaxBlocks, kModuleHeaderSize, m.header.begin());
    if (!parse_module_header(m.header, nullptr)) continue;
    modules_.push_back(std::move(m));
  }
}

void BootSoftware::save_directory() {
  if (directory_file_.empty()) return;
  const std::filesystem::path temp = directory_file_.string() + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out.write(kDirectoryMagic, 8);
    for (const Module& m : modules_) {
      uint8_t r[8 + kMaxBlocks + kModuleHeaderSize] = {};
      r[0] = uint8_t(m.board);
      r[1] = uint8_t(m.board >> 8);
      r[2] = uint8_t(m.first);
      r[3] = uint8_t(m.first >> 8);
      r[4] = uint8_t(m.count);
      r[5] = uint8_t(m.count >> 8);
      r[6] = m.pending ? 1 : 0;
      for (size_t i = 0; i < m.written.size(); ++i) r[8 + i] = m.written[i] ? 1 : 0;
      std::copy(m.header.begin(), m.header.end(), r + 8 + kMaxBlocks);
      out.write(reinterpret_cast<const char*>(r), sizeof r);
    }
    if (!out) {
      std::fprintf(stderr, "cncsim: cannot write %s\n", temp.c_str());
      return;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, directory_file_, ec);
  if (ec) std::fprintf(stderr, "cncsim: cannot replace %s: %s\n", directory_file_.c_str(), ec.message().c_str());
}

}  // namespace

std::vector<Board> boards_from_config(const moxel::ConfigData& config, uint32_t node, std::string* error) {
  std::string why;
  const std::string given = config.string("Simulator", "Boards" + std::to_string(node), "");
  if (!trim(given).empty()) {
    if (auto boards = parse_boards(given, &why)) return *boards;
    if (error) *error = "Boards" + std::to_string(node) + ": " + why + "; using the default boards";
  }
  return *parse_boards(kDefaultBoards, &why);
}

std::unique_ptr<Program> make_boot_software() { return std::make_unique<BootSoftware>(); }

}  // namespace cncsim::cnc
