#pragma once
// The simulated CNC's option-parameter service: a request block in its shared memory through which
// the vantor library reads and writes the option parameters over the FLUX link. Layout (all
// little-endian, offsets from kParamBlockAddress):
//
//   0x00 u16 signature   kParamSignature while the CNC's service runs; anything else: no service
//   0x02 u16 flag        the PC writes 1 once the request is in place; the CNC sets 2 while it
//                        works and 0 when the answer is in place
//   0x04 u16 function    kParam* below
//   0x06 i16 status      the answer: 0 or a vantor status
//   0x08 i16 args[4]     the request's numbers, and the answer's where it has any
//   0x10 u8  data[512]   a record going in or out
//
// The PC writes function, args and data first and the flag last; one request at a time per node
// (the vantor library serialises its processes with a named lock per node).
#include <cstdint>

namespace cncsim {

constexpr uint32_t kParamBlockAddress = 0x20F80000;
constexpr uint16_t kParamSignature = 0x5650;
constexpr uint32_t kParamFlagOffset = 0x02;
constexpr uint32_t kParamFunctionOffset = 0x04;
constexpr uint32_t kParamStatusOffset = 0x06;
constexpr uint32_t kParamArgsOffset = 0x08;
constexpr uint32_t kParamDataOffset = 0x10;
constexpr uint32_t kParamDataSize = 512;
constexpr uint32_t kParamBlockSize = kParamDataOffset + kParamDataSize;

constexpr uint16_t kParamFlagIdle = 0, kParamFlagPosted = 1, kParamFlagWorking = 2;

enum ParamFunction : uint16_t {
  kParamOpen = 1,       // a handle is opened on the node: refused while the CNC does not allow it
  kParamClose = 2,
  kParamGetPath = 3,    // answer: args[0] current path, args[1] number of existing paths
  kParamSetPath = 4,    // args[0] path 1 to 5
  kParamInfo = 5,       // args[0] first number, args[1] entries; answer: data = the information
                        // record (count, first, last, then number and type per entry)
  kParamRead = 6,       // args[0] number; answer: args[1] type, data[0..1] the value
  kParamWrite = 7,      // args[0] number, args[1] record length (5: bit, 6: word parameter);
                        // data[0..1] the value (a bit parameter takes data[0])
};

// Statuses the service answers (the vantor library's numbers).
constexpr int16_t kParamOk = 0, kParamRefused = 1, kParamBadLength = 2, kParamNoNumber = 3,
                  kParamBadData = 5, kParamProtected = 7, kParamNoPath = 11;

}  // namespace cncsim
