// The 100 ms status refresh, against a canvas that records what it is asked to paint.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <vector>

#include "model/StatusTimer.h"

namespace tandem {
namespace {

struct Rect {
  int x1, y1, x2, y2;
  uint32_t brush;
};

class RecordingCanvas : public Canvas {
 public:
  explicit RecordingCanvas(ClipBounds clip = {0, 0, 385, 89}) : clip_(clip) {}
  ClipBounds ClipRect() const override { return clip_; }
  void SetBrushColor(uint32_t rgb) override { brush_ = rgb; }
  void Rectangle(int x1, int y1, int x2, int y2) override {
    rects.push_back({x1, y1, x2, y2, brush_});
    if (onRectangle) onRectangle();
  }

  std::vector<Rect> rects;
  std::function<void()> onRectangle;

 private:
  ClipBounds clip_;
  uint32_t brush_ = 0x123456;
};

class StatusTimerTest : public ::testing::Test {
 protected:
  bool Tick() { return Timer1Timer(form, play, send); }

  TFormCtl form;
  RecordingCanvas play, send;
};

TEST_F(StatusTimerTest, BeforeAnythingIsPublishedEverythingIsEmpty) {
  EXPECT_EQ(form.GaugeSpeedLocal.Progress(), 500);  // its start value, until the first tick
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditSpeed.Text(), "0");
  EXPECT_EQ(form.GaugeSpeedLocal.Shown(), 0);
  EXPECT_EQ(form.GaugeBufferLocal.Shown(), 0);
  EXPECT_EQ(form.GaugeBufferRemote.Shown(), 0);
}

TEST_F(StatusTimerTest, LinkLineFromThePublishedFigures) {
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditLink.Text(), "---");
  rtp::LinkFigures f;
  f.haveReport = true;  // a report, but none naming an SR of ours yet
  f.sentFractionLost = 26 / 256.0;
  f.sentJitterMs = 0.34;
  form.PublishLink(f);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditLink.Text(), "RTT --- · lost 10.2 % · jitter 0.3 ms");
  f.haveRtt = true;
  f.rttMs = 0.4;
  f.haveReceived = true;
  f.receivedFractionLost = 1.0;
  f.receivedJitterMs = std::nan("");  // never printed as such
  form.PublishLink(f);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditLink.Text(),
            "RTT 0.4 ms · lost 10.2 % · jitter 0.3 ms | in: lost 100.0 % · jitter 0.0 ms");
  const uint64_t version = form.EditLink.Version();
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditLink.Version(), version);  // unchanged figures: the display is left alone
}

TEST_F(StatusTimerTest, SpeedAsNotesPerMinuteTextAndCappedGauge) {
  struct Case {
    float perSecond;
    const char* text;
    int32_t gauge;
  } cases[] = {
      {5, "300", 300},     {20, "1200", 1000},     {16, "960", 960},
      {166, "9960", 1000}, {167, "1.002E4", 1000},  // from 10000 on, scientific
      {1000, "6E4", 1000},
  };
  for (const Case& c : cases) {
    form.LocalSpeed.store(c.perSecond);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(form.EditSpeed.Text(), c.text) << c.perSecond;
    EXPECT_EQ(form.GaugeSpeedLocal.Progress(), c.gauge) << c.perSecond;
  }
}

TEST(SpeedGaugeValue, TruncatesAndNeverOverflows) {
  EXPECT_EQ(SpeedGaugeValue(0.5f), 30);
  EXPECT_EQ(SpeedGaugeValue(0.0251f), 1);  // 1.506 truncated
  EXPECT_EQ(SpeedGaugeValue(-0.0251f), -1);
  EXPECT_EQ(SpeedGaugeValue(3e38f), 1000);
  EXPECT_EQ(SpeedGaugeValue(-3e38f), INT32_MIN);
  EXPECT_EQ(SpeedGaugeValue(std::numeric_limits<float>::infinity()), 1000);
  EXPECT_EQ(SpeedGaugeValue(std::numeric_limits<float>::quiet_NaN()), 0);
}

TEST_F(StatusTimerTest, LocalBufferShownAsTextOnlyWhileAuto) {
  form.EditBufferLocal.SetText("typed");
  form.LocalBuffer.store(250);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditBufferLocal.Text(), "typed") << "Auto unchecked: left as typed";
  EXPECT_EQ(form.GaugeBufferLocal.Progress(), 120);
  EXPECT_EQ(form.GaugeBufferLocal.Shown(), 120);

  form.SetAutomateLocalBuffer(true);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditBufferLocal.Text(), "250");

  form.LocalBuffer.store(-5);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.EditBufferLocal.Text(), "-5");
  EXPECT_EQ(form.GaugeBufferLocal.Progress(), -5);
  EXPECT_EQ(form.GaugeBufferLocal.Shown(), 0) << "a negative buffer is an empty gauge";

  form.LocalBuffer.store(37);
  ASSERT_TRUE(Tick());
  EXPECT_EQ(form.GaugeBufferLocal.Shown(), 37);
}

TEST_F(StatusTimerTest, ReceptionBufferGauge) {
  for (auto [value, shown] : {std::pair{80, 80}, {120, 120}, {5000, 120}, {-1, 0}}) {
    form.ReceptionBuffer.store(value);
    ASSERT_TRUE(Tick());
    EXPECT_EQ(form.GaugeBufferRemote.Shown(), shown) << value;
  }
}

TEST_F(StatusTimerTest, PaintsPlayedKeysOnPlayAndSentKeysOnSend) {
  form.KeysPlayed[60].store(1);
  form.KeysSent[61].store(1);
  ASSERT_TRUE(Tick());
  ASSERT_EQ(play.rects.size(), 60u);
  ASSERT_EQ(send.rects.size(), 60u);
  // The first rectangle of each picture is key 36; index 14 is key 60; black key 61 is the
  // 11th black key, after the 35 whites.
  EXPECT_EQ(play.rects[14].brush, kRgbRed);
  EXPECT_EQ(play.rects[35 + 10].brush, kRgbBlack);
  EXPECT_EQ(send.rects[14].brush, kRgbWhite);
  EXPECT_EQ(send.rects[35 + 10].brush, kRgbRed);
  EXPECT_EQ(send.rects[35 + 10].x1, 162);
  EXPECT_EQ(send.rects[35 + 10].x2, 170);
  EXPECT_EQ(send.rects[35 + 10].y2, 60);
}

TEST(DrawKeyboard, KeepsToAnOffsetClipRectangle) {
  KeyArray keys{};
  RecordingCanvas canvas({10, 20, 10 + 35 * 4, 20 + 21});  // W = 4, H = 21
  DrawKeyboard(canvas, keys);
  ASSERT_EQ(canvas.rects.size(), 60u);
  for (int i = 0; i < 35; ++i) {
    EXPECT_EQ(canvas.rects[i].x1, 10 + 4 * i);
    EXPECT_EQ(canvas.rects[i].x2, 14 + 4 * i);
    EXPECT_EQ(canvas.rects[i].y1, 20);
    EXPECT_EQ(canvas.rects[i].y2, 41);
  }
  // Black key 37: 4 div 2 + 4 div 3 = 3 in, 4 - 1 = 3 wide, (21 div 7) * 5 = 15 high.
  EXPECT_EQ(canvas.rects[35].x1, 13);
  EXPECT_EQ(canvas.rects[35].x2, 16);
  EXPECT_EQ(canvas.rects[35].y1, 20);
  EXPECT_EQ(canvas.rects[35].y2, 35);
  // The last black key (94) sits over white index 5 of the last octave.
  EXPECT_EQ(canvas.rects[59].x1, 10 + 3 + 4 * (7 * 4 + 5));
}

TEST_F(StatusTimerTest, ATickThatFallsDueDuringATickIsDropped) {
  int nested = 0;
  bool nestedRan = true;
  play.onRectangle = [&] {
    if (nested++ == 0) {
      RecordingCanvas a, b;
      nestedRan = Timer1Timer(form, a, b);
      EXPECT_TRUE(a.rects.empty());
    }
  };
  form.LocalSpeed.store(5);
  EXPECT_TRUE(Tick());
  EXPECT_FALSE(nestedRan);
  EXPECT_EQ(form.EditSpeed.Text(), "300") << "the outer tick still completes";
  play.onRectangle = nullptr;
  EXPECT_TRUE(Tick()) << "the guard is released afterwards";
}

TEST_F(StatusTimerTest, AGuardReleasedByAnExceptionLetsTheNextTickRun) {
  play.onRectangle = [] { throw std::runtime_error("paint failed"); };
  EXPECT_THROW(Tick(), std::runtime_error);
  play.onRectangle = nullptr;
  EXPECT_TRUE(Tick());
}

}  // namespace
}  // namespace tandem
