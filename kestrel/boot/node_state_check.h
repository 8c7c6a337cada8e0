#pragma once
// The interface state check of a node (CCncStateCheck) as the boot sequence runs it: on the boot
// thread's own client, its messages through the thread's prompter, and ended at once by the
// thread's stop request instead of running out its time limits.
#include "kestrel/boot/boot_thread.h"

namespace kestrel {

class CNodeStateCheck final : public IStateCheck {
 public:
  bool Check(CBootThread& thread) override;
};

}  // namespace kestrel
