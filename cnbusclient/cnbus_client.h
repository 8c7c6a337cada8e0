#pragma once
// CCnbusClient: the user-side client of the LORAND device through which every program reads and
// writes CNC memory and the FLUX board's registers. All client objects of a process share one node
// table, built by the first object and kept while any object exists. Two ways of reaching a node:
// the driver path (every access is a request to lorandd) and the direct path (the program runs the
// board's register protocol itself over a port-access layer); the configuration queries go through
// the device on both. All accesses go to the object's current node.
#include <cstdint>
#include <span>
#include <string>

namespace cnbus {

// How the process's first client object is set up; later objects share its node table.
struct ClientOptions {
  // Offsets of 0x1000000 and more are folded into space codes. The memory viewer turns this off so
  // that the address it is given reaches the driver unchanged.
  bool fold_offsets = true;
  // Set up window and the writes of board registers 9 and 10 are offered (not in the memory viewer).
  bool window_operations = true;
};

// One shared-memory transfer of a checked sequence (CCnbusClient::ShmRunChecked): `count`
// elements of `unit` bytes (1, 2 or 4) from offset `x` upwards, read into or written from `data`
// (count * unit bytes, the elements little-endian).
struct ShmTransfer {
  bool write = false;
  unsigned unit = 1;
  uint32_t x = 0;
  int count = 0;
  uint8_t* data = nullptr;  // only read from for a write
  // An earlier read of the same sequence (its index), or -1: the transfer is carried out only
  // when that read succeeded and gave only zero bytes (an idle flag); its link test is made anyway.
  int guard = -1;
  bool skipped = false;     // out: the guard did not allow the transfer; its data is untouched
  int link = 0;             // out: the Link up answer read right after this transfer
};

class CCnbusClient {
 public:
  CCnbusClient();
  virtual ~CCnbusClient();
  CCnbusClient(const CCnbusClient&) = delete;
  CCnbusClient& operator=(const CCnbusClient&) = delete;

  // Queries ("unavailable" results: 0, empty name).
  int IsAvailable() const;
  int GetNodeCount() const;
  int IsNodePresent(int node) const;
  int SelectNode(int node);  // 0 when unavailable or not present; else 1
  int GetCurrentNode() const;
  std::string GetNodeName() const;
  int GetCncType() const;

  // Board registers of the current node.
  int IsLinkUp();             // bit 6 of register 9
  int IsCncReady();           // bits 6 and 4 of register 9
  int GetBoardGeneration();   // register 10 >> 4; -1 when unavailable
  int TestBoardRegister();    // 0 passed, 1 failed (or unavailable)

  // CNC memory units (all ones when the access cannot be made).
  uint8_t ReadByte(int space, uint32_t offset);
  uint16_t ReadWord(int space, uint32_t offset);
  uint32_t ReadDword(int space, uint32_t offset);
  void WriteByte(int space, uint32_t offset, uint8_t value);
  void WriteWord(int space, uint32_t offset, uint16_t value);
  void WriteDword(int space, uint32_t offset, uint32_t value);
  void WriteControlWord(int space, uint32_t offset, uint16_t value);
  uint16_t RawReadWord(int space, uint32_t offset);
  void RawWriteWord(int space, uint32_t offset, uint16_t value);

  // Shared memory: space 0x20, offset 0xC00000 + x.
  uint8_t ShmReadByte(uint32_t x);
  uint16_t ShmReadWord(uint32_t x);
  uint32_t ShmReadDword(uint32_t x);
  void ShmWriteByte(uint32_t x, uint8_t value);
  void ShmWriteWord(uint32_t x, uint16_t value);
  void ShmWriteDword(uint32_t x, uint32_t value);
  // Block forms: one unit per element, ascending; nothing when unavailable or n <= 0.
  void ShmReadBytes(uint32_t x, uint8_t* buffer, int n);
  void ShmReadWords(uint32_t x, uint16_t* buffer, int n);
  void ShmReadDwords(uint32_t x, uint32_t* buffer, int n);
  void ShmWriteBytes(uint32_t x, const uint8_t* buffer, int n);
  void ShmWriteWords(uint32_t x, const uint16_t* buffer, int n);
  void ShmWriteDwords(uint32_t x, const uint32_t* buffer, int n);
  // The transfers in order, each as its block form above followed by IsLinkUp, with each
  // transfer's answer in its `link`; every transfer is carried out whatever the answers before it
  // were. The board sees exactly the accesses of those calls; on the driver path a sequence of
  // aligned transfers travels in one request (where it fits a message) instead of two per
  // transfer. Unavailable: nothing is moved and every answer is 0.
  void ShmRunChecked(std::span<ShmTransfer> transfers);

  // Window operations.
  uint16_t RefreshWindowNibble();
  uint16_t ReadWindowWord(uint32_t x);
  int WindowFlag0();
  int WindowFlag1();
  int SetUpWindow();  // 0: the PC board is too old for this CNC; else 1
  void ResetLink();

 protected:
  // The memory viewer's variant passes its options; the first object of a process decides.
  explicit CCnbusClient(const ClientOptions& options);

  int current_node_ = 0;
};

// The memory viewer's client: no offset folding, no window operations, and the extras it needs.
class CHexlookCnbusClient : public CCnbusClient {
 public:
  CHexlookCnbusClient();

  // Position of a present node among the present nodes (0 for the lowest); -1 when not present.
  int GetNodePosition(int node) const;
  std::string GetNodeName(int node) const;
  uint16_t GetPortBase(int node) const;
  using CCnbusClient::GetNodeName;

  // One byte of register `offset` (0 to 15) of the current node, as the register read request
  // answers it; 0xFF when it cannot be read.
  uint8_t ReadBoardRegister(uint32_t offset);

  // Reads `count` cells of `unit` bytes (1, 2 or 4) from `address` upwards into `values`, one unit
  // read per cell. With `check_slot`, each cell is preceded by a read of register 9 and is read
  // only when bit 4 is 1; a skipped or failed cell reads as all ones. The board sees exactly the
  // accesses of that loop; on the driver path they travel in batches.
  void ReadCells(uint32_t address, int unit, int count, bool check_slot, uint32_t* values);
};

}  // namespace cnbus
