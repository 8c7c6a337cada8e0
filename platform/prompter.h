#pragma once
// Every message box and warning beep of the programs goes through one Prompter, so the same
// sequence can ask a person (Qt message boxes) or a test (a scripted prompter that records every
// text it was shown and answers from a list).
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace moxel {

enum class Icon { none, information, exclamation, stop, question };
enum class Buttons { ok, ok_cancel, yes_no, yes_no_cancel, retry_cancel };
enum class Answer { ok, cancel, yes, no, retry };

class Prompter {
 public:
  virtual ~Prompter() = default;
  // Shows `text` with `caption` and waits for the answer; `preset` is the default button.
  virtual Answer ask(const std::string& caption, const std::string& text, Buttons buttons,
                     Icon icon, Answer preset) = 0;
  // The warning beep that answers invalid input.
  virtual void beep() = 0;

  void tell(const std::string& caption, const std::string& text, Icon icon) {
    ask(caption, text, Buttons::ok, icon, Answer::ok);
  }
};

// The process's prompter: the one set last, or a Scripted one that answers with each box's preset
// button when none was set (programs without a GUI).
Prompter& prompter();
void set_prompter(Prompter* p);

// For tests: records every box and beep; answers from `answers` in order, then with the preset.
class ScriptedPrompter : public Prompter {
 public:
  struct Shown {
    std::string caption, text;
    Buttons buttons;
    Icon icon;
  };
  Answer ask(const std::string& caption, const std::string& text, Buttons buttons, Icon icon,
             Answer preset) override;
  void beep() override;

  void push_answer(Answer a);
  std::vector<Shown> shown() const;
  int beeps() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::deque<Answer> answers_;
  std::vector<Shown> shown_;
  int beeps_ = 0;
};

}  // namespace moxel
