#pragma once
// The MDI keyboard interface as a program of a simulated CNC's software (see cncsim/cnc/host.h):
// while the CNC's system runs, it publishes the keys of its MdiKeyboard in the way [Simulator]
// MdiWay<n> names (chain, block or mailbox; chain when unset) and answers the keyboard handshake.
// `cncsim key NODE press|release KEY` presses and releases its keys.
#include <memory>
#include <string>

#include "cncsim/cnc/host.h"
#include "cncsim/mdi_keyboard.h"

namespace cncsim {

class MdiProgram final : public cnc::Program {
 public:
  const char* name() const override { return "mdi-keyboard"; }
  void start(cnc::Host& host) override;
  void wake(cnc::Host& host) override;
  void phase_changed(cnc::Host& host, cnc::Phase phase) override;
  std::string describe() const override;

 private:
  void press(cnc::Host& host, unsigned key, bool down);
  std::unique_ptr<MdiKeyboard> keyboard_;
  std::string way_warning_;
  bool running_ = false;
};

std::unique_ptr<cnc::Program> make_mdi_program();

}  // namespace cncsim
