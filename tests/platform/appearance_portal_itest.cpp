// The desktop's colour scheme from a fake settings portal on a private bus.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <vector>

#include "fixtures/fake_portal.hpp"
#include "fixtures/helpers.hpp"
#include "fixtures/private_bus.hpp"
#include "platform/appearance_portal.hpp"

namespace vessa::platform {
namespace {

using namespace std::chrono_literals;
using testing::FakePortal;
using Readings = std::vector<std::optional<ColorScheme>>;

TEST(PortalColorScheme, FirstReadingFromEachKindOfPortal) {
  struct Case {
    const char* what;
    bool bus;
    std::optional<FakePortal::Kind> portal;
    guint32 value;
    std::optional<ColorScheme> first;
  };
  const Case cases[] = {
      {"current", true, FakePortal::Kind::kCurrent, 1, ColorScheme::kPreferDark},
      {"current, no preference", true, FakePortal::Kind::kCurrent, 0, ColorScheme::kNoPreference},
      {"old, Read only", true, FakePortal::Kind::kOld, 2, ColorScheme::kPreferLight},
      {"none on the bus", true, std::nullopt, 1, std::nullopt},
      {"no bus", false, std::nullopt, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    testing::PrivateBus bus;
    ASSERT_TRUE(bus.ready());
    std::unique_ptr<FakePortal> portal;
    if (c.portal) portal = std::make_unique<FakePortal>(bus.address(), c.value, *c.portal);
    ASSERT_TRUE(!portal || portal->owns_name()) << c.what;
    Readings seen;
    PortalColorScheme watch([&](std::optional<ColorScheme> s) { seen.push_back(s); },
                            c.bus ? bus.address() : "unix:path=/nonexistent/vessa/bus", 2s);
    ASSERT_TRUE(testing::run_until([&] { return !seen.empty(); }, 5s)) << c.what;
    EXPECT_EQ(seen, Readings{c.first}) << c.what;
  }
}

TEST(PortalColorScheme, FollowsItsOwnSettingUntilStopped) {
  testing::PrivateBus bus;
  ASSERT_TRUE(bus.ready());
  FakePortal portal(bus.address(), 0);
  ASSERT_TRUE(portal.owns_name());
  Readings seen;
  auto watch = std::make_unique<PortalColorScheme>(
      [&](std::optional<ColorScheme> s) { seen.push_back(s); }, bus.address());
  ASSERT_TRUE(testing::run_until([&] { return seen.size() == 1; }));
  portal.signal_other(2);  // another key of the same namespace
  portal.set(1);
  ASSERT_TRUE(testing::run_until([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (Readings{ColorScheme::kNoPreference, ColorScheme::kPreferDark}));
  // Once stopped, a change reaches nobody (the listener's captures may be gone).
  watch.reset();
  portal.set(2);
  testing::run_until([] { return false; }, 300ms);
  EXPECT_EQ(seen.size(), 2u);
}

}  // namespace
}  // namespace vessa::platform
