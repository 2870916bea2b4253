// The gauge's setter rules, gradient and paint geometry, and the progress
// window's controller driven by real index builds, without a display.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "components/globals.h"
#include "components/kivo_table.h"
#include "console/console_test_util.h"
#include "console/index_progress.h"
#include "console/table_fixture_test_util.h"
#include "console/zor_gauge.h"
#include "platform/errors.h"

namespace kartova::testing {
namespace {

// ---- The gauge ----

struct GaugeCounts {
  int invalidated = 0;
  int painted = 0;
  int gradients = 0;
};

void Count(TZorGaugeState& g, GaugeCounts& c) {
  g.on_invalidate = [&c] { ++c.invalidated; };
  g.on_paint_now = [&c] { ++c.painted; };
  g.on_gradient_changed = [&c] { ++c.gradients; };
}

TEST(ZorGauge, ProgressIsMeasuredFromMinAndOutOfRangeValuesAreIgnored) {
  TZorGaugeState g;
  GaugeCounts c;
  Count(g, c);
  g.SetProgress(0);
  EXPECT_EQ(g.Progress(), 1);
  EXPECT_EQ(g.Caption(), "ZorGauge");
  g.SetProgress(101);
  EXPECT_EQ(g.Progress(), 1);
  EXPECT_EQ(c.painted, 0);

  g.SetProgress(50);
  EXPECT_EQ(g.Caption(), "50/100");
  EXPECT_EQ(c.painted, 1);
  const int w = 162;
  const TGaugePaint p = g.Paint(w, 27);
  EXPECT_EQ(p.percent, 49);
  EXPECT_EQ(p.fill, (w - 3) * 49 / 100);
  EXPECT_EQ(p.gradient, (TGaugeRect{2, 2, p.fill + 1, 25}));
  EXPECT_EQ(p.background, (TGaugeRect{p.fill + 2, 2, w - 2, 25}));
  // The same value again neither stores nor paints.
  g.SetProgress(50);
  EXPECT_EQ(c.painted, 1);
}

TEST(ZorGauge, MinAndMaxKeepTheirOrderAndPullProgressAlong) {
  TZorGaugeState g;
  GaugeCounts c;
  Count(g, c);
  g.SetMin(100);
  g.SetMin(250);
  EXPECT_EQ(g.Min(), 1);
  g.SetMax(1);
  g.SetMax(-5);
  EXPECT_EQ(g.Max(), 100);
  EXPECT_EQ(c.invalidated, 0);

  g.SetMin(20);
  EXPECT_EQ(g.Progress(), 20);
  g.SetProgress(90);
  g.SetMax(40);
  EXPECT_EQ(g.Progress(), 40);
  // Without Autocaption the caption still names the old maximum.
  EXPECT_EQ(g.Caption(), "90/100");
  g.SetAutocaption(true);
  EXPECT_EQ(g.Caption(), "40/40");
  g.SetMax(60);
  EXPECT_EQ(g.Caption(), "40/60");
  EXPECT_EQ(g.Progress(), 40);
}

TEST(ZorGauge, FullAndEmptyGaugesDrawOnlyOneOfTheirParts) {
  TZorGaugeState g;
  g.SetProgress(100);
  TGaugePaint p = g.Paint(200, 40);
  EXPECT_EQ(p.percent, 100);
  EXPECT_EQ(p.fill, 197);
  EXPECT_TRUE(p.has_gradient);
  EXPECT_FALSE(p.has_background);

  g.SetProgress(1);
  p = g.Paint(200, 40);
  EXPECT_EQ(p.fill, 0);
  EXPECT_FALSE(p.has_gradient);
  EXPECT_EQ(p.background, (TGaugeRect{2, 2, 198, 38}));
  // A control too narrow for a 1 % step still fills nothing.
  g.SetProgress(2);
  EXPECT_FALSE(g.Paint(40, 10).has_gradient);
}

TEST(ZorGauge, ColourChangesRemakeTheGradientOnlyWhenTheyChangeSomething) {
  TZorGaugeState g;
  GaugeCounts c;
  Count(g, c);
  g.SetColor1(kWhite);
  g.SetBackcolor(kWhite);
  EXPECT_EQ(c.gradients + c.invalidated, 0);
  g.SetColor2(kBlue);
  g.SetBackcolor(kYellow);
  EXPECT_EQ(c.gradients, 1);
  EXPECT_EQ(c.invalidated, 2);
  g.SetCaption("x");
  g.SetCaption("x");
  EXPECT_EQ(c.painted, 1);
}

TEST(ZorGauge, GradientBandsRoundAndCoverTheHeightFromFirstToSecondColour) {
  EXPECT_EQ(MulDivRound(1, 1, 2), 1);
  EXPECT_EQ(MulDivRound(-1, 1, 2), -1);
  EXPECT_EQ(MulDivRound(128, -255, 255), -128);
  EXPECT_EQ(MulDivRound(3, 35, 256), 0);

  const auto bands = GradientBands(kWhite, kBlue, 35);
  EXPECT_EQ(bands[0].top, 0);
  EXPECT_EQ(bands[0].color, kWhite);
  EXPECT_EQ(bands[255].bottom, 35);
  EXPECT_EQ(bands[255].color, kBlue);
  for (std::size_t i = 1; i < bands.size(); ++i) ASSERT_EQ(bands[i].top, bands[i - 1].bottom);
  // 128 * 35 / 256 = 17.5 rounds up; red and green fall by 128 / 255 of 255.
  EXPECT_EQ(bands[128].top, 18);
  EXPECT_EQ(bands[128].color, (TRgb{127, 127, 255}));
  const auto up = GradientBands(TRgb{0, 100, 200}, TRgb{10, 0, 255}, 35);
  EXPECT_EQ(up[51].color, (TRgb{2, 80, 211}));
}

// ---- The progress window's controller ----

// Records what the controller asks of the window, and what the data sets'
// controls were while the window showed.
class RecordingWindow : public TBuildIndexWindow {
 public:
  void Show() override {
    EXPECT_FALSE(shown);
    shown = true;
    ++shows;
  }
  void Close() override {
    EXPECT_TRUE(shown);
    shown = false;
    ++closes;
  }
  void SetTableName(const std::string& name) override { names.push_back(name); }
  void SetProgress(std::int32_t percent) override {
    EXPECT_TRUE(shown);
    progress.push_back(percent);
    if (watched != nullptr && !watched->ControlsDisabled()) ++enabled_while_shown;
  }
  void ProcessPendingPaints() override { ++pumps; }

  bool shown = false;
  int shows = 0;
  int closes = 0;
  int pumps = 0;
  int enabled_while_shown = 0;
  kivo::TKivoDataset* watched = nullptr;
  std::vector<std::string> names;
  std::vector<std::int32_t> progress;
};

class BuildProgress : public ConsoleTest {
 protected:
  void SetUp() override {
    ConsoleTest::SetUp();
    kivo::SetBuildIndexProgressHook(
        [this](kivo::TKivoDataset& table, bool start, bool finish, double percent) {
          controller_.Report(table, start, finish, percent);
          most_builds_ = std::max(most_builds_, controller_.Builds());
        });
  }
  void TearDown() override {
    kivo::SetBuildIndexProgressHook(nullptr);
    ConsoleTest::TearDown();
  }
  void Open(kivo::TKivoTable& t, const std::string& name) {
    t.SetDatabaseName(dir_.path());
    t.SetTableName(name);
    t.Open();
  }

  RecordingWindow window_;
  TBuildIndexProgress controller_{window_};
  std::size_t most_builds_ = 0;
};

TEST_F(BuildProgress, ABuildShowsTheWindowOnceWithEachPercentAtMostOnce) {
  MakeNumberedTable(dir_.path(), "big", 20000);
  kivo::TKivoTable t;
  Open(t, "big");
  window_.watched = &t;
  t.AddIndex("byName", "name", kivo::TIndexOptions{});
  EXPECT_EQ(window_.shows, 1);
  EXPECT_EQ(window_.closes, 1);
  EXPECT_EQ(window_.names, std::vector<std::string>{"big"});
  EXPECT_EQ(window_.enabled_while_shown, 0);
  EXPECT_FALSE(t.ControlsDisabled());
  ASSERT_GE(window_.progress.size(), 10u);
  EXPECT_LE(window_.progress.size(), 102u);
  EXPECT_EQ(window_.progress.front(), 0);
  EXPECT_EQ(window_.progress.back(), 100);
  for (std::size_t i = 1; i + 1 < window_.progress.size(); ++i)
    ASSERT_GT(window_.progress[i], window_.progress[i - 1]) << i;
  EXPECT_LE(window_.pumps, 101);
}

TEST_F(BuildProgress, DataSetsBuildingAtOnceShareOneWindowUntilTheLastFinishes) {
  MakeNumberedTable(dir_.path(), "t", 3000);
  kivo::TKivoTable a;
  kivo::TKivoTable b;
  Open(a, "t");
  Open(b, "t");
  a.AddIndex("byName", "name", kivo::TIndexOptions{});
  // Both data sets heard the start of the one build.
  EXPECT_EQ(window_.names.size(), 2u);
  EXPECT_EQ(most_builds_, 2u);
  EXPECT_EQ(window_.shows, 1);
  EXPECT_EQ(window_.closes, 1);
  EXPECT_FALSE(a.ControlsDisabled());
  EXPECT_FALSE(b.ControlsDisabled());

  // Two tables: the label follows the latest start, the window the last finish.
  kivo::TKivoTable other;
  other.SetTableName("second");
  controller_.Report(a, true, false, 0);
  controller_.Report(other, true, false, 0);
  EXPECT_EQ(window_.names.back(), "second");
  controller_.Report(a, false, true, 100);
  EXPECT_TRUE(window_.shown);
  EXPECT_TRUE(other.ControlsDisabled());
  EXPECT_FALSE(a.ControlsDisabled());
  controller_.Report(other, false, true, 100);
  EXPECT_FALSE(window_.shown);
  EXPECT_EQ(window_.shows, 2);
  EXPECT_FALSE(other.ControlsDisabled());
}

TEST_F(BuildProgress, AnErrorMidBuildTakesTheWindowDownAndGivesTheControlsBack) {
  MakeNumberedTable(dir_.path(), "t", 3000);
  kivo::TKivoTable shown;
  kivo::TKivoTable failing;
  Open(shown, "t");
  Open(failing, "t");
  failing.OnBuildIndexesProgress = [](kivo::TKivoDataset&, double percent, bool start,
                                      bool finish) {
    if (!start && !finish && percent >= 50) throw kivo::Exception("interrupted");
  };
  EXPECT_THROW(shown.AddIndex("byName", "name", kivo::TIndexOptions{}), kivo::Exception);
  EXPECT_EQ(window_.shows, 1);
  EXPECT_FALSE(window_.shown);
  EXPECT_FALSE(shown.ControlsDisabled());
  EXPECT_FALSE(controller_.WindowShown());
  // The failed build left nothing behind: the next one shows and goes again.
  failing.Close();
  shown.AddIndex("byN", "n", kivo::ixDescending);
  EXPECT_EQ(window_.shows, 2);
  EXPECT_EQ(window_.closes, 2);
}

TEST_F(BuildProgress, TablesWithTheirOwnEventOrNoWindowNeverShowIt) {
  MakeNumberedTable(dir_.path(), "t", 2000);
  kivo::TKivoTable own;
  Open(own, "t");
  int events = 0;
  own.OnBuildIndexesProgress = [&events](kivo::TKivoDataset&, double, bool, bool) { ++events; };
  own.AddIndex("byName", "name", kivo::TIndexOptions{});
  EXPECT_GT(events, 2);
  EXPECT_EQ(window_.shows, 0);
  own.Close();

  kivo::TKivoTable quiet;
  quiet.SetSuppressProgressWindow(true);
  Open(quiet, "t");
  quiet.AddIndex("byN", "n", kivo::ixDescending);
  EXPECT_EQ(window_.shows, 0);
  EXPECT_FALSE(quiet.ControlsDisabled());
}

TEST_F(BuildProgress, AFinishWithoutAStartLeavesWindowAndControlsAlone) {
  kivo::TKivoTable t;
  t.DisableControls();
  controller_.Report(t, false, true, 100);
  controller_.Report(t, false, false, 40);
  EXPECT_EQ(window_.closes, 0);
  EXPECT_TRUE(window_.progress.empty());
  EXPECT_TRUE(t.ControlsDisabled());
  t.EnableControls();
}

}  // namespace
}  // namespace kartova::testing
