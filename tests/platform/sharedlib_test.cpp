#include "qmkutils/platform/sharedlib.h"

#include <gtest/gtest.h>

#include <string>

#include "support/recording_consumer.h"

extern "C" __attribute__((visibility("default"), noinline)) int QmkTestMainProgramSymbol() {
  return 7;
}

namespace {

using PluginCalls = int (*)();

int CallPlugin(const dp::SharedLib& library) {
  auto calls = reinterpret_cast<PluginCalls>(library.GetSymbolAddress("QmkTestPluginCalls"));
  return calls ? calls() : -1;
}

TEST(SharedLib, LoadsLooksUpResetsAndFindsTheMainProgramsSymbols) {
  qmk_test::ScopedTraceRecorder recorder;
  EXPECT_FALSE(dp::SharedLib().IsGood() || dp::SharedLib("").IsGood());

  dp::SharedLib library(QMK_TEST_PLUGIN);
  ASSERT_TRUE(library.IsGood());
  EXPECT_EQ(CallPlugin(library), 1);
  EXPECT_EQ(library.GetSymbolAddress("NoSuchSymbol"), nullptr);
  EXPECT_EQ(recorder.log().Records().back().text.rfind(
                std::string("Could not find symbol \"NoSuchSymbol\" in \"") + QMK_TEST_PLUGIN, 0),
            0u);

  // The same library again stays loaded throughout: its state survives.
  EXPECT_TRUE(library.Reset(QMK_TEST_PLUGIN));
  EXPECT_EQ(CallPlugin(library), 2);
  // Unloaded in between, it starts afresh.
  EXPECT_FALSE(library.Reset(nullptr) || library.IsGood());
  EXPECT_TRUE(library.Reset(QMK_TEST_PLUGIN));
  EXPECT_EQ(CallPlugin(library), 1);
  const std::string missing = "/nonexistent/libqmkmissing.so";
  EXPECT_FALSE(library.Reset(missing.c_str()) || library.IsGood());
  EXPECT_EQ(library.GetName(), nullptr);
  EXPECT_EQ(CallPlugin(dp::SharedLib(missing.c_str())), -1);
  const std::string text = recorder.log().Records().back().text;
  EXPECT_EQ(text.rfind("Could not load shared library \"" + missing + "\": " + missing, 0), 0u)
      << text;
  // The main program's exported symbols are found too.
  EXPECT_EQ(dp::SharedLib::GetProcAddress("QmkTestMainProgramSymbol"),
            reinterpret_cast<void*>(&QmkTestMainProgramSymbol));
  EXPECT_EQ(dp::SharedLib::GetProcAddress("QmkNoSuchSymbolAnywhere"), nullptr);
}

}  // namespace
