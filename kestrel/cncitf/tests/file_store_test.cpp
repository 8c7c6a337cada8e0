// CCncFileStore on both sides: the card side over a CNC whose boot software serves the simulated
// card in-process (every mailbox call and buffer transfer recorded), the folder side on disk.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "testsupport/temp_folder.h"
#include "cncsim/card.h"
#include "cncsim/card_functions.h"
#include "kestrel/cncitf/file_store.h"

namespace {

using kestrel::CCncFileStore;
using kestrel::CFileEntry;
namespace fs = std::filesystem;

// A temporary folder removed at the end of the test.
struct TempDir : moxel::test::TempFolder {
  TempDir() : TempFolder("filestore-test") {}
};

// The interface's error as the store sees it thrown.
struct ItfError {
  std::string message;
};

// A CNC node whose boot software serves the card functions at once: a request is taken (and
// carried out on the transfer buffer as it stands) when it is posted, its results are collected by
// Complete. Failures of functions the caller does not handle itself throw, as the interface does.
class FakeCnc : public kestrel::CCardChannel {
 public:
  explicit FakeCnc(cncsim::CardSettings settings = {}, uint32_t buffer_base = 0)
      : card(dir.path, settings), base(buffer_base) {}

  void Call(uint16_t function, uint16_t i1, uint16_t i2, uint32_t i3, uint32_t i4, int wait) override {
    if (posted) ADD_FAILURE() << "function " << std::hex << function << " posted before Complete";
    // Every call that moves data through the transfer buffer runs inside a hold of the lock.
    bool buffer_call = (function >= 0x403 && function <= 0x408 && function != 0x405) ||
                       function == 0x424 || function == 0x425 || function == 0x42B || function == 0x42C;
    if (buffer_call && holds == 0) ADD_FAILURE() << "function " << std::hex << function << " called without a hold";
    char line[80];
    std::snprintf(line, sizeof line, "call %x %u %x %u%s", function, i1, i3, i4, wait ? "" : " posted");
    log.push_back(line);
    if (before_call) before_call(function);
    pending = serve_card_function(card, cncsim::CardCall{function, i1, i2, i3, i4}, memory);
    pending_function = function;
    posted = true;
    if (wait) Complete();
  }
  void Complete() override {
    if (!posted) ADD_FAILURE() << "Complete without a call";
    posted = false;
    log.push_back("complete");
    const cncsim::CardAnswer& a = pending;
    result = {a.status, a.error, a.o1, a.o2, a.o3, a.o4};
    uint16_t f = pending_function;
    bool tolerated = (f >= 0x403 && f <= 0x408) || f == 0x424 || f == 0x425 || f == 0x42B || f == 0x42C;
    if (result.status != 0 && !tolerated) throw ItfError{"INTERNAL ERROR! function " + std::to_string(f)};
  }
  void Release() override {
    posted = false;
    log.push_back("release");
  }
  void Hold() override { ++holds; }
  void Unhold() override {
    if (holds == 0) ADD_FAILURE() << "Unhold without Hold";
    --holds;
  }
  kestrel::CCardResult Result() const override { return result; }
  void WriteBytes(uint32_t offset, const uint8_t* buffer, int count) override {
    log.push_back("put " + std::to_string(offset - base) + " " + std::to_string(count));
    if (link_lost_at_put && --link_lost_at_put == 0) throw ItfError{"link lost"};
    ASSERT_LE(offset + size_t(count), shared.size());
    std::memcpy(shared.data() + offset, buffer, size_t(count));
  }
  void ReadBytes(uint32_t offset, uint8_t* buffer, int count) override {
    ASSERT_LE(offset + size_t(count), shared.size());
    std::memcpy(buffer, shared.data() + offset, size_t(count));
  }
  uint32_t BufferBase() const override { return base; }
  [[noreturn]] void Fail(const std::string& message) override { throw ItfError{message}; }

  // The log lines of the calls of `function` only ("call 407 ...").
  std::vector<std::string> calls_of(uint16_t function) const {
    char prefix[16];
    std::snprintf(prefix, sizeof prefix, "call %x ", function);
    std::vector<std::string> out;
    for (const std::string& l : log)
      if (l.rfind(prefix, 0) == 0) out.push_back(l);
    return out;
  }
  int count_of(uint16_t function) const { return int(calls_of(function).size()); }

  TempDir dir;
  cncsim::MemoryCard card;
  uint32_t base;
  std::vector<uint8_t> shared = std::vector<uint8_t>(0x80000);
  cncsim::SpanMemory memory{shared};
  std::vector<std::string> log;
  std::function<void(uint16_t)> before_call;
  int holds = 0;
  int link_lost_at_put = 0;  // the transfer of this number (from 1) fails as a lost link

 private:
  bool posted = false;
  uint16_t pending_function = 0;
  cncsim::CardAnswer pending;
  kestrel::CCardResult result;
};

// A scripted prompter that lets the test change the world while a box is shown.
class HookedPrompter : public moxel::ScriptedPrompter {
 public:
  std::function<void()> on_ask;
  moxel::Answer ask(const std::string& caption, const std::string& text, moxel::Buttons buttons,
                    moxel::Icon icon, moxel::Answer preset) override {
    if (on_ask) on_ask();
    return ScriptedPrompter::ask(caption, text, buttons, icon, preset);
  }
  std::vector<std::string> texts() const {
    std::vector<std::string> out;
    for (const auto& s : shown()) out.push_back(s.text);
    return out;
  }
};

std::vector<uint8_t> pattern_bytes(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 7 + i / 251);
  return v;
}

std::vector<uint8_t> file_bytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// ---------------------------------------------------------------- card

TEST(CardStore, WritesOfWholeKilobytesArePipelinedOthersGoInOnePiece) {
  struct Case {
    uint32_t length;
    std::vector<std::string> calls;
  } cases[] = {
      {3000, {"call 407 1 0 3000 posted"}},
      {1024, {"call 407 1 0 1024 posted"}},
      {4096,
       {"call 407 1 0 1024 posted", "call 407 1 400 1024 posted", "call 407 1 800 1024 posted",
        "call 407 1 c00 1024 posted"}},
  };
  for (const Case& c : cases) {
    FakeCnc cnc;
    moxel::ScriptedPrompter prompter;
    CCncFileStore store(cnc, prompter);
    ASSERT_EQ(store.OpenStore(1, ""), 1);
    EXPECT_EQ(store.Root(), "A:\\");
    ASSERT_EQ(store.CreateFile("DATA.BIN"), 1);
    std::vector<uint8_t> data = pattern_bytes(c.length);
    cnc.log.clear();
    EXPECT_EQ(store.Write(data.data(), c.length), c.length);
    EXPECT_EQ(cnc.calls_of(0x407), c.calls) << c.length;
    EXPECT_EQ(store.CloseFile(), 1);
    EXPECT_EQ(file_bytes(cnc.card.folder() / "DATA.BIN"), data);
  }
}

TEST(CardStore, EachChunkIsInTheBufferBeforeThePreviousOneIsCollected) {
  FakeCnc cnc({}, 0x10000);  // the transfer buffer of a CNC type 3 node
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  ASSERT_EQ(store.CreateFile("P.BIN"), 1);
  std::vector<uint8_t> data = pattern_bytes(3072);
  cnc.log.clear();
  ASSERT_EQ(store.Write(data.data(), 3072), 3072u);
  std::vector<std::string> expected = {
      "put 0 1024",    "call 407 1 10000 1024 posted", "put 1024 1024", "complete",
      "call 407 1 10400 1024 posted", "put 2048 1024", "complete",
      "call 407 1 10800 1024 posted", "complete"};
  EXPECT_EQ(cnc.log, expected);
}

TEST(CardStore, FullCardInTheMiddleOfAWriteReportsTheBytesWritten) {
  cncsim::CardSettings settings;
  settings.capacity = 2560;
  FakeCnc cnc(settings);
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  ASSERT_EQ(store.CreateFile("BIG.BIN"), 1);
  std::vector<uint8_t> data = pattern_bytes(8192);
  cnc.log.clear();
  EXPECT_EQ(store.Write(data.data(), 8192), 2560u);
  // The third chunk fills the card (512 of its bytes fit); nothing is posted after that.
  EXPECT_EQ(cnc.count_of(0x407), 3);
  EXPECT_EQ(store.LastCardError(), uint32_t(cncsim::kCardFull));
  EXPECT_NE(store.LastErrorText().find("card full"), std::string::npos);
  EXPECT_EQ(store.CloseFile(), 1);
}

TEST(CardStore, LinkLostWhileAWriteIsPostedGivesTheInterfaceUp) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  ASSERT_EQ(store.CreateFile("L.BIN"), 1);
  std::vector<uint8_t> data = pattern_bytes(2048);
  cnc.log.clear();
  cnc.link_lost_at_put = 2;  // the second chunk's transfer, while the first is posted
  EXPECT_THROW(store.Write(data.data(), 2048), ItfError);
  std::vector<std::string> expected = {"put 0 1024", "call 407 1 0 1024 posted", "put 1024 1024",
                                       "release"};
  EXPECT_EQ(cnc.log, expected);
}

TEST(CardStore, ReadsFindsAndDeletes) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  std::vector<uint8_t> data = pattern_bytes(2000);
  for (const char* name : {"b.dat", "A.DAT"}) {
    ASSERT_EQ(store.CreateFile(name), 1);
    ASSERT_EQ(store.Write(data.data(), 2000), 2000u);
    ASSERT_EQ(store.CloseFile(), 1);
  }
  EXPECT_EQ(store.CreateFile("A.DAT"), 0);  // exists
  EXPECT_EQ(store.LastCardError(), uint32_t(cncsim::kCardExists));

  ASSERT_EQ(store.OpenFile("A.DAT", 0), 1);
  std::vector<uint8_t> back(4096);
  EXPECT_EQ(store.Read(back.data(), 4096), 2000u);
  back.resize(2000);
  EXPECT_EQ(back, data);
  EXPECT_EQ(store.CloseFile(), 1);
  EXPECT_EQ(store.CloseFile(), 0);  // nothing open

  CFileEntry e;
  std::vector<std::string> names;
  for (int ok = store.FindFirst("*.*", &e); ok; ok = store.FindNext(&e)) {
    names.push_back(e.name);
    EXPECT_EQ(e.size, 2000u);
    ASSERT_TRUE(e.time.has_value());
    auto age = std::chrono::system_clock::now() - *e.time;
    EXPECT_LT(std::chrono::abs(age), std::chrono::hours(1)) << e.name;
  }
  EXPECT_EQ(names, (std::vector<std::string>{"A.DAT", "B.DAT"}));
  EXPECT_EQ(cnc.calls_of(0x424), std::vector<std::string>{"call 424 0 100 0"});

  EXPECT_EQ(store.DeleteFile("A.DAT", 1), 1);
  EXPECT_EQ(store.DeleteFile("A.DAT", 1), 0);
  EXPECT_EQ(store.FindFirst("A*.*", &e), 0);
  store.CloseStore();
  EXPECT_EQ(cnc.count_of(0x42D), 1);
  EXPECT_EQ(store.LastCardError(), 0u);
}

TEST(CardStore, FlashCardDeleteIsRefusedWithoutACall) {
  cncsim::CardSettings settings;
  settings.flash = true;
  FakeCnc cnc(settings);
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  EXPECT_EQ(store.DeleteFile("A.DAT", 0), 0);
  EXPECT_TRUE(prompter.shown().empty());
  EXPECT_EQ(store.DeleteFile("A.DAT", 1), 0);
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].text, "This is a flash type memory card.\nFormat the memory card.");
  EXPECT_EQ(cnc.count_of(0x408), 0);
}

TEST(CardStore, CheckCardAsksUntilTheFaultClearsOrTheOperatorCancels) {
  struct Case {
    const char* fault;
    std::string text;
  } cases[] = {
      {"removed", "Memory card is not attached to CNC."},
      {"battery", "Memory card is battery alarm state.\nCheck the memory card's battery."},
  };
  for (const Case& c : cases) {
    FakeCnc cnc;
    HookedPrompter prompter;
    auto fault = [&](bool on) {
      if (std::string(c.fault) == "removed") cnc.card.set_inserted(!on);
      else cnc.card.set_battery_alarm(on);
    };
    fault(true);
    // Retry while the fault holds, then the operator mends it and retries once more.
    int asked = 0;
    prompter.on_ask = [&] {
      EXPECT_EQ(cnc.holds, 0) << "the lock is held while the operator is asked";
      if (++asked == 2) fault(false);
    };
    prompter.push_answer(moxel::Answer::retry);
    prompter.push_answer(moxel::Answer::retry);
    CCncFileStore store(cnc, prompter);
    EXPECT_EQ(store.OpenStore(1, ""), 1) << c.fault;
    EXPECT_EQ(prompter.texts(), (std::vector<std::string>{c.text, c.text}));
    EXPECT_EQ(prompter.shown()[0].buttons, moxel::Buttons::retry_cancel);
    EXPECT_EQ(cnc.count_of(0x301), 3);

    fault(true);
    prompter.clear();
    prompter.on_ask = nullptr;
    CCncFileStore cancelled(cnc, prompter);  // no answer given: the default button, Cancel
    EXPECT_EQ(cancelled.OpenStore(1, ""), 0);
    EXPECT_EQ(cancelled.FormatCard(), 0);
    EXPECT_EQ(prompter.shown().size(), 2u);
  }
}

// A channel whose answers to the card status are made up by the test, for states the simulated
// card does not show.
struct StatusRewriting : kestrel::CCardChannel {
  FakeCnc& inner;
  uint16_t o1;
  uint16_t last = 0;
  StatusRewriting(FakeCnc& c, uint16_t v) : inner(c), o1(v) {}
  void Call(uint16_t f, uint16_t a, uint16_t b, uint32_t c, uint32_t d, int w) override {
    last = f;
    inner.Call(f, a, b, c, d, w);
  }
  void Complete() override { inner.Complete(); }
  void Release() override { inner.Release(); }
  void Hold() override { inner.Hold(); }
  void Unhold() override { inner.Unhold(); }
  kestrel::CCardResult Result() const override {
    kestrel::CCardResult r = inner.Result();
    if (last == 0x301) r.o1 = o1;
    return r;
  }
  void WriteBytes(uint32_t o, const uint8_t* p, int n) override { inner.WriteBytes(o, p, n); }
  void ReadBytes(uint32_t o, uint8_t* p, int n) override { inner.ReadBytes(o, p, n); }
  uint32_t BufferBase() const override { return inner.BufferBase(); }
  [[noreturn]] void Fail(const std::string& m) override { throw ItfError{m}; }
};

TEST(CardStore, StateThreeAsksRetryAndProtectIsSeenOnlyAsFour) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  StatusRewriting three(cnc, 3);
  CCncFileStore store3(three, prompter);
  prompter.push_answer(moxel::Answer::cancel);
  EXPECT_EQ(store3.CheckCard(), 0);
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].buttons, moxel::Buttons::retry_cancel);
  EXPECT_EQ(prompter.shown()[0].text, "Memory card is not ready.\nCheck the memory card.");

  // Write protection counts only when the card is otherwise ready (O1 = 4 exactly).
  prompter.clear();
  StatusRewriting six(cnc, 6);
  CCncFileStore store6(six, prompter);
  EXPECT_EQ(store6.CheckWritable(), 1);
  CCncFileStore store(cnc, prompter);
  cnc.card.set_protect(true);
  EXPECT_EQ(store.CheckWritable(), 0);
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].text, "Memory card is protected.\nTurn off the protect switch.");
  // And the protected card refuses the write itself.
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  EXPECT_EQ(store.CreateFile("X.DAT"), 0);
  EXPECT_EQ(store.LastCardError(), uint32_t(cncsim::kCardWriteProtected));
}

TEST(CardStore, NotFormattedThenFormat) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  CCncFileStore store(cnc, prompter);
  cnc.card.make_unformatted();
  EXPECT_EQ(store.OpenStore(1, ""), 0);
  ASSERT_EQ(prompter.shown().size(), 1u);
  EXPECT_EQ(prompter.shown()[0].text, "Memory card is not formatted.\nFormat the memory card.");
  EXPECT_FALSE(store.IsStoreOpen());

  cnc.card.set_unavailable(true);
  EXPECT_EQ(store.FormatCard(), 0);
  EXPECT_EQ(prompter.shown().back().text, "Memory card is not available.\nChenge memory card.");
  cnc.card.set_unavailable(false);
  cnc.card.set_protect(true);
  EXPECT_EQ(store.FormatCard(), 0);
  EXPECT_EQ(prompter.shown().back().text, "Couldn't format memory card.\nChange memory card.");
  cnc.card.set_protect(false);

  cnc.log.clear();
  EXPECT_EQ(store.FormatCard(), 1);
  std::vector<std::string> calls;
  for (const std::string& l : cnc.log)
    if (l.rfind("call", 0) == 0) calls.push_back(l.substr(0, 8));
  EXPECT_EQ(calls, (std::vector<std::string>{"call 301", "call 302", "call 401", "call 402", "call 42b"}));
  EXPECT_EQ(std::string(reinterpret_cast<char*>(cnc.shared.data())), "MOXEL LTD");
  EXPECT_EQ(store.OpenStore(1, ""), 1);
}

TEST(CardStore, OtherVolumeFailureAndPulledCard) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  {
    CCncFileStore store(cnc, prompter);
    // The card goes between the status check and the volume open: the interface's error, with no
    // message of the store's own.
    cnc.before_call = [&](uint16_t f) {
      if (f == 0x42C) cnc.card.set_inserted(false);
    };
    try {
      store.OpenStore(1, "");
      ADD_FAILURE() << "no error thrown";
    } catch (const ItfError& e) {
      EXPECT_EQ(e.message, "");
    }
    EXPECT_FALSE(store.IsStoreOpen());
  }
  cnc.before_call = nullptr;
  cnc.card.set_inserted(true);

  CCncFileStore store(cnc, prompter);
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  ASSERT_EQ(store.CreateFile("PULLED.DAT"), 1);
  std::vector<uint8_t> data = pattern_bytes(1024);
  ASSERT_EQ(store.Write(data.data(), 1024), 1024u);
  cnc.card.set_inserted(false);
  EXPECT_EQ(store.Write(data.data(), 1024), 0u);
  EXPECT_EQ(store.LastCardError(), uint32_t(cncsim::kCardNotReady));
  EXPECT_EQ(store.CloseFile(), 0);
  cnc.card.set_inserted(true);
  // The volume was closed with the card: its old handle and the open volume are gone.
  EXPECT_EQ(store.OpenFile("PULLED.DAT", 0), 0);
  store.CloseStore();
  ASSERT_EQ(store.OpenStore(1, ""), 1);
  ASSERT_EQ(store.OpenFile("PULLED.DAT", 0), 1);
  std::vector<uint8_t> back(2048);
  EXPECT_EQ(store.Read(back.data(), 2048), 1024u);
}

TEST(CardStore, DestructorClosesFileAndVolume) {
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  {
    CCncFileStore store(cnc, prompter);
    ASSERT_EQ(store.OpenStore(1, ""), 1);
    ASSERT_EQ(store.CreateFile("X.DAT"), 1);
  }
  EXPECT_EQ(cnc.count_of(0x405), 1);
  EXPECT_EQ(cnc.count_of(0x42D), 1);
  EXPECT_NE(cnc.card.describe().find("open-files 0/"), std::string::npos);
}

TEST(CardStore, EntryDecodingAndDosTime) {
  const char* saved = getenv("TZ");
  std::string old = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  uint8_t e[kestrel::kCardEntrySize] = {};
  e[21] = 0x20;
  uint16_t date = (44 << 9) | (7 << 5) | 1, time = (16 << 11) | (0 << 5) | 2;  // 2024-07-01 16:00:04
  e[22] = uint8_t(time), e[23] = uint8_t(time >> 8), e[24] = uint8_t(date), e[25] = uint8_t(date >> 8);
  e[26] = 0x10, e[27] = 0x27, e[28] = 0, e[29] = 0;  // 10000
  std::memcpy(e + 30, "SRAM0A.BAK", 11);
  CFileEntry entry = kestrel::DecodeCardEntry(e);
  EXPECT_EQ(entry.name, "SRAM0A.BAK");
  EXPECT_EQ(entry.size, 10000u);
  ASSERT_TRUE(entry.time);
  EXPECT_EQ(std::chrono::system_clock::to_time_t(*entry.time), 1719842404);  // 14:00:04 UTC
  // Winter time is one hour off UTC on its own date.
  auto winter = kestrel::DosTimeToUtc((44 << 9) | (1 << 5) | 15, 12 << 11);
  ASSERT_TRUE(winter);
  EXPECT_EQ(std::chrono::system_clock::to_time_t(*winter), 1705316400);  // 2024-01-15 11:00 UTC
  // A name that fills all 13 bytes without its NUL stays inside them.
  std::memset(e + 30, 'N', 13);
  EXPECT_EQ(kestrel::DecodeCardEntry(e).name, std::string(13, 'N'));
  // Words that are no date give no time.
  EXPECT_FALSE(kestrel::DosTimeToUtc(0, 0));                       // month 0
  EXPECT_FALSE(kestrel::DosTimeToUtc((44 << 9) | (4 << 5) | 31, 0));  // 31 April
  EXPECT_FALSE(kestrel::DosTimeToUtc((44 << 9) | (4 << 5) | 1, 24 << 11));
  if (saved) setenv("TZ", old.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(CardStore, SizeTexts) {
  EXPECT_EQ(kestrel::FileSizeText(0), "0KB");
  EXPECT_EQ(kestrel::FileSizeText(1), "1KB");
  EXPECT_EQ(kestrel::FileSizeText(1024), "1KB");
  EXPECT_EQ(kestrel::FileSizeText(1025), "2KB");
}

// ---------------------------------------------------------------- folder

struct FolderBench {
  TempDir dir;
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  CCncFileStore store{cnc, prompter};
};

TEST(FolderStore, RootGetsOneSeparatorAndCreateFailsOnExistingFiles) {
  for (std::string suffix : {"", "/"}) {
    FolderBench b;
    ASSERT_EQ(b.store.OpenStore(0, b.dir.path.string() + suffix), 1);
    EXPECT_EQ(b.store.Root(), b.dir.path.string() + "/");
    ASSERT_EQ(b.store.CreateFile("F.BIN"), 1);
    EXPECT_EQ(b.store.CreateFile("G.BIN"), 0);  // one file at a time
    std::vector<uint8_t> data = pattern_bytes(100000);
    EXPECT_EQ(b.store.Write(data.data(), 100000), 100000u);
    EXPECT_EQ(b.store.CloseFile(), 1);
    EXPECT_EQ(file_bytes(b.dir.path / "F.BIN"), data);
    EXPECT_EQ(b.store.CreateFile("F.BIN"), 0);
    EXPECT_NE(b.store.LastErrorText().find("exists"), std::string::npos);
    EXPECT_EQ(file_bytes(b.dir.path / "F.BIN"), data);

    ASSERT_EQ(b.store.OpenFile("F.BIN", 0), 1);
    std::vector<uint8_t> back(200000);
    EXPECT_EQ(b.store.Read(back.data(), 200000), 100000u);
    EXPECT_EQ(b.store.Read(back.data(), 10), 0u);  // at the end
    EXPECT_EQ(b.store.CloseFile(), 1);
    EXPECT_EQ(b.cnc.log.size(), 0u);  // no CNC call for a folder
  }
  FolderBench b;
  ASSERT_EQ(b.store.OpenStore(0, b.dir.path.string()), 1);
  EXPECT_EQ(b.store.OpenStore(0, (b.dir.path / "missing").string()), 0);
  EXPECT_FALSE(b.store.IsStoreOpen());
  EXPECT_EQ(b.store.CreateFile("X.BIN"), 0);  // not in the folder opened before
  EXPECT_FALSE(fs::exists(b.dir.path / "X.BIN"));
  EXPECT_EQ(b.store.OpenStore(0, ""), 0);
}

TEST(FolderStore, NamesThatLeaveTheFolderAreRefused) {
  FolderBench b;
  fs::create_directory(b.dir.path / "store");
  std::ofstream(b.dir.path / "secret") << "keep";
  ASSERT_EQ(b.store.OpenStore(0, (b.dir.path / "store").string()), 1);
  CFileEntry e;
  for (std::string name : {"../secret", "..", ".", "", "a/b", "sub\\x", "/etc/passwd"}) {
    EXPECT_EQ(b.store.CreateFile(name), 0) << name;
    EXPECT_EQ(b.store.OpenFile(name, 0), 0) << name;
    EXPECT_EQ(b.store.DeleteFile(name, 1), 0) << name;
    EXPECT_EQ(b.store.CreateReplacement(name), 0) << name;
    EXPECT_EQ(b.store.FindFirst(name, &e), 0) << name;
    EXPECT_NE(b.store.LastErrorText().find("is not a file name in the folder"), std::string::npos)
        << name;
  }
  EXPECT_EQ(file_bytes(b.dir.path / "secret"), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
}

TEST(FolderStore, FindSkipsFoldersAndListsFilesInOrder) {
  FolderBench b;
  fs::create_directory(b.dir.path / "AAA");  // sorts first
  std::ofstream(b.dir.path / "BBB.BAK") << "12345";
  std::ofstream(b.dir.path / "CCC.TXT") << "";
  fs::create_directory(b.dir.path / "DDD");
  ASSERT_EQ(b.store.OpenStore(0, b.dir.path.string()), 1);
  CFileEntry e;
  ASSERT_EQ(b.store.FindFirst("*.*", &e), 1);
  EXPECT_EQ(e.name, "BBB.BAK");
  EXPECT_EQ(e.size, 5u);
  ASSERT_TRUE(e.time);
  EXPECT_LT(std::chrono::abs(std::chrono::system_clock::now() - *e.time), std::chrono::hours(1));
  ASSERT_EQ(b.store.FindNext(&e), 1);
  EXPECT_EQ(e.name, "CCC.TXT");
  EXPECT_EQ(b.store.FindNext(&e), 0);
  ASSERT_EQ(b.store.FindFirst("*.BAK", &e), 1);
  EXPECT_EQ(e.name, "BBB.BAK");
  EXPECT_EQ(b.store.FindNext(&e), 0);
  EXPECT_EQ(b.store.FindFirst("*.XYZ", &e), 0);
  EXPECT_EQ(b.store.DeleteFile("BBB.BAK", 1), 1);
  EXPECT_FALSE(fs::exists(b.dir.path / "BBB.BAK"));
  EXPECT_EQ(b.store.DeleteFile("BBB.BAK", 1), 0);
}

TEST(FolderStore, ReplacementTakesThePlaceOfTheOldFileOnlyWhenComplete) {
  FolderBench b;
  std::ofstream(b.dir.path / "SRAM.BAK") << "good old backup";
  ASSERT_EQ(b.store.OpenStore(0, b.dir.path.string()), 1);
  std::vector<uint8_t> data = pattern_bytes(5000);
  auto old_bytes = file_bytes(b.dir.path / "SRAM.BAK");

  // Until Close file the old file stands; only the temporary one is new.
  ASSERT_EQ(b.store.CreateReplacement("SRAM.BAK"), 1);
  EXPECT_EQ(b.store.Write(data.data(), 5000), 5000u);
  EXPECT_EQ(file_bytes(b.dir.path / "SRAM.BAK"), old_bytes);
  EXPECT_EQ(b.store.CloseFile(), 1);
  EXPECT_EQ(file_bytes(b.dir.path / "SRAM.BAK"), data);
  EXPECT_EQ(std::distance(fs::directory_iterator(b.dir.path), fs::directory_iterator()), 1);

  // A store destroyed with the replacement unfinished leaves the last good file.
  {
    FakeCnc cnc;
    CCncFileStore store(cnc, b.prompter);
    ASSERT_EQ(store.OpenStore(0, b.dir.path.string()), 1);
    ASSERT_EQ(store.CreateReplacement("SRAM.BAK"), 1);
    EXPECT_EQ(store.Write(data.data(), 100), 100u);
  }
  EXPECT_EQ(file_bytes(b.dir.path / "SRAM.BAK"), data);
  EXPECT_EQ(std::distance(fs::directory_iterator(b.dir.path), fs::directory_iterator()), 1);
}

TEST(FolderStore, ShortWriteIsReportedAndNeverReplacesTheGoodFile) {
  // A file size limit makes the disk "full" part way through, as a full medium would.
  FolderBench b;
  std::ofstream(b.dir.path / "SRAM.BAK") << "good old backup";
  ASSERT_EQ(b.store.OpenStore(0, b.dir.path.string()), 1);
  std::vector<uint8_t> data = pattern_bytes(8192);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // In a child, so the limit and the ignored signal end with it.
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{4096, 4096};
    setrlimit(RLIMIT_FSIZE, &limit);
    int code = 0;
    if (b.store.CreateReplacement("SRAM.BAK") != 1) code |= 1;
    if (b.store.Write(data.data(), 8192) != 4096) code |= 2;
    if (b.store.CloseFile() != 0) code |= 4;
    if (b.store.CreateFile("NEW.BAK") != 1) code |= 8;
    if (b.store.Write(data.data(), 8192) != 4096) code |= 16;
    _exit(code);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  std::string old = "good old backup";
  EXPECT_EQ(file_bytes(b.dir.path / "SRAM.BAK"), std::vector<uint8_t>(old.begin(), old.end()));
  EXPECT_EQ(fs::file_size(b.dir.path / "NEW.BAK"), 4096u);
  // No temporary file is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(b.dir.path), fs::directory_iterator()), 2);
}

}  // namespace
