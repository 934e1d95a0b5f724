// Finding the front-end folder, and the DMA-BUF work-around decision.
#include "platform/dist_root.hpp"

#include <gtest/gtest.h>

#include <filesystem>

#include "fixtures/temp_home.hpp"
#include "platform/dmabuf_workaround.hpp"

namespace vessa::platform {
namespace {

namespace stdfs = std::filesystem;
using vessa::testing::write_file;

class DistRoot : public ::testing::Test {
 protected:
  vessa::testing::ScratchDir scratch_{"vessa-dist-"};
  stdfs::path base_ = scratch_.path();
};

TEST_F(DistRoot, BundleWebWinsOverEverything) {
  write_file(base_ / "Vessa.app/Resources/web/index.html", "x");
  write_file(base_ / "apps/web/dist/index.html", "x");
  DistRootInputs in{base_ / "Vessa.app/Resources", base_ / "Vessa.app/bin/vessa", "/env", "/cwd"};
  EXPECT_EQ(resolveDistRoot(in), base_ / "Vessa.app/Resources/web");
  // Without index.html the bundle folder does not count.
  stdfs::remove(base_ / "Vessa.app/Resources/web/index.html");
  EXPECT_EQ(resolveDistRoot(in), base_ / "apps/web/dist");
}

TEST_F(DistRoot, AncestorsUpToSevenLevelsAbove) {
  write_file(base_ / "apps/web/dist/index.html", "x");
  stdfs::path seven = base_ / "1/2/3/4/5/6/7";
  DistRootInputs in{std::nullopt, seven / "vessa", std::nullopt, "/cwd"};
  EXPECT_EQ(resolveDistRoot(in), base_ / "apps/web/dist");
  in.executable = base_ / "1/2/3/4/5/6/7/8/vessa";
  EXPECT_EQ(resolveDistRoot(in), stdfs::path("/cwd/apps/web/dist"));
  in.web_dist_env = "/from/env";
  EXPECT_EQ(resolveDistRoot(in), stdfs::path("/from/env"));
}

TEST(DmabufWorkaround, OnlyX11WithNvidiaAndNeverOverTheUser) {
  struct Case {
    std::optional<std::string> user;
    bool x11;
    bool nvidia;
    bool disable;
  };
  const Case cases[] = {
      {std::nullopt, true, true, true},   {std::nullopt, false, true, false},
      {std::nullopt, true, false, false}, {"0", true, true, false},
      {"1", false, false, false},
  };
  for (const auto& c : cases) {
    auto d = decide_dmabuf({c.user, c.x11, c.nvidia});
    EXPECT_EQ(d.disable, c.disable) << c.x11 << c.nvidia << c.user.value_or("-");
    EXPECT_FALSE(d.log_line.empty());
  }
}

}  // namespace
}  // namespace vessa::platform
