#pragma once
// NTSTATUS values and IOCTL codes of the LORAND device: the contract with every client.
#include <cstdint>

namespace lorand {

using NTSTATUS = uint32_t;

constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = 0xC0000002;
constexpr NTSTATUS STATUS_ACCESS_VIOLATION = 0xC0000005;
constexpr NTSTATUS STATUS_INVALID_PARAMETER = 0xC000000D;
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = 0xC000000E;
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = 0xC000009A;
// A board whose busy bit does not clear within the driver's bound.
constexpr NTSTATUS STATUS_IO_TIMEOUT = 0xC00000B5;
// The connection to lorandd broke (the daemon stopped); reported by the client library only.
constexpr NTSTATUS STATUS_PIPE_BROKEN = 0xC000014B;
// A batched request whose condition did not hold and which was therefore not carried out.
constexpr NTSTATUS STATUS_CANCELLED = 0xC0000120;
// A client and a daemon that speak different versions of the device protocol.
constexpr NTSTATUS STATUS_REVISION_MISMATCH = 0xC0000059;
constexpr NTSTATUS STATUS_DEVICE_CONFIGURATION_ERROR = 0xC0000182;
constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = 0xC0000184;

constexpr bool nt_success(NTSTATUS s) { return (s & 0x80000000u) == 0; }

constexpr uint32_t kNodeSlots = 8;
constexpr uint32_t kDeviceType = 0x9C40;

constexpr uint32_t ctl_code(uint32_t function, uint32_t access) {
  return (kDeviceType << 16) | (access << 14) | (function << 2) | 0 /* METHOD_BUFFERED */;
}
constexpr uint32_t kFileReadAccess = 1, kFileWriteAccess = 2;

constexpr uint32_t IOCTL_LNK_NODE_READY = ctl_code(0x801, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_GET_FIXED_VALUE = ctl_code(0x802, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_GET_NODE_COUNT = ctl_code(0x803, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_GET_PORT_ADDRESS = ctl_code(0x804, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_GET_CNC_TYPE = ctl_code(0x810, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_GET_NODE_NAME = ctl_code(0x811, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_READ_PORT = ctl_code(0x814, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_WRITE_PORT = ctl_code(0x815, kFileWriteAccess);
// Register access of any width (1, 2 or 4 bytes), for clients that run the register protocol
// themselves (the direct path) on boards only lorandd can reach. Same checks and statuses as the
// byte register requests, and the access must lie within the block at an offset aligned to its
// width. Input: LnkNodeWideRegisterRequest; read output: the value, little-endian, `width` bytes.
constexpr uint32_t IOCTL_LNK_READ_PORT_WIDE = ctl_code(0x820, kFileReadAccess);
constexpr uint32_t IOCTL_LNK_WRITE_PORT_WIDE = ctl_code(0x821, kFileWriteAccess);

static_assert(IOCTL_LNK_NODE_READY == 0x9C406004 && IOCTL_LNK_GET_NODE_NAME == 0x9C406044 &&
              IOCTL_LNK_READ_PORT == 0x9C406050 && IOCTL_LNK_WRITE_PORT == 0x9C40A054);

// Register block of a node (offsets from its base).
constexpr uint32_t kRegData = 0, kRegAddress = 4, kRegCommand = 8, kRegStatus = 9, kRegScratch = 10;
constexpr uint32_t kRegisterBlockSize = 16;
constexpr uint8_t kStatusBusy = 0x80, kStatusLink = 0x40, kStatusReady = 0x10;

// Input record of IOCTL_LNK_READ_PORT / IOCTL_LNK_WRITE_PORT: 8 bytes, little-endian.
struct LnkNodeRegisterRequest {
  uint32_t node;
  uint16_t offset;
  uint8_t value;
  uint8_t padding;
};
static_assert(sizeof(LnkNodeRegisterRequest) == 8);

// Input record of the wide register requests: 12 bytes, little-endian.
struct LnkNodeWideRegisterRequest {
  uint32_t node;
  uint16_t offset;
  uint8_t width;  // 1, 2 or 4
  uint8_t padding;
  uint32_t value;  // write request only
};
static_assert(sizeof(LnkNodeWideRegisterRequest) == 12);

}  // namespace lorand
