// The boot screen window under the offscreen platform against a simulated node; the test plays
// the CNC's part by writing the request words and the screen into the node's shared memory.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <chrono>
#include <optional>
#include <thread>

#include "cnbusclient/cnbus_client.h"
#include "kestrel/ui/loading_dlg.h"
#include "testsupport/test_daemon.h"

namespace {

using kestrel::CLoadingDlg;

constexpr uint32_t B = 0xD0000;
constexpr const char* kConfig =
    "[Parameters]\nIoPortAddress0=0x300\nCncType0=1\nNodeName0=Mill\n"
    "[Host]\nBoard0=sim\nSocketMode=0600\n[Simulator]\nBootMode0=running\n";

TEST(VirtualKeyOf, QtKeysGiveTheCodesTheCncTranslationExpects) {
  struct Case {
    int key;
    Qt::KeyboardModifiers mods;
    int queued;  // code queued for the CNC, -1 for none
  } cases[] = {
      {Qt::Key_PageUp, Qt::NoModifier, 143},  {Qt::Key_PageDown, Qt::NoModifier, 142},
      {Qt::Key_5, Qt::KeypadModifier, '5'},   {Qt::Key_0, Qt::KeypadModifier, '0'},
      {Qt::Key_A, Qt::ShiftModifier, 'A'},    {Qt::Key_7, Qt::NoModifier, '7'},
      {Qt::Key_F1, Qt::NoModifier, 0x70},     {Qt::Key_Shift, Qt::ShiftModifier, -1},
      {Qt::Key_Return, Qt::NoModifier, 13},   {Qt::Key_Enter, Qt::KeypadModifier, 13},
      {Qt::Key_Escape, Qt::NoModifier, 27},   {Qt::Key_Backspace, Qt::NoModifier, 8},
      {Qt::Key_Left, Qt::NoModifier, 29},     {Qt::Key_Up, Qt::NoModifier, 30},
      {Qt::Key_Right, Qt::NoModifier, 28},    {Qt::Key_Down, Qt::NoModifier, 31},
      {Qt::Key_Home, Qt::NoModifier, -1},     {Qt::Key_Tab, Qt::NoModifier, -1},
      {Qt::Key_Space, Qt::NoModifier, -1},    {Qt::Key_Eacute, Qt::NoModifier, -1},
  };
  for (const auto& c : cases) {
    const auto code = kestrel::TranslateKey(kestrel::VirtualKeyOf(c.key, c.mods));
    EXPECT_EQ(code ? int(*code) : -1, c.queued) << "Qt key " << c.key;
  }
}

class LoadingDlgTest : public ::testing::Test {
 protected:
  moxel::test::Daemon daemon{"loadingdlg-test"};
  std::unique_ptr<cnbus::CCnbusClient> cnc_client;

  void SetUp() override {
    daemon.configure(kConfig);
    ASSERT_TRUE(daemon.start()) << daemon.error() << daemon.log();
    cnc_client = std::make_unique<cnbus::CCnbusClient>();
    ASSERT_EQ(cnc().SelectNode(0), 1);
    cnc().ShmWriteWord(B, 0);
  }
  void TearDown() override { cnc_client.reset(); }
  cnbus::CCnbusClient& cnc() { return *cnc_client; }

  // Posts a request and runs the GUI's events until the PC has answered it (bounded).
  bool post(uint16_t code) {
    cnc().ShmWriteWord(B + 0x102, code);
    cnc().ShmWriteWord(B + 0x100, 1);
    for (int i = 0; i < 2000; ++i) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
      if (cnc().ShmReadWord(B + 0x100) == 0) return true;
    }
    return false;
  }
  std::optional<int> finish(CLoadingDlg& dlg) {
    QSignalSpy finished(&dlg, &QDialog::finished);
    if (finished.isEmpty() && !finished.wait(20000)) return std::nullopt;
    return finished.first().first().toInt();
  }
};

TEST_F(LoadingDlgTest, WindowHoldsEightyByTwentyFiveCellsShowsLoadingAndKeepsEnterAndEscForTheCnc) {
  CLoadingDlg dlg(0, 0, "Kestrel32", "Mill");
  dlg.show();
  EXPECT_EQ(dlg.windowTitle(), "Kestrel32 - Mill");
  EXPECT_EQ(dlg.size(), QSize(80 * dlg.CellSize().width(), 25 * dlg.CellSize().height()));
  EXPECT_EQ(kestrel::LineText(dlg.Screen()->Shadow(), 0), "LOADING...");

  QTest::keyClick(&dlg, Qt::Key_Return);
  QTest::keyClick(&dlg, Qt::Key_Escape);
  QTest::keyClick(&dlg, Qt::Key_Shift);
  QTest::keyClick(&dlg, Qt::Key_5, Qt::KeypadModifier);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), 0);
  for (int want : {13, 27, 53, 0xFFFF}) {
    ASSERT_TRUE(post(0x8003));
    EXPECT_EQ(cnc().ShmReadWord(B + 0x114), want);
  }
  EXPECT_TRUE(dlg.isVisible());
}

TEST_F(LoadingDlgTest, UpdateIsDrawnOnTheGuiThreadWhileThePollThreadWaits) {
  CLoadingDlg dlg(0, 0, "Kestrel32", "Mill");
  dlg.show();
  uint8_t line[160] = {};
  const char* text = "MEMORY TEST OK";
  for (int i = 0; text[i]; ++i) line[2 * i] = uint8_t(text[i]), line[2 * i + 1] = 0x70;
  cnc().ShmWriteBytes(B + 0x1000 + 2 * 160, line, sizeof line);
  cnc().ShmWriteByte(B + 0x200 + 2, 1);
  // The GUI thread does not run: the poll thread has taken the request and waits for it.
  cnc().ShmWriteWord(B + 0x102, 0x8002);
  cnc().ShmWriteWord(B + 0x100, 1);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(cnc().ShmReadWord(B + 0x100), 0xFFFF);
  EXPECT_EQ(cnc().ShmReadByte(B + 0x202), 1);
  ASSERT_TRUE(post(0x8002));
  EXPECT_EQ(kestrel::LineText(dlg.Screen()->Shadow(), 2), "MEMORY TEST OK");
  EXPECT_EQ(cnc().ShmReadByte(B + 0x202), 0);
  const QImage shot = dlg.grab().toImage();
  // Reverse video: the cell behind the first character is light.
  EXPECT_GT(qGray(shot.pixel(1, 2 * dlg.CellSize().height() + 1)), 128);
  EXPECT_LT(qGray(shot.pixel(1, 5 * dlg.CellSize().height() + 1)), 64);
}

TEST_F(LoadingDlgTest, EndRequestClosesWithZeroOnceTheSystemRuns) {
  CLoadingDlg dlg(0, 0, "Kestrel32", "Mill");
  dlg.show();
  QSignalSpy finished(&dlg, &QDialog::finished);
  ASSERT_TRUE(post(0x8001));
  for (int i = 0; i < 50; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(finished.isEmpty());  // the state word does not show the running system yet
  cnc().ShmWriteWord(B, 0x0008);
  ASSERT_TRUE(finished.wait(20000));
  EXPECT_EQ(finished.first().first().toInt(), 0);
}

TEST_F(LoadingDlgTest, ModeOneEndsOnTheStateWordAndALostLinkIsReportedOnDestruction) {
  cnc().ShmWriteWord(B, 0x0100);
  {
    CLoadingDlg dlg(0, 1, "Kestrel32", "Mill");
    dlg.show();
    EXPECT_EQ(finish(dlg), 3);
  }
  cnc().ShmWriteWord(B, 0);
  std::optional<int> reported;
  {
    CLoadingDlg dlg(0, 0, "Kestrel32", "Mill", nullptr, [&](const kestrel::CItfErr& e) { reported = e.code(); });
    dlg.show();
    daemon.cncsim("power 0 off");
    EXPECT_EQ(finish(dlg), 3);
    EXPECT_FALSE(reported);
  }
  EXPECT_EQ(reported, 1);
}

}  // namespace

int main(int argc, char** argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
