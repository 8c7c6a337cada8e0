#include "platform/prompter.h"

#include <atomic>

namespace moxel {
namespace {
std::atomic<Prompter*> current{nullptr};
}

Prompter& prompter() {
  static ScriptedPrompter fallback;
  Prompter* p = current.load();
  return p ? *p : fallback;
}

void set_prompter(Prompter* p) { current.store(p); }

Answer ScriptedPrompter::ask(const std::string& caption, const std::string& text, Buttons buttons,
                             Icon icon, Answer preset) {
  std::lock_guard lock(mutex_);
  shown_.push_back({caption, text, buttons, icon});
  if (answers_.empty()) return preset;
  Answer a = answers_.front();
  answers_.pop_front();
  return a;
}

void ScriptedPrompter::beep() {
  std::lock_guard lock(mutex_);
  ++beeps_;
}

void ScriptedPrompter::push_answer(Answer a) {
  std::lock_guard lock(mutex_);
  answers_.push_back(a);
}

std::vector<ScriptedPrompter::Shown> ScriptedPrompter::shown() const {
  std::lock_guard lock(mutex_);
  return shown_;
}

int ScriptedPrompter::beeps() const {
  std::lock_guard lock(mutex_);
  return beeps_;
}

void ScriptedPrompter::clear() {
  std::lock_guard lock(mutex_);
  answers_.clear();
  shown_.clear();
  beeps_ = 0;
}

}  // namespace moxel
