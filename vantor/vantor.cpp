// libvantor: the option-parameter calls, carried to the CNC over the FLUX link. Each handle is a
// connection to lorandd for one node; a call writes its request into the CNC's parameter request
// block, raises the block's flag and waits (bounded) until the CNC's software has answered.
#include "vantor/vantor.h"

#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cncsim/cnc/param_block.h"
#include "driver/core/status.h"
#include "driver/device/device.h"
#include "platform/named_lock.h"

namespace {

using lorand::Device;
using lorand::file_position;

// How long a CNC may take to answer one request before the call reports it busy.
constexpr auto kAnswerBound = std::chrono::seconds(2);
constexpr uint16_t kMaxHandles = 64;

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }
void put16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}

struct Handle {
  uint32_t node;
  Device device;
  // One request at a time per node across every process that uses this library.
  std::unique_ptr<moxel::NamedLock> lock;
  std::mutex mutex;  // and across the threads that share this handle
};

std::mutex g_table_mutex;
std::map<uint16_t, std::shared_ptr<Handle>> g_handles;
uint16_t g_next_handle = 1;

std::shared_ptr<Handle> find(uint16_t handle) {
  std::lock_guard lock(g_table_mutex);
  const auto it = g_handles.find(handle);
  return it == g_handles.end() ? nullptr : it->second;
}

bool control_dword(Device& device, uint32_t code, uint32_t node, uint32_t* value) {
  uint8_t in[4], out[4] = {};
  std::memcpy(in, &node, 4);
  const auto r = device.control(code, in, out);
  if (r.status != lorand::STATUS_SUCCESS || r.information < 4) return false;
  std::memcpy(value, out, 4);
  return true;
}

// The configured nodes, in node order: those with a port address.
bool configured_nodes(Device& device, std::vector<uint32_t>* nodes) {
  nodes->clear();
  for (uint32_t node = 0; node < lorand::kNodeSlots; ++node) {
    uint32_t base = 0;
    if (!control_dword(device, lorand::IOCTL_LNK_GET_PORT_ADDRESS, node, &base)) return false;
    if (base != 0) nodes->push_back(node);
  }
  return true;
}

// One request to the CNC's parameter service. `data_in` goes to the block's data area before the
// flag is raised; `data_out` receives the answer's data area.
int16_t request(Handle& h, uint16_t function, int16_t (&args)[4],
                std::span<const uint8_t> data_in, std::span<uint8_t> data_out) {
  std::lock_guard thread_lock(h.mutex);
  if (h.lock && h.lock->valid()) h.lock->lock();
  struct Unlock {
    Handle& h;
    ~Unlock() {
      if (h.lock && h.lock->valid()) h.lock->unlock();
    }
  } unlock{h};

  const uint32_t base = cncsim::kParamBlockAddress;
  uint8_t signature[2];
  if (h.device.read(file_position(h.node, base), signature).status != lorand::STATUS_SUCCESS)
    return VANTOR_ST_SOCKET;
  // Memory the link cannot reach reads as all ones.
  if (get16(signature) == 0xFFFF) return VANTOR_ST_SOCKET;
  if (get16(signature) != cncsim::kParamSignature) return VANTOR_ST_FUNC;

  std::vector<uint8_t> head(cncsim::kParamDataOffset - cncsim::kParamFunctionOffset +
                            data_in.size());
  put16(head.data(), function);
  for (int i = 0; i < 4; ++i) put16(head.data() + 4 + 2 * i, uint16_t(args[i]));
  if (!data_in.empty()) std::memcpy(head.data() + 12, data_in.data(), data_in.size());
  const uint8_t posted[2] = {cncsim::kParamFlagPosted, 0};
  if (h.device.write(file_position(h.node, base + cncsim::kParamFunctionOffset), head).status !=
          lorand::STATUS_SUCCESS ||
      h.device.write(file_position(h.node, base + cncsim::kParamFlagOffset), posted).status !=
          lorand::STATUS_SUCCESS)
    return VANTOR_ST_SOCKET;

  const auto deadline = std::chrono::steady_clock::now() + kAnswerBound;
  for (;;) {
    uint8_t flag[2];
    if (h.device.read(file_position(h.node, base + cncsim::kParamFlagOffset), flag).status !=
        lorand::STATUS_SUCCESS)
      return VANTOR_ST_SOCKET;
    if (get16(flag) == cncsim::kParamFlagIdle) break;
    if (std::chrono::steady_clock::now() > deadline) return VANTOR_ST_BUSY;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  uint8_t answer[cncsim::kParamDataOffset - cncsim::kParamStatusOffset];
  if (h.device.read(file_position(h.node, base + cncsim::kParamStatusOffset), answer).status !=
      lorand::STATUS_SUCCESS)
    return VANTOR_ST_SOCKET;
  for (int i = 0; i < 4; ++i) args[i] = int16_t(get16(answer + 2 + 2 * i));
  if (!data_out.empty() &&
      h.device.read(file_position(h.node, base + cncsim::kParamDataOffset), data_out).status !=
          lorand::STATUS_SUCCESS)
    return VANTOR_ST_SOCKET;
  return int16_t(get16(answer));
}

}  // namespace

extern "C" {

int16_t cnc_rdnodenum(int32_t* count) {
  if (!count) return VANTOR_ST_LENGTH;
  Device device;
  std::vector<uint32_t> nodes;
  if (!device.open() || !configured_nodes(device, &nodes)) return VANTOR_ST_SOCKET;
  *count = int32_t(nodes.size());
  return VANTOR_ST_OK;
}

int16_t cnc_rdnodeinfo(int32_t index, VANTOR_NODEINFO* info) {
  if (!info) return VANTOR_ST_LENGTH;
  Device device;
  std::vector<uint32_t> nodes;
  if (!device.open() || !configured_nodes(device, &nodes)) return VANTOR_ST_SOCKET;
  if (index < 0 || size_t(index) >= nodes.size()) return VANTOR_ST_NUMBER;
  const uint32_t node = nodes[size_t(index)];
  uint32_t type = 0, ready = 0, base = 0;
  uint8_t in[4], name[20] = {};
  std::memcpy(in, &node, 4);
  if (!control_dword(device, lorand::IOCTL_LNK_GET_CNC_TYPE, node, &type) ||
      !control_dword(device, lorand::IOCTL_LNK_NODE_READY, node, &ready) ||
      !control_dword(device, lorand::IOCTL_LNK_GET_PORT_ADDRESS, node, &base) ||
      device.control(lorand::IOCTL_LNK_GET_NODE_NAME, in, name).status != lorand::STATUS_SUCCESS)
    return VANTOR_ST_SOCKET;
  *info = VANTOR_NODEINFO{};
  info->node_no = int32_t(node);
  info->cnc_type = int32_t(type);
  // Corvane A and Tessel i offer the option parameters; Corvane B and Tessel do not.
  info->supported = type == 1 || type == 4 ? 1 : 0;
  info->present = ready == 1 ? 1 : 0;
  info->io_base = int32_t(base);
  std::memcpy(info->name, name, sizeof info->name);
  info->name[sizeof info->name - 1] = 0;
  return VANTOR_ST_OK;
}

int16_t cnc_allclibhndl2(int32_t node_no, uint16_t* handle) {
  if (!handle) return VANTOR_ST_LENGTH;
  if (node_no < 0 || uint32_t(node_no) >= lorand::kNodeSlots) return VANTOR_ST_NUMBER;
  auto h = std::make_shared<Handle>();
  h->node = uint32_t(node_no);
  if (!h->device.open()) return VANTOR_ST_SOCKET;
  uint32_t base = 0;
  if (!control_dword(h->device, lorand::IOCTL_LNK_GET_PORT_ADDRESS, h->node, &base))
    return VANTOR_ST_SOCKET;
  if (base == 0) return VANTOR_ST_NUMBER;
  h->lock = std::make_unique<moxel::NamedLock>("MoxelVantorNode" + std::to_string(node_no));
  int16_t args[4] = {};
  const int16_t status = request(*h, cncsim::kParamOpen, args, {}, {});
  if (status != VANTOR_ST_OK) return status;
  std::lock_guard lock(g_table_mutex);
  if (g_handles.size() >= kMaxHandles) return VANTOR_ST_RESOURCE;
  while (g_handles.count(g_next_handle) || g_next_handle == 0) ++g_next_handle;
  *handle = g_next_handle++;
  g_handles[*handle] = h;
  return VANTOR_ST_OK;
}

int16_t cnc_freelibhndl(uint16_t handle) {
  std::shared_ptr<Handle> h;
  {
    std::lock_guard lock(g_table_mutex);
    const auto it = g_handles.find(handle);
    if (it == g_handles.end()) return VANTOR_ST_HANDLE;
    h = it->second;
    g_handles.erase(it);
  }
  int16_t args[4] = {};
  request(*h, cncsim::kParamClose, args, {}, {});
  return VANTOR_ST_OK;
}

int16_t cnc_getpath(uint16_t handle, int16_t* path_no, int16_t* max_path) {
  const auto h = find(handle);
  if (!h) return VANTOR_ST_HANDLE;
  if (!path_no || !max_path) return VANTOR_ST_LENGTH;
  int16_t args[4] = {};
  const int16_t status = request(*h, cncsim::kParamGetPath, args, {}, {});
  if (status == VANTOR_ST_OK) {
    *path_no = args[0];
    *max_path = args[1];
  }
  return status;
}

int16_t cnc_setpath(uint16_t handle, int16_t path_no) {
  const auto h = find(handle);
  if (!h) return VANTOR_ST_HANDLE;
  int16_t args[4] = {path_no, 0, 0, 0};
  return request(*h, cncsim::kParamSetPath, args, {}, {});
}

int16_t cnc_rdparainfo(uint16_t handle, int16_t first, uint16_t count, void* out) {
  const auto h = find(handle);
  if (!h) return VANTOR_ST_HANDLE;
  if (!out || 6 + 4 * size_t(count) > cncsim::kParamDataSize) return VANTOR_ST_LENGTH;
  int16_t args[4] = {first, int16_t(count), 0, 0};
  return request(*h, cncsim::kParamInfo, args, {},
                 {static_cast<uint8_t*>(out), 6 + 4 * size_t(count)});
}

int16_t cnc_rdparam(uint16_t handle, int16_t number, int16_t axis, int16_t length, void* out) {
  const auto h = find(handle);
  if (!h) return VANTOR_ST_HANDLE;
  if (!out || length < 5) return VANTOR_ST_LENGTH;
  if (axis != 0) return VANTOR_ST_NUMBER;
  int16_t args[4] = {number, 0, 0, 0};
  uint8_t value[2] = {};
  const int16_t status = request(*h, cncsim::kParamRead, args, {}, value);
  if (status != VANTOR_ST_OK) return status;
  auto* record = static_cast<uint8_t*>(out);
  put16(record, uint16_t(number));
  put16(record + 2, uint16_t(args[1]));  // the parameter's type
  record[4] = value[0];
  if (!VANTOR_BIT_TYPE(args[1]) && length >= 6) record[5] = value[1];
  return VANTOR_ST_OK;
}

int16_t cnc_wrparam(uint16_t handle, int16_t length, const void* in) {
  const auto h = find(handle);
  if (!h) return VANTOR_ST_HANDLE;
  if (!in || (length != 5 && length != 6)) return VANTOR_ST_LENGTH;
  const auto* record = static_cast<const uint8_t*>(in);
  // The CNC checks the length against the parameter's kind before it writes anything.
  int16_t args[4] = {int16_t(get16(record)), length, 0, 0};
  const uint8_t value[2] = {record[4], uint8_t(length == 6 ? record[5] : 0)};
  return request(*h, cncsim::kParamWrite, args, value, {});
}

}  // extern "C"
