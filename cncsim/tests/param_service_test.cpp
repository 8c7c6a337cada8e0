#include "testsupport/temp_folder.h"
#include "cncsim/cnc/param_service.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace cncsim {
namespace {

namespace fs = std::filesystem;

// A temporary folder removed at the end of the test.
struct TempDir : moxel::test::TempFolder {
  TempDir() : TempFolder("param-test") {}
};

// The request block as the PC fills it.
struct Block {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(kParamBlockSize, 0);
  void put16(uint32_t offset, int16_t v) { std::memcpy(&bytes[offset], &v, 2); }
  int16_t get16(uint32_t offset) const {
    int16_t v;
    std::memcpy(&v, &bytes[offset], 2);
    return v;
  }
  int16_t call(ParamService& s, uint16_t function, std::initializer_list<int16_t> args,
               std::initializer_list<uint8_t> data = {}) {
    put16(kParamFunctionOffset, int16_t(function));
    int i = 0;
    for (int16_t a : args) put16(kParamArgsOffset + 2 * i++, a);
    std::copy(data.begin(), data.end(), bytes.begin() + kParamDataOffset);
    put16(kParamFlagOffset, kParamFlagPosted);
    EXPECT_TRUE(s.serve(bytes));
    EXPECT_EQ(get16(kParamFlagOffset), kParamFlagIdle);
    return get16(kParamStatusOffset);
  }
  int16_t arg(int i) const { return get16(kParamArgsOffset + 2 * i); }
  int16_t data16(int offset) const { return get16(kParamDataOffset + offset); }
};

TEST(ParamService, PathsExistAsConfiguredAndTheCurrentOneComesBackAtPowerOn) {
  ParamService s({}, {.paths = *ParamService::parse_paths("1,2,5"), .current_path = 2});
  Block b;
  EXPECT_EQ(b.call(s, kParamGetPath, {}), kParamOk);
  EXPECT_EQ(b.arg(0), 2);
  EXPECT_EQ(b.arg(1), 3);
  EXPECT_EQ(b.call(s, kParamSetPath, {3}), kParamNoPath);
  EXPECT_EQ(b.call(s, kParamSetPath, {5}), kParamOk);
  EXPECT_EQ(s.current_path(), 5);
  s.power_on();
  EXPECT_EQ(s.current_path(), 2);

  EXPECT_FALSE(ParamService::parse_paths("0"));
  EXPECT_FALSE(ParamService::parse_paths("1,6"));
  EXPECT_FALSE(ParamService::parse_paths(""));
  EXPECT_EQ(ParamService::parse_paths("3"), 0x04);
}

TEST(ParamService, AnUnpostedBlockIsLeftAlone) {
  ParamService s({}, {});
  Block b;
  EXPECT_FALSE(s.serve(b.bytes));
  b.put16(kParamFlagOffset, kParamFlagWorking);
  EXPECT_FALSE(s.serve(b.bytes));
}

TEST(ParamService, InformationReadAndWriteKeepToTheKinds) {
  TempDir dir;
  {
    ParamService s(dir.path, {});
    Block b;
    ASSERT_EQ(b.call(s, kParamInfo, {9900, 100}), kParamOk);
    EXPECT_EQ(b.data16(0), 100);
    EXPECT_EQ(b.data16(6), 9900);
    EXPECT_EQ(b.data16(8), 0);      // bit parameter
    EXPECT_EQ(b.data16(6 + 4 * 40), 9940);
    EXPECT_EQ(b.data16(8 + 4 * 40), 2);  // word parameter
    EXPECT_EQ(b.data16(6 + 4 * 91), 9991);

    EXPECT_EQ(b.call(s, kParamWrite, {9901, 5}, {0x12}), kParamOk);
    EXPECT_EQ(b.call(s, kParamWrite, {9950, 6}, {0xFB, 0xFF}), kParamOk);
    EXPECT_EQ(b.call(s, kParamWrite, {9950, 5}, {1}), kParamBadLength);
    EXPECT_EQ(b.call(s, kParamWrite, {9899, 5}, {1}), kParamNoNumber);
    EXPECT_EQ(b.call(s, kParamRead, {9950}), kParamOk);
    EXPECT_EQ(b.arg(1), 2);
    EXPECT_EQ(b.data16(0), -5);
    EXPECT_EQ(s.get(9901)->value, 0x12);
    EXPECT_TRUE(s.set(9902, 0x80));
    EXPECT_FALSE(s.set(9902, 256));  // a bit parameter holds one byte
    EXPECT_FALSE(s.set(9000, 1));
  }
  // What was written is there for the next CNC run.
  ParamService again(dir.path, {});
  EXPECT_EQ(again.get(9901)->value, 0x12);
  EXPECT_EQ(again.get(9950)->value, -5);
  EXPECT_EQ(again.get(9902)->value, 0x80);
  EXPECT_FALSE(fs::exists(again.file().string() + ".tmp"));
}

TEST(ParamService, FaultsRefuseTheirCalls) {
  ParamService s({}, {});
  Block b;
  const struct {
    ParamService::Fault fault;
    uint16_t function;
    std::initializer_list<int16_t> args;
    int16_t status;
  } cases[] = {
      {ParamService::Fault::handle_refused, kParamOpen, {}, kParamRefused},
      {ParamService::Fault::read_error, kParamRead, {9900}, kParamRefused},
      {ParamService::Fault::write_refused, kParamWrite, {9900, 5}, kParamProtected},
  };
  for (const auto& c : cases) {
    s.set_fault(c.fault, true);
    EXPECT_EQ(b.call(s, c.function, c.args), c.status) << c.function;
    s.set_fault(c.fault, false);
    EXPECT_EQ(b.call(s, c.function, c.args), kParamOk) << c.function;
  }
  s.set_fault(ParamService::Fault::list_empty, true);
  EXPECT_EQ(b.call(s, kParamInfo, {9900, 100}), kParamOk);
  EXPECT_EQ(b.data16(0), 0);
}

TEST(ParamService, ABrokenFileLineIsSkipped) {
  TempDir dir;
  std::ofstream(dir.path / "param.txt") << "9900 0 3\nnonsense\n9950 2 99999\n9960 2 -4\n";
  ParamService s(dir.path, {});
  EXPECT_EQ(s.get(9900)->value, 3);
  EXPECT_FALSE(s.get(9950));
  EXPECT_EQ(s.get(9960)->value, -4);
}

}  // namespace
}  // namespace cncsim
