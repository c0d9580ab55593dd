#include "midi/SoundingNotes.h"

#include <gtest/gtest.h>

namespace tandem {
namespace {

using Message = SoundingNotes::Message;

void Track(SoundingNotes& s, std::vector<uint8_t> m) {
  s.Track(m.data(), m.size());
}

TEST(SoundingNotes, SilencesWhatIsStillSoundingOnEveryChannelUsed) {
  SoundingNotes s;
  Track(s, {0x90, 60, 100});
  Track(s, {0x90, 64, 100});
  Track(s, {0x9F, 64, 1});
  Track(s, {0x80, 60, 64});
  Track(s, {0x90, 64, 0});  // note-on velocity 0 ends it
  Track(s, {0xC3, 5});      // a channel used without notes
  EXPECT_EQ(s.Count(), 1u);
  EXPECT_EQ(s.SilenceMessages(),
            (std::vector<Message>{{0xB0, 123, 0}, {0xB3, 123, 0}, {0x8F, 64, 0}, {0xBF, 123, 0}}));
  s.Clear();
  EXPECT_TRUE(s.SilenceMessages().empty());
}

TEST(SoundingNotes, AllNotesOffEndsAChannelAndBadInputIsIgnored) {
  SoundingNotes s;
  Track(s, {0x91, 10, 1});
  Track(s, {0x91, 11, 1});
  Track(s, {0xB1, 123, 0});
  EXPECT_EQ(s.Count(), 0u);
  Track(s, {0x92, 200, 1});  // not a note number
  Track(s, {0x92, 20});      // too short to be a note
  Track(s, {0xF8});
  Track(s, {});
  s.Track(nullptr, 3);
  EXPECT_EQ(s.Count(), 0u);
  EXPECT_EQ(s.SilenceMessages(), (std::vector<Message>{{0xB1, 123, 0}, {0xB2, 123, 0}}));
}

}  // namespace
}  // namespace tandem
