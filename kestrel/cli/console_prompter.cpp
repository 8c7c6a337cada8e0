#include "kestrel/cli/console_prompter.h"

#include <unistd.h>

#include <cctype>
#include <string>

namespace kestrel::cli {

using moxel::Answer;
using moxel::Buttons;

namespace {

struct Choice {
  char key;
  Answer answer;
};

std::vector<Choice> choices(Buttons buttons) {
  switch (buttons) {
    case Buttons::ok: return {{'o', Answer::ok}};
    case Buttons::ok_cancel: return {{'o', Answer::ok}, {'c', Answer::cancel}};
    case Buttons::yes_no: return {{'y', Answer::yes}, {'n', Answer::no}};
    case Buttons::yes_no_cancel: return {{'y', Answer::yes}, {'n', Answer::no}, {'c', Answer::cancel}};
    case Buttons::retry_cancel: return {{'r', Answer::retry}, {'c', Answer::cancel}};
  }
  return {};
}

Answer affirmative(Buttons buttons) {
  switch (buttons) {
    case Buttons::yes_no:
    case Buttons::yes_no_cancel: return Answer::yes;
    case Buttons::retry_cancel: return Answer::retry;
    default: return Answer::ok;
  }
}

Answer negative(Buttons buttons) {
  return buttons == Buttons::yes_no ? Answer::no : Answer::cancel;
}

// The question of a backup or restore to change the medium and go on: Yes writes or reads the
// same part again, so a shell that cannot change anything would be asked for ever.
bool AsksToChangeTheMedium(const std::string& text, Buttons buttons) {
  return buttons == Buttons::yes_no &&
         (text.ends_with("Change memory card then continue?") || text.ends_with("Change disk then continue?"));
}

}  // namespace

Answer ConsolePrompter::ask(const std::string& caption, const std::string& text, Buttons buttons,
                            moxel::Icon, Answer preset) {
  std::fprintf(out_, "%s: %s\n", caption.c_str(), text.c_str());
  if (buttons == Buttons::ok) return Answer::ok;
  const Answer yes = affirmative(buttons);
  const std::vector<Choice> keys = choices(buttons);
  std::string prompt;
  for (const Choice& c : keys) {
    if (!prompt.empty()) prompt += '/';
    prompt += c.answer == preset ? char(std::toupper(c.key)) : c.key;
  }
  const bool change = AsksToChangeTheMedium(text, buttons);
  if (yes_) {
    std::fprintf(out_, "[%s] %c (--yes)\n", prompt.c_str(), change ? 'n' : keys.front().key);
    return change ? Answer::no : yes;
  }
  for (;;) {
    std::fprintf(out_, "[%s] ", prompt.c_str());
    std::fflush(out_);
    char line[64];
    if (!std::fgets(line, sizeof line, in_)) {
      // Nobody is there to answer (closed input, a job without --yes): nothing is overwritten,
      // deleted or tried again on a preset button.
      const Answer refusal = negative(buttons);
      std::fprintf(out_, "%c (end of input)\n", refusal == Answer::no ? 'n' : 'c');
      return refusal;
    }
    std::string word(line);
    while (!word.empty() && std::isspace(static_cast<unsigned char>(word.back()))) word.pop_back();
    if (word.empty()) return preset;
    for (const Choice& c : keys)
      if (std::tolower(static_cast<unsigned char>(word[0])) == c.key) return c.answer;
  }
}

Answer BoundedRetryPrompter::ask(const std::string& caption, const std::string& text, Buttons buttons,
                                 moxel::Icon icon, Answer preset) {
  const Answer a = inner_.ask(caption, text, buttons, icon, preset);
  if (buttons != Buttons::retry_cancel || a != Answer::retry) return a;
  if (++retries_ > kMaxRetries) return Answer::cancel;
  ::sleep(1);
  return a;
}

void ConsolePrompter::beep() {
  std::fputc('\a', out_);
  std::fflush(out_);
}

}  // namespace kestrel::cli
