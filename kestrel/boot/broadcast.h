#pragma once
// The node link broadcast "MOXEL-FLUX-COMMUNICATION" that tells the desktop's programs about a
// node: wParam 0 when its link went down after it had been up, 1 when its boot sequence has
// started the application programs.
//
// On Linux it is a D-Bus signal on the session bus: path kPath, interface kInterface, member
// kMember, arguments (uint32 wParam, int32 node). Without a session bus nothing is sent and
// nothing fails.
#include <cstdint>

namespace kestrel {

class IBroadcaster {
 public:
  virtual ~IBroadcaster() = default;
  virtual void Broadcast(uint32_t wparam, int node) = 0;
};

class CDBusBroadcaster final : public IBroadcaster {
 public:
  static constexpr const char* kMessageName = "MOXEL-FLUX-COMMUNICATION";
  static constexpr const char* kPath = "/org/moxel/Flux";
  static constexpr const char* kInterface = "org.moxel.Flux";
  static constexpr const char* kMember = "Communication";

  // Safe from any thread.
  void Broadcast(uint32_t wparam, int node) override;
};

}  // namespace kestrel
