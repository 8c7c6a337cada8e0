#include "kestrel/bootscreen/loading_screen.h"

#include <chrono>
#include <cstring>

namespace kestrel {
namespace {

constexpr char kLoading[] = "L O A D I N G . . .";

}  // namespace

std::optional<uint16_t> TranslateKey(int vk) {
  switch (vk) {
    case 8: return 8;      // Backspace
    case 13: return 13;    // Enter
    case 27: return 27;    // Esc
    case 33: return 143;   // Page Up
    case 34: return 142;   // Page Down
    case 37: return 29;    // Left
    case 38: return 30;    // Up
    case 39: return 28;    // Right
    case 40: return 31;    // Down
    default: break;
  }
  if (vk >= 96 && vk <= 105) return uint16_t(vk - 96 + '0');  // keypad digits
  if ((vk >= 'A' && vk <= 'Z') || (vk >= 'a' && vk <= 'z') || (vk >= '0' && vk <= '9'))
    return uint16_t(vk);
  return std::nullopt;
}

std::string LineText(const ScreenImage& image, int line) {
  std::string text;
  const uint8_t* p = image.data() + line * kLineBytes;
  for (int c = 0; c < kScreenColumns && p[2 * c] != 0; ++c) text += char(p[2 * c]);
  return text;
}

LoadingScreen::LoadingScreen(int node, int mode, Hooks hooks)
    : mode_(mode), hooks_(std::move(hooks)) {
  if (client_.SelectNode(node) != 1) throw CItfErr(1);
  itf_ = std::make_unique<CCncItf>(client_);
  base_ = itf_->AreaBase();
}

LoadingScreen::~LoadingScreen() {
  Stop();
  std::optional<CItfErr> error;
  {
    std::lock_guard lock(error_mutex_);
    error = error_;
  }
  if (error && hooks_.report) hooks_.report(*error);
}

void LoadingScreen::ReadScreen() {
  ScreenImage image{};
  itf_->ReadBytes(base_ + kScreenOffset, image.data(), int(image.size()));
  if (image[0] == 0) std::memcpy(image.data(), kLoading, sizeof kLoading);
  {
    std::lock_guard lock(shadow_mutex_);
    shadow_ = image;
  }
}

void LoadingScreen::Start() {
  ReadScreen();
  thread_ = std::thread([this] { Poll(); });
}

void LoadingScreen::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

bool LoadingScreen::Sleep(int ms) {
  std::unique_lock lock(stop_mutex_);
  return !stop_cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return stop_; });
}

void LoadingScreen::End(int result) {
  if (hooks_.ended) hooks_.ended(result);
}

void LoadingScreen::Poll() {
  try {
    for (;;) {
      {
        std::lock_guard lock(stop_mutex_);
        if (stop_) return;
      }
      ++polls_;
      if (mode_ == 1) {
        const uint16_t state = itf_->ReadWord(base_ + kStateOffset);
        if (state & 0x0108) return End(kAborted);
      }
      if (itf_->ReadWord(base_ + kRequestFlagOffset) != 1) {
        if (!Sleep(1)) return;
        continue;
      }
      itf_->WriteWord(base_ + kRequestFlagOffset, 0xFFFF);
      const uint16_t code = itf_->ReadWord(base_ + kRequestCodeOffset);
      Serve(code);
      itf_->WriteWord(base_ + kRequestFlagOffset, 0);
      if (code == kRequestEnd) return End(kEnded);
      if (code == kRequestKey && !Sleep(20)) return;
    }
  } catch (const CItfErr& e) {
    {
      std::lock_guard lock(error_mutex_);
      error_ = e;
    }
    End(kAborted);
  }
}

void LoadingScreen::Serve(uint16_t code) {
  switch (code) {
    case kRequestEnd:
      itf_->WriteWord(base_ + kAnswerOffset, 0);
      break;
    case kRequestUpdate:
      if (hooks_.redraw) hooks_.redraw();
      else RedrawChanged();
      itf_->WriteWord(base_ + kAnswerOffset, 0);
      break;
    case kRequestKey: {
      uint16_t key = kNoKey;
      {
        std::lock_guard lock(key_mutex_);
        if (!keys_.empty()) {
          key = keys_.front();
          keys_.pop_front();
        }
      }
      itf_->WriteWord(base_ + kKeyOffset, key);
      itf_->WriteWord(base_ + kAnswerOffset, 0);
      break;
    }
    default:
      itf_->WriteWord(base_ + kAnswerOffset, 1);
      break;
  }
}

bool LoadingScreen::KeyDown(int virtual_key) {
  const auto code = TranslateKey(virtual_key);
  if (!code) return false;
  std::lock_guard lock(key_mutex_);
  keys_.push_back(*code);
  return true;
}

size_t LoadingScreen::QueuedKeys() {
  std::lock_guard lock(key_mutex_);
  return keys_.size();
}

std::vector<int> LoadingScreen::RedrawChanged() {
  uint8_t flags[kScreenLines];
  itf_->ReadBytes(base_ + kLineFlagsOffset, flags, kScreenLines);
  std::vector<int> lines;
  for (int line = 0; line < kScreenLines; ++line) {
    if (flags[line] == 0) continue;
    uint8_t bytes[kLineBytes];
    itf_->ReadBytes(base_ + kScreenOffset + uint32_t(line) * kLineBytes, bytes, kLineBytes);
    {
      std::lock_guard lock(shadow_mutex_);
      std::memcpy(shadow_.data() + line * kLineBytes, bytes, kLineBytes);
    }
    flags[line] = 0;
    lines.push_back(line);
  }
  itf_->WriteBytes(base_ + kLineFlagsOffset, flags, kScreenLines);
  return lines;
}

ScreenImage LoadingScreen::Shadow() {
  std::lock_guard lock(shadow_mutex_);
  return shadow_;
}

bool LoadingScreen::WaitRunning(int limit_ms) {
  for (int waited = 0;; waited += 100) {
    if (itf_->ReadWord(base_ + kStateOffset) & 0x0008) return true;
    if (waited >= limit_ms) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

int LoadingScreen::ErrorCode() {
  std::lock_guard lock(error_mutex_);
  return error_ ? error_->code() : -1;
}

}  // namespace kestrel
