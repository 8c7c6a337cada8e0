// The simulated memory card through its mailbox functions, as the CNC's boot software serves them.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "testsupport/temp_folder.h"
#include "cncsim/card.h"
#include "cncsim/card_functions.h"

namespace {

using namespace cncsim;
namespace fs = std::filesystem;

// A temporary folder removed at the end of the test.
struct TempDir : moxel::test::TempFolder {
  TempDir() : TempFolder("card-test") {}
};

// A card and the shared memory its functions move data through; strings at kPath, data at 0.
struct CardBench {
  static constexpr uint32_t kPath = 0x100;
  TempDir dir;
  MemoryCard card;
  std::vector<uint8_t> shared = std::vector<uint8_t>(0x10000);
  SpanMemory memory{shared};

  explicit CardBench(CardSettings settings = {}) : card(dir.path, settings) {}

  CardAnswer call(uint16_t function, uint16_t i1 = 0, uint32_t i3 = 0, uint32_t i4 = 0) {
    return serve_card_function(card, CardCall{function, i1, 0, i3, i4}, memory);
  }
  CardAnswer with_text(uint16_t function, const std::string& text, uint16_t i1 = 0, uint32_t i4 = 0) {
    std::memcpy(shared.data() + kPath, text.c_str(), text.size() + 1);
    return call(function, i1, kPath, i4);
  }
  bool mount() { return with_text(0x42C, "A:", kCardId).status == 0; }
  uint16_t create(const std::string& name) {
    CardAnswer a = with_text(0x403, "A:\\" + name, 1);
    EXPECT_EQ(a.status, 0) << name << " error " << a.o4;
    return a.o1;
  }
  CardAnswer write(uint16_t handle, const std::string& data) {
    std::memcpy(shared.data(), data.data(), data.size());
    return call(0x407, handle, 0, uint32_t(data.size()));
  }
  std::string read_file(const std::string& name) {
    CardAnswer a = with_text(0x404, "A:\\" + name, 0);
    if (a.status != 0) return "<error " + std::to_string(a.o4) + ">";
    CardAnswer r = call(0x406, a.o1, 0, 0x8000);
    call(0x405, a.o1);
    return std::string(reinterpret_cast<char*>(shared.data()), r.o3);
  }
  // Names and sizes found by find first / find next for `pattern`.
  std::vector<std::pair<std::string, uint32_t>> find(const std::string& pattern) {
    std::vector<std::pair<std::string, uint32_t>> found;
    constexpr uint32_t kEntry = 0x200;
    for (CardAnswer a = with_text(0x424, pattern, 0, kEntry); a.status == 0; a = call(0x425, 0, 0, kEntry)) {
      const uint8_t* e = shared.data() + kEntry;
      uint32_t size = e[26] | e[27] << 8 | e[28] << 16 | uint32_t(e[29]) << 24;
      found.emplace_back(reinterpret_cast<const char*>(e + 30), size);
      if (found.size() > 100) break;
    }
    return found;
  }
};

TEST(MemoryCard, FilesGoInUpperCase83AndComeBackWithSizeAndDosStamp) {
  CardBench b;
  ASSERT_TRUE(b.mount());
  uint16_t h = b.create("sram0a.bak");
  CardAnswer w = b.write(h, "hello card");
  EXPECT_EQ(w.status, 0);
  EXPECT_EQ(w.o3, 10u);
  EXPECT_EQ(b.call(0x405, h).status, 0);
  b.write(b.create("B.X"), "");
  EXPECT_TRUE(fs::exists(b.card.folder() / "SRAM0A.BAK"));
  EXPECT_EQ(b.read_file("Sram0a.Bak"), "hello card");

  using Found = std::vector<std::pair<std::string, uint32_t>>;
  EXPECT_EQ(b.find("A:\\*.*"), (Found{{"B.X", 0}, {"SRAM0A.BAK", 10}}));
  EXPECT_EQ(b.find("A:\\SRAM*.*"), (Found{{"SRAM0A.BAK", 10}}));
  EXPECT_EQ(b.find("A:\\*.BAK"), (Found{{"SRAM0A.BAK", 10}}));
  EXPECT_TRUE(b.find("A:\\*.TXT").empty());

  // The record's time stamp is the file's modification time in local DOS form.
  b.with_text(0x424, "A:\\SRAM0A.BAK", 0, 0x200);
  const uint8_t* e = b.shared.data() + 0x200;
  struct stat st;
  ASSERT_EQ(stat((b.card.folder() / "SRAM0A.BAK").c_str(), &st), 0);
  uint16_t date, time;
  dos_stamp(st.st_mtim.tv_sec, &date, &time);
  EXPECT_EQ(e[21], 0x20);
  EXPECT_EQ(e[22] | e[23] << 8, time);
  EXPECT_EQ(e[24] | e[25] << 8, date);
}

TEST(MemoryCard, DosStampIsLocalTime) {
  const char* saved = getenv("TZ");
  std::string old = saved ? saved : "";
  setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
  tzset();
  uint16_t date, time;
  dos_stamp(1719842405, &date, &time);  // 2024-07-01 14:00:05 UTC = 16:00:05 CEST
  EXPECT_EQ(date, (44 << 9) | (7 << 5) | 1);
  EXPECT_EQ(time, (16 << 11) | (0 << 5) | 2);
  dos_stamp(0, &date, &time);  // before 1980: the DOS epoch
  EXPECT_EQ(date, (1 << 5) | 1);
  if (saved) setenv("TZ", old.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

TEST(MemoryCard, FullCardTakesWhatFitsAndReportsIt) {
  CardSettings s;
  s.capacity = 2048;
  CardBench b(s);
  ASSERT_TRUE(b.mount());
  uint16_t h = b.create("A.DAT");
  CardAnswer first = b.write(h, std::string(1000, 'x'));
  EXPECT_EQ(first.status, 0);
  CardAnswer second = b.write(h, std::string(3000, 'y'));
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.o4, kCardFull);
  EXPECT_EQ(second.o3, 1048u);
  b.call(0x405, h);
  EXPECT_EQ(fs::file_size(b.card.folder() / "A.DAT"), 2048u);
  EXPECT_EQ(b.card.used_bytes(), 2048u);
  // A second file gets no cluster at all.
  CardAnswer none = b.write(b.create("B.DAT"), "z");
  EXPECT_EQ(none.o4, kCardFull);
  EXPECT_EQ(none.o3, 0u);
}

TEST(MemoryCard, HandlesAreLimitedAndDistinct) {
  CardSettings s;
  s.max_open = 2;
  CardBench b(s);
  ASSERT_TRUE(b.mount());
  uint16_t h1 = b.create("A");
  uint16_t h2 = b.create("B");
  EXPECT_NE(h1, 0);
  EXPECT_NE(h1, h2);
  EXPECT_EQ(b.with_text(0x403, "A:\\C", 1).o4, kCardTooManyOpen);
  EXPECT_EQ(b.call(0x405, h1).status, 0);
  EXPECT_EQ(b.call(0x405, h1).o4, kCardBadHandle);  // closed once only
  uint16_t h3 = b.create("C");
  EXPECT_NE(h3, h2);
}

TEST(MemoryCard, PulledCardFailsTheNextCallAndForgetsItsHandles) {
  CardBench b;
  ASSERT_TRUE(b.mount());
  uint16_t h = b.create("KEEP.ME");
  b.write(h, "data");
  b.card.set_inserted(false);
  EXPECT_EQ(b.write(h, "more").o4, kCardNotReady);
  EXPECT_EQ(b.call(0x301).o1, 1);
  EXPECT_EQ(b.with_text(0x42C, "A:", kCardId).o4, kCardNotReady);
  b.card.set_inserted(true);
  EXPECT_EQ(b.write(h, "more").o4, kCardBadHandle);
  EXPECT_EQ(b.with_text(0x404, "A:\\KEEP.ME", 0).o4, kCardNotMounted);
  ASSERT_TRUE(b.mount());
  EXPECT_EQ(b.read_file("KEEP.ME"), "data");
}

TEST(MemoryCard, StatusWordFollowsTheHardware) {
  struct Case {
    bool inserted, battery, protect, flash;
    uint16_t o1, o2;
  } cases[] = {
      {true, false, false, false, 0, 0}, {false, false, false, false, 1, 0},
      {true, true, false, false, 2, 0},  {true, false, true, false, 4, 0},
      {true, false, false, true, 0, 1},  {false, true, true, true, 1, 1},
  };
  CardBench b;
  for (const Case& c : cases) {
    b.card.set_inserted(c.inserted);
    b.card.set_battery_alarm(c.battery);
    b.card.set_protect(c.protect);
    b.card.set_flash(c.flash);
    CardAnswer a = b.call(0x301);
    EXPECT_EQ(a.status, 0);
    EXPECT_EQ(a.o1, c.o1) << c.inserted << c.battery << c.protect << c.flash;
    EXPECT_EQ(a.o2, c.o2);
  }
  EXPECT_EQ(b.call(0x302).o1, kCardId);
}

TEST(MemoryCard, UnformattedUnavailableProtectedAndFlash) {
  CardBench b;
  ASSERT_TRUE(b.mount());
  b.write(b.create("OLD.DAT"), "x");
  b.card.make_unformatted();
  EXPECT_FALSE(fs::exists(b.card.folder() / "OLD.DAT"));
  EXPECT_EQ(b.with_text(0x42C, "A:", kCardId).o4, kCardNotFormatted);

  b.card.set_unavailable(true);
  CardAnswer refused = b.with_text(0x42B, "MOXEL LTD", kCardId);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.o4, 0x2002Fu);
  b.card.set_unavailable(false);
  EXPECT_EQ(b.with_text(0x42B, "MOXEL LTD", kCardId).status, 0);
  ASSERT_TRUE(b.mount());
  b.call(0x405, b.create("NEW.DAT"));
  b.card.set_unavailable(true);
  EXPECT_EQ(b.with_text(0x403, "A:\\OTHER.DAT", 1).o4, 0x2002Fu);
  b.card.set_unavailable(false);

  b.card.set_protect(true);
  EXPECT_EQ(b.with_text(0x403, "A:\\P.DAT", 1).o4, kCardWriteProtected);
  EXPECT_EQ(b.with_text(0x404, "A:\\NEW.DAT", 1).o4, kCardWriteProtected);
  EXPECT_EQ(b.with_text(0x408, "A:\\NEW.DAT").o4, kCardWriteProtected);
  EXPECT_EQ(b.with_text(0x42B, "X", kCardId).o4, kCardWriteProtected);
  b.card.set_protect(false);

  b.card.set_flash(true);
  EXPECT_EQ(b.with_text(0x408, "A:\\NEW.DAT").o4, kCardAccessDenied);
  b.card.set_flash(false);
  EXPECT_EQ(b.with_text(0x408, "A:\\NEW.DAT").status, 0);
  EXPECT_EQ(b.with_text(0x408, "A:\\NEW.DAT").o4, kCardNotFound);
}

TEST(MemoryCard, RefusesBadNamesPathsAndTransfers) {
  CardBench b;
  EXPECT_EQ(b.with_text(0x403, "A:\\X.DAT", 1).o4, kCardNotMounted);
  ASSERT_TRUE(b.mount());
  b.call(0x405, b.create("X.DAT"));
  struct Case {
    const char* path;
    uint32_t error;
  } cases[] = {
      {"A:\\X.DAT", kCardExists},       {"A:\\TOOLONGNAME.DAT", kCardBadName},
      {"A:\\X.DATA", kCardBadName},     {"A:\\A.B.C", kCardBadName},
      {"A:\\..", kCardBadName},         {"A:\\SUB\\X.DAT", kCardPathNotFound},
      {"B:\\X.DAT", kCardPathNotFound}, {"A:\\A*.DAT", kCardBadName},
      {"A:\\", kCardBadName},           {"A:\\x/y", kCardPathNotFound},
  };
  for (const Case& c : cases) EXPECT_EQ(b.with_text(0x403, c.path, 1).o4, c.error) << c.path;
  EXPECT_EQ(b.with_text(0x404, "A:\\NONE.DAT", 0).o4, kCardNotFound);

  uint16_t h = b.with_text(0x404, "A:\\X.DAT", 0).o1;
  EXPECT_EQ(b.call(0x406, h, 0xFFF0, 0x20).o4, kCardBadParameter);  // past the shared memory
  EXPECT_EQ(b.call(0x406, h, 0, 0xFFFFFFFF).o4, kCardBadParameter);
  EXPECT_EQ(b.call(0x407, h, 0, 4).o4, kCardAccessDenied);  // opened for reading
  // A path without its NUL inside the shared memory.
  std::memset(b.shared.data() + 0xFF00, 'A', 0x100);
  EXPECT_EQ(b.call(0x408, 0, 0xFF00).o4, kCardBadParameter);
  EXPECT_EQ(b.call(0x999).status, 1);
}

TEST(MemoryCard, KeepsFilesAndFormatAcrossRestarts) {
  TempDir dir;
  {
    MemoryCard card(dir.path, {});
    ASSERT_TRUE(card.open_volume(kCardId, "A:").ok());
    uint16_t h = card.create("A:\\KEPT.DAT").o1;
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(card.write(h, data).o3, 3u);
    EXPECT_TRUE(card.close(h).ok());
  }
  {
    MemoryCard card(dir.path, {});
    ASSERT_TRUE(card.open_volume(kCardId, "A:").ok());
    EXPECT_TRUE(card.open("A:\\KEPT.DAT", false).ok());
    card.make_unformatted();
  }
  MemoryCard card(dir.path, {});
  EXPECT_EQ(card.open_volume(kCardId, "A:").error, kCardNotFormatted);
}

TEST(MemoryCard, SettingsComeFromTheSimulatorSection) {
  auto config = moxel::ConfigData::parse(
      "[Simulator]\nCardInserted2=0\nCardCapacity2=0x10000\nCardFlash2=1\nCardMaxOpen2=9\n");
  ASSERT_TRUE(config);
  CardSettings two = CardSettings::from_config(*config, 2);
  EXPECT_FALSE(two.inserted);
  EXPECT_EQ(two.capacity, 0x10000u);
  EXPECT_TRUE(two.flash);
  EXPECT_EQ(two.max_open, 9u);
  CardSettings zero = CardSettings::from_config(*config, 0);
  EXPECT_TRUE(zero.inserted);
  EXPECT_FALSE(zero.flash);
}

}  // namespace
