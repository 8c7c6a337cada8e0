#include "kestrel/boot/node_state_check.h"

#include "kestrel/cncitf/cnc_state_check.h"

namespace kestrel {

namespace {
struct Stopped {};
}  // namespace

bool CNodeStateCheck::Check(CBootThread& thread) {
  // A lost link needs no word from here: the monitor sees it on its next pass and tells the
  // program itself.
  CCncStateCheck check(thread.Client(), {}, thread.Prompter());
  CStopRequest& stop = thread.Stop();
  // Every wait of the check reads this clock once per pass.
  check.SetClock([&stop] {
    if (stop.IsSet()) throw Stopped{};
    return CCncStateCheck::SystemSeconds();
  });
  try {
    return check.Run() == 1;
  } catch (const Stopped&) {
    return false;
  }
}

}  // namespace kestrel
