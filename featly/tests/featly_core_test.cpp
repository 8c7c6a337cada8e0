#include "featly/featly_core.h"

#include <gtest/gtest.h>

#include <cstring>

#include "featly/tests/fake_vantor.h"

namespace featly {
namespace {

using testing::FakeCnc;

TEST(FeatlyText, ParameterListStopsAboveTheOptionRangeAndAtTheCount) {
  uint8_t info[kInfoBufferSize] = {};
  const int16_t entries[][2] = {{9900, 0}, {9905, 2}, {9991, 0}, {9995, 2}};
  for (int i = 0; i < 4; ++i) std::memcpy(info + 6 + 4 * i, entries[i], 4);
  int16_t count = 4;
  std::memcpy(info, &count, 2);
  auto list = parameter_list(info);
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].number, 9900);
  EXPECT_EQ(list[0].kind(), Kind::bit);
  EXPECT_EQ(list[1].number, 9905);
  EXPECT_EQ(list[1].kind(), Kind::word);

  count = 1;
  std::memcpy(info, &count, 2);
  EXPECT_EQ(parameter_list(info).size(), 1u);
  count = 30000;  // a count larger than the buffer holds reads no further than the buffer
  std::memcpy(info, &count, 2);
  EXPECT_EQ(parameter_list(info).size(), 2u);
}

TEST(FeatlyText, ValuesAndInputs) {
  EXPECT_EQ(value_text(Kind::bit, 0x12, 0), "00010010 ");
  EXPECT_EQ(value_text(Kind::word, 0, -5), "-5 ");
  EXPECT_EQ(bit_input("101"), 5);
  EXPECT_EQ(bit_input("10000000"), 0x80);
  EXPECT_EQ(bit_input("0"), 0);

  const struct {
    const char* text;
    std::optional<int16_t> value;
  } words[] = {{"-5", -5},      {"32767", 32767}, {"-32768", -32768}, {"40000", std::nullopt},
               {"-32769", std::nullopt}, {"-", std::nullopt}, {"5-3", std::nullopt},
               {"0", 0},        {"99999999", std::nullopt}};
  for (const auto& w : words) EXPECT_EQ(word_input(w.text), w.value) << w.text;

  EXPECT_TRUE(input_accepts(Kind::bit, '1'));
  EXPECT_FALSE(input_accepts(Kind::bit, '2'));
  EXPECT_FALSE(input_accepts(Kind::bit, '-'));
  EXPECT_TRUE(input_accepts(Kind::word, '-'));
  EXPECT_TRUE(input_accepts(Kind::word, '9'));
  EXPECT_FALSE(input_accepts(Kind::word, 'a'));
  EXPECT_TRUE(input_accepts(Kind::bit, '\b'));
  EXPECT_EQ(node_label(3), "Node3");
  EXPECT_EQ(path_label(2), "Path2");
  EXPECT_EQ(path_label(5), "Loader");
}

class SessionTest : public ::testing::Test {
 protected:
  FakeCnc cnc;
  moxel::ScriptedPrompter prompter;
  std::vector<std::string> texts() {
    std::vector<std::string> out;
    for (const auto& s : prompter.shown()) out.push_back(s.text);
    return out;
  }
};

TEST_F(SessionTest, PathsAreProbedAndTheCurrentOneSelectedAgain) {
  cnc.nodes = {{.number = 0, .paths = {1, 2, 5}, .current_path = 2}};
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.paths(), (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(cnc.nodes[0].current_path, 2);  // the CNC's own path stays in effect
  EXPECT_TRUE(prompter.shown().empty());    // status 11 of a missing path is not reported
  ASSERT_EQ(s.select_path(2), Session::Outcome::done);
  EXPECT_EQ(cnc.nodes[0].current_path, 5);
  EXPECT_EQ(s.current_value(), "00010010 ");
}

TEST_F(SessionTest, StartReadsTheFirstParameter) {
  cnc.nodes = {{.number = 2}};
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.params().size(), 2u);
  EXPECT_EQ(s.kind(), Kind::bit);
  EXPECT_EQ(s.current_value(), "00010010 ");
  ASSERT_EQ(s.select_param(1), Session::Outcome::done);
  EXPECT_EQ(s.kind(), Kind::word);
  EXPECT_EQ(s.current_value(), "-7 ");
}

TEST_F(SessionTest, FailuresAtStart) {
  {
    cnc.nodes = {{.number = 0, .usable = false}, {.number = 1, .usable = false}};
    Session s(cnc.calls(), prompter);
    EXPECT_FALSE(s.start());
    EXPECT_EQ(texts(), std::vector<std::string>{kUnusableText});
  }
  prompter.clear();
  {
    cnc.nodes = {};
    Session s(cnc.calls(), prompter);
    EXPECT_FALSE(s.start());
    EXPECT_TRUE(texts().empty());
  }
  {
    cnc.nodes = {{.number = 0}};
    cnc.fail["cnc_rdnodenum"] = -16;
    Session s(cnc.calls(), prompter);
    EXPECT_FALSE(s.start());
    ASSERT_EQ(prompter.shown().size(), 1u);
    EXPECT_EQ(prompter.shown()[0].caption, kErrorCaption);
    EXPECT_EQ(prompter.shown()[0].text, "Function        : cnc_rdnodenum\nReturn Status : -16");
    EXPECT_EQ(prompter.shown()[0].icon, moxel::Icon::exclamation);
  }
}

TEST_F(SessionTest, ARecordThatCannotBeReadIsSkipped) {
  cnc.nodes = {{.number = 0}, {.number = 1}};
  cnc.fail["cnc_rdnodeinfo:0"] = 3;
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(s.nodes().size(), 1u);
  EXPECT_EQ(s.nodes()[0].node_no, 1);
  EXPECT_EQ(texts().size(), 1u);
}

TEST_F(SessionTest, HeadsThatFailAreDroppedAndTheirHandlesReleased) {
  cnc.nodes = {{.number = 0, .connects = false}, {.number = 1}, {.number = 2}};
  cnc.fail["cnc_getpath:1"] = 5;
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  ASSERT_EQ(s.nodes().size(), 1u);
  EXPECT_EQ(s.nodes()[0].node_no, 2);
  EXPECT_EQ(cnc.handles.size(), 1u);  // node 1's handle was given back
  EXPECT_EQ(texts().size(), 2u);      // the refused connection and the failed path read
}

TEST_F(SessionTest, TheLastNodeFailingEndsTheProgram) {
  cnc.nodes = {{.number = 0, .connects = false}};
  Session s(cnc.calls(), prompter);
  EXPECT_FALSE(s.start());
  EXPECT_TRUE(cnc.handles.empty());
}

TEST_F(SessionTest, AnEmptyParameterListGivesUp) {
  cnc.nodes = {{.number = 0, .params = {{9995, {0, 0}}}}, {.number = 1}};
  Session s(cnc.calls(), prompter);
  EXPECT_FALSE(s.start());
  EXPECT_EQ(texts(), std::vector<std::string>{kNoListText});
  EXPECT_EQ(prompter.shown()[0].caption, kErrorCaption);
  EXPECT_TRUE(cnc.handles.empty());
}

TEST_F(SessionTest, Setting) {
  cnc.nodes = {{.number = 0}};
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  EXPECT_EQ(s.setting(""), Session::SetResult::nothing);
  EXPECT_TRUE(cnc.writes.empty());

  ASSERT_EQ(s.setting("101"), Session::SetResult::written);
  EXPECT_EQ(cnc.writes.back(), (std::vector<uint8_t>{0xAC, 0x26, 0, 0, 5}));
  EXPECT_EQ(s.current_value(), "00000101 ");
  ASSERT_EQ(s.setting("10000000"), Session::SetResult::written);
  EXPECT_EQ(cnc.writes.back()[4], 0x80);

  ASSERT_EQ(s.select_param(1), Session::Outcome::done);
  ASSERT_EQ(s.setting("-5"), Session::SetResult::written);
  EXPECT_EQ(cnc.writes.back(), (std::vector<uint8_t>{0xDE, 0x26, 0, 0, 0xFB, 0xFF}));
  EXPECT_EQ(s.current_value(), "-5 ");

  const size_t before = cnc.writes.size();
  EXPECT_EQ(s.setting("40000"), Session::SetResult::invalid);
  EXPECT_EQ(cnc.writes.size(), before);
  EXPECT_EQ(texts().back(), kInvalidDataText);
  EXPECT_EQ(prompter.shown().back().caption, kCaption);

  cnc.fail["cnc_wrparam"] = 7;
  EXPECT_EQ(s.setting("12"), Session::SetResult::failed);
  EXPECT_EQ(texts().back(), "Function        : cnc_wrparam\nReturn Status : 7");
  EXPECT_EQ(s.current_value(), "-5 ");
}

TEST_F(SessionTest, TheEndMessageOnlyAfterAWrite) {
  cnc.nodes = {{.number = 0}};
  {
    Session s(cnc.calls(), prompter);
    ASSERT_TRUE(s.start());
    s.end();
    EXPECT_TRUE(texts().empty());
    EXPECT_TRUE(cnc.handles.empty());
  }
  {
    Session s(cnc.calls(), prompter);
    ASSERT_TRUE(s.start());
    ASSERT_EQ(s.setting("1"), Session::SetResult::written);
    s.end();
    EXPECT_EQ(texts(), std::vector<std::string>{kChangedText});
    EXPECT_TRUE(cnc.handles.empty());
  }
}

TEST_F(SessionTest, NodeChanges) {
  cnc.nodes = {{.number = 0}, {.number = 3, .paths = {1, 2}}, {.number = 5, .connects = false}};
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());

  cnc.fail["cnc_freelibhndl"] = 8;
  cnc.fail_times["cnc_freelibhndl"] = 1;
  EXPECT_EQ(s.select_node(1), Session::Outcome::reverted);
  EXPECT_EQ(s.node_index(), 0u);
  EXPECT_TRUE(s.has_handle());

  ASSERT_EQ(s.select_node(1), Session::Outcome::done);
  EXPECT_EQ(s.node_index(), 1u);
  EXPECT_EQ(s.paths(), (std::vector<int>{1, 2}));
  EXPECT_EQ(cnc.handles.size(), 1u);

  // A node that cannot connect is dropped and the list comes up from its head again.
  EXPECT_EQ(s.select_node(2), Session::Outcome::refilled);
  EXPECT_EQ(s.nodes().size(), 2u);
  EXPECT_EQ(s.node_index(), 0u);
  EXPECT_EQ(cnc.handles.size(), 1u);

  // A node that connects but does not come up keeps its place, without a handle of ours.
  cnc.fail["cnc_getpath:3"] = 5;
  cnc.fail_times["cnc_getpath:3"] = 1;
  EXPECT_EQ(s.select_node(1), Session::Outcome::refilled);
  EXPECT_EQ(s.nodes().size(), 2u);
  EXPECT_EQ(cnc.handles.size(), 1u);
}

TEST_F(SessionTest, PathAndNumberChangesThatFail) {
  cnc.nodes = {{.number = 0, .paths = {1, 2}}};
  Session s(cnc.calls(), prompter);
  ASSERT_TRUE(s.start());
  cnc.fail["cnc_rdparam:9950"] = 4;
  EXPECT_EQ(s.select_param(1), Session::Outcome::reverted);
  EXPECT_EQ(s.param_index(), 0u);
  EXPECT_EQ(s.current_value(), "00010010 ");

  cnc.fail["cnc_setpath:2"] = 5;
  cnc.fail_times["cnc_setpath:2"] = 1;
  EXPECT_EQ(s.select_path(1), Session::Outcome::reverted);
  EXPECT_EQ(s.path_index(), 0u);

  cnc.fail["cnc_rdparainfo"] = 5;
  EXPECT_EQ(s.select_path(1), Session::Outcome::ended);
}

}  // namespace
}  // namespace featly
