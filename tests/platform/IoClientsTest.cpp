// The places a device's I/O keeps its clients in, and the mark that tells a
// start or stop called back from inside a cycle which device's cycle it is.

#include <gtest/gtest.h>

#include "platform/audio/rt/IoClients.h"

namespace {

using platform::audio::rt::CycleScope;
using platform::audio::rt::inCycleOf;
using Slots = platform::audio::rt::IoClientSlots<int, 2>;

TEST(IoClients, SlotsTakeEachClientOnceUpToTheirNumberAndFreeTheirPlace) {
  Slots slots;
  int a = 0, b = 0, c = 0;
  EXPECT_EQ(slots.add(&a), Slots::Joined::added);
  EXPECT_EQ(slots.add(&a), Slots::Joined::alreadyIn);
  EXPECT_EQ(slots.count(), 1u);
  EXPECT_EQ(slots.add(&b), Slots::Joined::added);
  EXPECT_TRUE(slots.full());
  EXPECT_EQ(slots.add(&c), Slots::Joined::full);
  EXPECT_FALSE(slots.contains(&c));
  EXPECT_TRUE(slots.remove(&a));
  EXPECT_FALSE(slots.remove(&a)) << "a client stopped twice is stopped once";
  EXPECT_EQ(slots.add(&c), Slots::Joined::added) << "a freed place is taken again";
  int seen = 0;
  for (int* client : slots) seen += client == &b || client == &c;
  EXPECT_EQ(seen, 2);
  slots.clear();
  EXPECT_TRUE(slots.empty());
  EXPECT_FALSE(slots.contains(&b));
}

TEST(IoClients, ACycleRunInsideAnotherPutsTheOuterOneBack) {
  int first = 0, second = 0;
  EXPECT_FALSE(inCycleOf(&first));
  {
    const CycleScope outer(&first);
    EXPECT_TRUE(inCycleOf(&first));
    {
      const CycleScope inner(&second);
      EXPECT_TRUE(inCycleOf(&second));
      EXPECT_FALSE(inCycleOf(&first));
    }
    EXPECT_TRUE(inCycleOf(&first));
    EXPECT_FALSE(inCycleOf(nullptr));
  }
  EXPECT_FALSE(inCycleOf(&first));
}

}  // namespace
