#pragma once
// The prompter of kestrel-cli: questions on the terminal, answered by a line of input (y/n,
// r/c; an empty line takes the preset button; the end of input answers No or Cancel, so a job
// without a terminal never confirms a delete or an overwrite), or all answered yes (Yes, Retry,
// OK) with --yes. The question of a backup or restore to change the medium and go on ("Change
// memory card then continue?", "Change disk then continue?") is answered No under --yes: a shell
// cannot change the medium, and Yes would ask again for ever. Messages go to standard error.
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

// Retry answers of a Retry/Cancel question (the memory card check) spaced a second apart, and
// Cancel after kMaxRetries of them: with --yes a card that stays not ready would be asked about
// for ever.
class BoundedRetryPrompter : public moxel::Prompter {
 public:
  static constexpr int kMaxRetries = 30;
  explicit BoundedRetryPrompter(moxel::Prompter& inner) : inner_(inner) {}
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons,
                    moxel::Icon icon, moxel::Answer preset) override;
  void beep() override { inner_.beep(); }

 private:
  moxel::Prompter& inner_;
  int retries_ = 0;
};

}  // namespace kestrel::cli
