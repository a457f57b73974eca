// The main window on its module, shown on the offscreen platform, with message boxes recorded
// instead of shown.
#pragma once

#include <QByteArray>
#include <filesystem>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "app/dmdKalvMain.h"
#include "platform/untApplication.h"
#include "tests/common/EventLoopProbe.h"
#include "tests/common/ModuleTestUtil.h"
#include "tests/common/TestUtil.h"
#include "ui/frmKalvMain.h"

struct WindowFixture : ::testing::Test {
  WindowFixture() {
    qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString((Dir.Path / "config").string()));
    OldBox = SetMessageBoxFunction([this](const std::string &Text, const std::string &, UINT) {
      Boxes.push_back(Text);
      return IDOK;
    });
    Module = std::make_unique<TdmKalvMain>();
    Window = std::make_unique<TfmKalvMain>(Module.get());
  }
  // No window code runs an event loop of its own inside an event: queued input would run in the
  // middle of its work.
  void TearDown() override { EXPECT_EQ(testutil::NestedEventLoops(), NestedAtStart) << "a nested event loop ran"; }
  ~WindowFixture() override {
    if (Window) {
      Window->close();
      Window.reset();
    }
    Module.reset();
    SetMessageBoxFunction(OldBox);
  }
  void ShowAndStart() {
    Window->show();
    ASSERT_TRUE(testutil::ProcessUntil([&] { return Module->actFlOpn->Enabled(); }));
  }
  bool WaitIdle(int Ms = 30000) { return testutil::ProcessUntil([&] { return !Module->IsBusy(); }, Ms); }

  testutil::TempDir Dir;
  int NestedAtStart = testutil::NestedEventLoops();
  TMessageBoxFunction OldBox;
  std::vector<std::string> Boxes;
  std::unique_ptr<TdmKalvMain> Module;
  std::unique_ptr<TfmKalvMain> Window;
};

