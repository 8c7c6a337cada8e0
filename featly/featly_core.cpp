#include "featly/featly_core.h"

#include <cstring>

namespace featly {

namespace {

int16_t get16(const uint8_t* p) { return int16_t(uint16_t(p[0] | (p[1] << 8))); }
void put16(uint8_t* p, int16_t v) {
  p[0] = uint8_t(uint16_t(v));
  p[1] = uint8_t(uint16_t(v) >> 8);
}

constexpr int kPathStatusMissing = 11;
constexpr int kPaths = 5;

}  // namespace

std::vector<ParamEntry> parameter_list(const uint8_t (&info)[kInfoBufferSize]) {
  std::vector<ParamEntry> list;
  const int count = get16(info);
  constexpr int kRoom = (kInfoBufferSize - 6) / 4;
  for (int i = 0; i < count && i < kRoom; ++i) {
    const uint8_t* entry = info + 6 + 4 * i;
    ParamEntry e{get16(entry), get16(entry + 2)};
    if (e.number > kLastOption) break;
    list.push_back(e);
  }
  return list;
}

std::string value_text(Kind kind, uint8_t bit_value, int16_t word_value) {
  if (kind == Kind::word) return std::to_string(word_value) + " ";
  std::string text;
  for (int bit = 7; bit >= 0; --bit) text += (bit_value >> bit) & 1 ? '1' : '0';
  return text + " ";
}

uint8_t bit_input(std::string_view text) {
  uint8_t value = 0;
  int bit = 0;
  for (auto it = text.rbegin(); it != text.rend() && bit < 8; ++it, ++bit)
    if (*it == '1') value |= uint8_t(1u << bit);
  return value;
}

std::optional<int16_t> word_input(std::string_view text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && text[i] == '-') {
    negative = true;
    ++i;
  }
  if (i == text.size()) return std::nullopt;
  long value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
    if (value > 32768) return std::nullopt;
  }
  if (negative) value = -value;
  if (value < -32768 || value > 32767) return std::nullopt;
  return int16_t(value);
}

bool input_accepts(Kind kind, char c) {
  if (c == '\b') return true;
  if (kind == Kind::bit) return c == '0' || c == '1';
  return (c >= '0' && c <= '9') || c == '-';
}

std::string node_label(int32_t node_no) { return "Node" + std::to_string(node_no); }

std::string path_label(int path) { return path == 5 ? "Loader" : "Path" + std::to_string(path); }

Session::Session(const VantorCalls& calls, moxel::Prompter& prompter)
    : calls_(calls), prompter_(prompter) {}

Session::~Session() {
  if (handle_) calls_.freelibhndl(*handle_);
}

bool Session::report(const char* function, int16_t status) {
  if (status == 0) return true;
  prompter_.tell(kErrorCaption,
                 std::string("Function        : ") + function + "\nReturn Status : " +
                     std::to_string(status),
                 moxel::Icon::exclamation);
  return false;
}

bool Session::connect(int32_t node_no) {
  uint16_t handle = 0;
  if (!report("cnc_allclibhndl2", calls_.allclibhndl2(node_no, &handle))) return false;
  handle_ = handle;
  return true;
}

void Session::release() {
  if (handle_) calls_.freelibhndl(*handle_);
  handle_.reset();
}

bool Session::read_info() {
  uint8_t info[kInfoBufferSize] = {};
  if (!report("cnc_rdparainfo", calls_.rdparainfo(*handle_, kFirstOption, kInfoEntries, info)))
    return false;
  params_ = parameter_list(info);
  param_index_ = 0;
  params_empty_ = params_.empty();
  if (params_empty_) {
    prompter_.tell(kErrorCaption, kNoListText, moxel::Icon::exclamation);
    return false;
  }
  return true;
}

bool Session::read_param(const ParamEntry& entry, uint8_t* bit, int16_t* word) {
  uint8_t buffer[kParamBufferSize] = {};
  if (!report("cnc_rdparam", calls_.rdparam(*handle_, entry.number, 0, 8, buffer))) return false;
  *bit = buffer[4];
  *word = get16(buffer + 4);
  return true;
}

bool Session::show_param(size_t index) {
  uint8_t bit = 0;
  int16_t word = 0;
  if (!read_param(params_[index], &bit, &word)) return false;
  param_index_ = index;
  kind_ = params_[index].kind();
  current_value_ = value_text(kind_, bit, word);
  return true;
}

bool Session::come_up() {
  int16_t current = 0, second = 0;
  if (!report("cnc_getpath", calls_.getpath(*handle_, &current, &second))) return false;
  std::vector<int> found;
  for (int path = 1; path <= kPaths; ++path) {
    const int16_t status = calls_.setpath(*handle_, int16_t(path));
    if (status == 0)
      found.push_back(path);
    else if (status != kPathStatusMissing && !report("cnc_setpath", status))
      return false;
  }
  if (!report("cnc_setpath", calls_.setpath(*handle_, current))) return false;
  paths_ = found;
  path_index_ = 0;
  return read_info() && show_param(0);
}

bool Session::bring_up() {
  while (!nodes_.empty()) {
    if (connect(nodes_.front().node_no)) {
      if (come_up()) {
        node_index_ = 0;
        return true;
      }
      // A node that answered but cannot be used keeps no handle of ours.
      release();
      if (params_empty_) return false;
    }
    if (nodes_.size() == 1) return false;
    nodes_.erase(nodes_.begin());
  }
  return false;
}

bool Session::start() {
  setting_changed_ = false;
  unusable_node_seen_ = false;
  int32_t count = 0;
  if (!report("cnc_rdnodenum", calls_.rdnodenum(&count))) return false;
  for (int32_t i = 0; i < count; ++i) {
    VANTOR_NODEINFO info{};
    if (!report("cnc_rdnodeinfo", calls_.rdnodeinfo(i, &info))) continue;
    if (info.supported == 1 && info.present == 1)
      nodes_.push_back(info);
    else
      unusable_node_seen_ = true;
  }
  if (nodes_.empty()) {
    if (unusable_node_seen_) prompter_.tell(kCaption, kUnusableText, moxel::Icon::exclamation);
    return false;
  }
  return bring_up();
}

Session::Outcome Session::select_node(size_t index) {
  if (index >= nodes_.size() || ended_) return Outcome::reverted;
  if (handle_ && !report("cnc_freelibhndl", calls_.freelibhndl(*handle_))) return Outcome::reverted;
  handle_.reset();
  if (connect(nodes_[index].node_no)) {
    if (come_up()) {
      node_index_ = index;
      return Outcome::done;
    }
    release();
  } else {
    nodes_.erase(nodes_.begin() + long(index));
  }
  if (bring_up()) return Outcome::refilled;
  ended_ = true;
  return Outcome::ended;
}

Session::Outcome Session::select_path(size_t index) {
  if (index >= paths_.size() || !handle_ || ended_) return Outcome::reverted;
  if (!report("cnc_setpath", calls_.setpath(*handle_, int16_t(paths_[index]))))
    return Outcome::reverted;
  path_index_ = index;
  if (read_info() && show_param(0)) return Outcome::done;
  ended_ = true;
  return Outcome::ended;
}

Session::Outcome Session::select_param(size_t index) {
  if (index >= params_.size() || !handle_ || ended_) return Outcome::reverted;
  return show_param(index) ? Outcome::done : Outcome::reverted;
}

Session::SetResult Session::setting(const std::string& input) {
  if (input.empty() || !handle_ || params_.empty()) return SetResult::nothing;
  const ParamEntry& entry = params_[param_index_];
  uint8_t record[6] = {};
  put16(record, entry.number);
  int16_t length = 0;
  uint8_t bit = 0;
  int16_t word = 0;
  if (entry.kind() == Kind::bit) {
    bit = bit_input(input);
    record[4] = bit;
    length = 5;
  } else {
    const auto value = word_input(input);
    if (!value) {
      prompter_.tell(kCaption, kInvalidDataText, moxel::Icon::exclamation);
      return SetResult::invalid;
    }
    word = *value;
    put16(record + 4, word);
    length = 6;
  }
  if (!report("cnc_wrparam", calls_.wrparam(*handle_, length, record))) return SetResult::failed;
  setting_changed_ = true;
  current_value_ = value_text(entry.kind(), bit, word);
  return SetResult::written;
}

void Session::end() {
  if (setting_changed_) prompter_.tell(kCaption, kChangedText, moxel::Icon::exclamation);
  setting_changed_ = false;
  if (handle_) calls_.freelibhndl(*handle_);
  handle_.reset();
  ended_ = true;
}

}  // namespace featly
