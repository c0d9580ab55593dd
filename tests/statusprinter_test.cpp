#include "headless/StatusPrinter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tandem {
namespace {

class StatusPrinterTest : public ::testing::Test {
 protected:
  std::vector<std::string> Poll(int64_t now) {
    lines_.clear();
    printer_->Poll(now);
    return lines_;
  }
  void Make(bool verbose = false) {
    form_.EditMidiStatus.SetText("");  // a model without a MIDI output says so at construction
    printer_ = std::make_unique<StatusPrinter>(
        form_, [this](const std::string& l) { lines_.push_back(l); }, verbose);
  }

  TFormCtl form_;
  std::vector<std::string> lines_;
  std::unique_ptr<StatusPrinter> printer_;
};

using Lines = std::vector<std::string>;

TEST_F(StatusPrinterTest, EachStatusChangeOnceLabelFirst) {
  Make();
  EXPECT_EQ(Poll(0), Lines{});  // the initial texts are no change
  form_.EditStatutConnect.SetText("RTP Initialisé");
  form_.EditStatutReceive.SetText("Chat Reception");
  EXPECT_EQ(Poll(50), (Lines{"RTP Status: RTP Initialisé", "Reception: Chat Reception"}));
  form_.EditStatutConnect.SetText("RTP Initialisé");  // set again, unchanged
  EXPECT_EQ(Poll(100), Lines{});
  form_.EditStatutConnect.SetText("envoi correct");
  form_.EditMidiStatus.SetText("MIDI input: no device\n");
  EXPECT_EQ(Poll(150), (Lines{"RTP Status: envoi correct", "MIDI: MIDI input: no device"}));
  form_.EditMidiStatus.SetText("");  // cleared: nothing to say
  EXPECT_EQ(Poll(200), Lines{});
}

TEST_F(StatusPrinterTest, CountersAtMostOnceASecondWhenChanged) {
  Make();
  form_.EditNbrRec.SetText("0");
  EXPECT_EQ(Poll(1000), Lines{"# Received: 0"});
  form_.EditNbrRec.SetText("5");
  form_.EditNbrSend.SetText("2");
  EXPECT_EQ(Poll(1500), Lines{});
  EXPECT_EQ(Poll(1999), Lines{});
  EXPECT_EQ(Poll(2000), (Lines{"# Received: 5", "# Sent: 2"}));
  EXPECT_EQ(Poll(3500), Lines{});  // nothing changed: nothing printed, and no delay armed
  form_.EditDebit.SetText("0.12KB/s");
  EXPECT_EQ(Poll(3550), Lines{"BandWidth: 0.12KB/s"});
  // Shut-down prints what changed since, whatever the time.
  form_.EditNbrRec.SetText("9");
  lines_.clear();
  printer_->FlushCounters();
  EXPECT_EQ(lines_, Lines{"# Received: 9"});
}

TEST_F(StatusPrinterTest, LinkLineAtMostEveryFiveSecondsWhenChanged) {
  Make();
  EXPECT_EQ(Poll(0), Lines{});  // "---" before any report is no change
  rtp::LinkFigures f;
  f.haveReport = f.haveRtt = true;
  f.rttMs = 40;
  form_.PublishLink(f);
  EXPECT_EQ(Poll(100), Lines{"Link: RTT 40.0 ms · lost 0.0 % · jitter 0.0 ms"});
  f.rttMs = 41;
  form_.PublishLink(f);
  EXPECT_EQ(Poll(5099), Lines{});
  EXPECT_EQ(Poll(5100), Lines{"Link: RTT 41.0 ms · lost 0.0 % · jitter 0.0 ms"});
  EXPECT_EQ(Poll(20000), Lines{});  // unchanged
  f.rttMs = 42;
  form_.PublishLink(f);
  EXPECT_EQ(Poll(20050), Lines{"Link: RTT 42.0 ms · lost 0.0 % · jitter 0.0 ms"});
}

TEST_F(StatusPrinterTest, ChatLinesAsTheMemoShowsThem) {
  form_.MemoChat.Append("you : before");
  Make();
  EXPECT_EQ(Poll(0), Lines{});  // what was there before is not repeated
  form_.EditChat.SetText("hello");
  form_.ButtonChatSendClick();
  form_.MemoChat.Append("you : hi there");
  EXPECT_EQ(Poll(50), (Lines{"I : hello", "you : hi there"}));
  EXPECT_EQ(Poll(100), Lines{});
}

TEST_F(StatusPrinterTest, VerboseShowsTheMidiColumnsOnChange) {
  Make(/*verbose=*/true);
  EXPECT_EQ(Poll(0), Lines{});
  form_.EditByte1.SetText("144");
  form_.EditByte2.SetText("60");
  form_.EditByte3.SetText("100");
  form_.EditCanal.SetText("1");
  EXPECT_EQ(Poll(50), Lines{"IN: 144 60 100 1"});
  form_.EditNoteOut.SetText("72");
  EXPECT_EQ(Poll(100), Lines{"OUT: --- 72 --- ---"});

  TFormCtl quiet;
  quiet.EditMidiStatus.SetText("");
  std::vector<std::string> out;
  StatusPrinter plain(
      quiet, [&](const std::string& l) { out.push_back(l); }, false);
  quiet.EditByte1.SetText("144");
  plain.Poll(0);
  EXPECT_TRUE(out.empty());
}

}  // namespace
}  // namespace tandem
