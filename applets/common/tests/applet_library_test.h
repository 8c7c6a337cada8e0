#pragma once
// For the tests of an applet library: the library loaded as the control panel loads it, and the
// checks every one-applet library must pass.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstring>

#include "applets/common/cpl.h"

namespace moxel::test {

// Loads the library named by `Library::path` with dlopen and finds CPlApplet.
template <typename Library>
class AppletLibraryTest : public testing::Test {
 protected:
  void SetUp() override {
    handle_ = dlopen(Library::path, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(handle_, nullptr) << dlerror();
    proc_ = reinterpret_cast<APPLET_PROC>(dlsym(handle_, MOXEL_CPL_ENTRY_NAME));
    ASSERT_NE(proc_, nullptr);
  }
  void TearDown() override {
    if (handle_) dlclose(handle_);
  }
  void* handle_ = nullptr;
  APPLET_PROC proc_ = nullptr;
};

// The answers of a library holding one applet, for every message but CPL_DBLCLK.
inline void expect_one_applet_answers(APPLET_PROC proc) {
  struct Case {
    uint32_t message;
    int32_t answer;
  };
  const Case cases[] = {{CPL_INIT, 1}, {CPL_GETCOUNT, 1}, {CPL_INQUIRE, 0}, {CPL_SELECT, 1},
                        {CPL_STOP, 1}, {CPL_EXIT, 0},     {0, 1},           {9, 1},
                        {0x7FFF, 1}};
  for (const auto& c : cases) EXPECT_EQ(proc(nullptr, c.message, 0, 0), c.answer) << c.message;
}

// CPL_NEWINQUIRE fills every byte of the record, and a host that passes none gets the answer
// without a crash.
inline void expect_description(APPLET_PROC proc, uint32_t icon, const char* name,
                               const char* info_text) {
  NEWCPLINFO info;
  std::memset(&info, 0xAB, sizeof info);
  EXPECT_EQ(proc(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0);
  EXPECT_EQ(info.dwSize, 244u);
  EXPECT_EQ(info.dwFlags, 0u);
  EXPECT_EQ(info.dwHelpContext, 0u);
  EXPECT_EQ(info.lData, 0u);
  EXPECT_EQ(info.hIcon, icon);
  EXPECT_STREQ(info.szName, name);
  EXPECT_STREQ(info.szInfo, info_text);
  EXPECT_STREQ(info.szHelpFile, "");
  EXPECT_EQ(info.szName[31], 0);
  EXPECT_EQ(info.szInfo[63], 0);
  EXPECT_EQ(info.szHelpFile[127], 0);
  EXPECT_EQ(proc(nullptr, CPL_NEWINQUIRE, 0, 0), 0);
}

}  // namespace moxel::test
