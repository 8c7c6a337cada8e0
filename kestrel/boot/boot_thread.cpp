#include "kestrel/boot/boot_thread.h"

#include "kestrel/boot/launcher.h"

namespace kestrel {

void CStopRequest::Request() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  cv_.notify_all();
}

bool CStopRequest::WaitFor(int ms) {
  std::unique_lock lock(mutex_);
  return cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return set_.load(); });
}

std::vector<uint16_t> BootDescriptor(uint32_t area_base) {
  const uint16_t low = static_cast<uint16_t>(area_base & 0xFFFF);
  return {kTestWord, uint16_t(low + 0x100), 0x1950, uint16_t(low + 0x1000), uint16_t(low + 0x200),
          uint16_t(low + 0x300), 0x0400};
}

// --- CBootThread ---

void CBootThread::SetNode(int node, const std::string& title) {
  node_ = node;
  title_ = title;
  client_.SelectNode(node);
  cnc_type_ = client_.GetCncType();
  area_base_ = cnc_type_ == 3 ? 0 : 0xD0000;
  buffer_base_ = cnc_type_ == 3 ? 0x10000 : 0;
}

void CBootThread::Broadcast(uint32_t wparam) {
  if (services_.broadcaster) services_.broadcaster->Broadcast(wparam, node_);
}

moxel::Prompter& CBootThread::Prompter() const {
  return services_.prompter ? *services_.prompter : moxel::prompter();
}

// --- CBootThread1: the monitor ---

CBootThread1::~CBootThread1() {
  RequestStop();
  Join();
}

void CBootThread1::Start() {
  if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
}

void CBootThread1::Join() {
  if (thread_.joinable()) thread_.join();
  ReapSequences(true);
}

void CBootThread1::Run() {
  bool link_seen = false, started = false, need_handshake = true;
  while (!stop_.IsSet()) {
    Pass(link_seen, started, need_handshake);
    ReapSequences(false);
    if (stop_.WaitFor(services_.poll_ms)) break;
  }
  // The boot sequences see the same stop request and end at their next test.
  ReapSequences(true);
  finished_ = true;
}

void CBootThread1::Pass(bool& link_seen, bool& started, bool& need_handshake) {
  if (!client_.IsLinkUp()) {
    if (link_seen) {
      Broadcast(0);
      link_seen = false;
    }
    if (started) {
      if (services_.link_lost) services_.link_lost(node_);
      started = false;
    }
    client_.ResetLink();
    need_handshake = true;
    return;
  }
  link_seen = true;
  if (!client_.IsCncReady()) return;
  if (need_handshake) {
    if (!Handshake()) return;
    started = true;
    StartSequence();
    need_handshake = false;
  } else {
    const uint16_t state = ReadArea(kCncStateWord);
    if (client_.IsLinkUp() && (state & 0x100) && services_.windows)
      services_.windows->RunLoadingDisplay(*this, 0);
  }
}

bool CBootThread1::Handshake() {
  WriteArea(kDescriptor, kTestWord);
  if (ReadArea(kDescriptor) != kTestWord) return false;
  WriteArea(kDescriptor, kTestWord);
  const uint16_t pc_state = ReadArea(kPcStateWord);
  if (!(pc_state & 0x01)) {
    const std::vector<uint16_t> descriptor = BootDescriptor(area_base_);
    client_.ShmWriteWords(area_base_ + kDescriptor, descriptor.data(), int(descriptor.size()));
    WriteArea(kPcFlags, ReadArea(kPcFlags) | 0x04);
    WriteArea(kPcStateWord, pc_state | 0x01);
  }
  return true;
}

void CBootThread1::StartSequence() {
  auto done = std::make_shared<std::atomic<bool>>(false);
  Sequence sequence;
  sequence.done = done;
  // The boot sequence is made on its own thread: the driver client belongs to the thread that
  // uses it.
  sequence.thread = std::thread([this, done] {
    {
      CBootThread2 boot(services_);
      boot.SetNode(node_, title_);
      boot.SetStopReference(&stop_);
      boot.Run();
    }
    *done = true;
  });
  sequences_.push_back(std::move(sequence));
}

void CBootThread1::ReapSequences(bool all) {
  for (auto it = sequences_.begin(); it != sequences_.end();) {
    if (all || it->done->load()) {
      it->thread.join();
      it = sequences_.erase(it);
    } else {
      ++it;
    }
  }
}

// --- CBootThread2: the boot sequence ---

void CBootThread2::AbortTest() {
  if (stop_->IsSet()) throw Abort{};
  const uint16_t state = ReadArea(kCncStateWord);
  if (!client_.IsLinkUp()) throw Abort{};
  if (state & 0x100) throw Abort{};
}

void CBootThread2::Run() {
  try {
    while (!Step()) {
      if (stop_->WaitFor(services_.poll_ms)) return;
    }
  } catch (const Abort&) {
  }
}

bool CBootThread2::Step() {
  const uint16_t state = ReadArea(kCncStateWord);
  AbortTest();
  if (state & 0x08) {
    StartSystem();
    return true;
  }
  if (state & 0x12) return false;  // the CNC is busy
  WriteArea(kPcStateWord, ReadArea(kPcStateWord) | 0x08);
  AbortTest();
  if (!(state & 0x05)) {
    uint16_t status;
    do {
      AbortTest();
      status = services_.windows ? services_.windows->RunBootDialog(*this) : 0xFFFF;
      if (stop_->WaitFor(services_.poll_ms)) throw Abort{};
    } while (status != 0 && status != 0xFFFF);
  }
  AbortTest();
  if (services_.windows) services_.windows->RunLoadingDisplay(*this, 1);
  return false;
}

void CBootThread2::StartSystem() {
  if (cnc_type_ != 3) {
    AbortTest();
    if (!client_.SetUpWindow()) {
      Prompter().tell(kCaption, kOldHardwareText, moxel::Icon::stop);
      return;
    }
    AbortTest();
    if (services_.state_check && !services_.state_check->Check(*this)) return;
  }
  AbortTest();
  const int count = services_.profile.CountStart(node_);
  WriteArea(kStartCount, static_cast<uint16_t>(count));
  WriteArea(kPcFlags, ReadArea(kPcFlags) | 0x08);

  const std::vector<std::string> programs = services_.profile.Programs(node_);
  for (const std::string& entry : programs) {
    AbortTest();
    if (entry.empty()) continue;
    const std::string line = FormatProgramLine(entry, node_);
    const int result = services_.launch ? services_.launch(line) : LaunchProgram(line);
    if (result < 32) {
      Prompter().tell(kCaption,
                      "Node " + std::to_string(node_) + ":\nCouldn't execute the application program.\n\n" + line,
                      moxel::Icon::exclamation);
    }
  }
  Broadcast(1);
}

}  // namespace kestrel
