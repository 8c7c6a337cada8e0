#pragma once
// The prompter of kestrel-cli: questions on the terminal, answered by a line of input (y/n,
// r/c; an empty line or end of input takes the preset button), or all answered yes (Yes, OK) with
// --yes. The questions that wait for the operator to act at the machine (Retry/Cancel of the
// memory card, "Change ... then continue?") are answered No or Cancel under --yes and at the end
// of input, so that a script never loops on them. Messages go to standard error.
#include <cstdio>

#include "platform/prompter.h"

namespace kestrel::cli {

class ConsolePrompter : public moxel::Prompter {
 public:
  ConsolePrompter(bool yes, std::FILE* in = stdin, std::FILE* out = stderr)
      : yes_(yes), in_(in), out_(out) {}
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons,
                    moxel::Icon icon, moxel::Answer preset) override;
  void beep() override;

 private:
  bool yes_;
  std::FILE* in_;
  std::FILE* out_;
};

}  // namespace kestrel::cli
