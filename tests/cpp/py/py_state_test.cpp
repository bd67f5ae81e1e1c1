// GcPause: overlapping pauses, as threads or nested calls make them, share
// the collector's switch. Each case plays one interleaving out on this
// thread, with the collector's state read between the steps.
#include <Python.h>
#include <gtest/gtest.h>

#include <memory>

#include "python/py_ref.hpp"

namespace quillet {
namespace {

bool on() { return PyGC_IsEnabled() != 0; }
void set(bool enabled) { enabled ? PyGC_Enable() : PyGC_Disable(); }

// Leaves the collector on, as the interpreter starts, whatever a case did.
class GcPauseTest : public ::testing::TestWithParam<bool> {
 protected:
  void TearDown() override { PyGC_Enable(); }
};

TEST_P(GcPauseTest, OverlappingPausesKeepItOffUntilTheLastEnds) {
  for (const bool first_ends_first : {true, false}) {
    set(GetParam());
    auto a = std::make_unique<GcPause>();
    auto b = std::make_unique<GcPause>();
    EXPECT_FALSE(on());
    (first_ends_first ? a : b).reset();
    EXPECT_FALSE(on()) << "on while another pause runs";
    (first_ends_first ? b : a).reset();
    EXPECT_EQ(on(), GetParam());
  }
}

TEST_P(GcPauseTest, CodeRunAloneSetsWhatTheEndLeaves) {
  for (const bool set_to : {true, false}) {
    set(GetParam());
    {
      GcPause pause;
      pause.resumed([&] {
        EXPECT_EQ(on(), GetParam()) << "code runs with the collector as its caller set it";
        set(set_to);
      });
      EXPECT_FALSE(on());
    }
    EXPECT_EQ(on(), set_to);
  }
}

TEST_P(GcPauseTest, CodeRunWhileAnotherPauseRunsSeesItOff) {
  set(GetParam());
  GcPause a;
  {
    GcPause b;
    a.resumed([] { EXPECT_FALSE(on()); });
    b.resumed([] { EXPECT_FALSE(on()); });
  }
  a.resumed([] { EXPECT_EQ(on(), GetParam()); });
}

TEST_P(GcPauseTest, TurnedOnWhilePausesRunItComesOnAtTheEnd) {
  set(GetParam());
  auto a = std::make_unique<GcPause>();
  PyGC_Enable();  // another thread's code
  auto b = std::make_unique<GcPause>();
  EXPECT_FALSE(on());
  a.reset();
  b.reset();
  EXPECT_TRUE(on());
}

TEST_P(GcPauseTest, APauseStartedWhileCodeRunsIsNotMistakenForThatCode) {
  // A handler run by one pause starts and ends another (a nested call, or
  // another thread): it did not turn the collector off.
  set(GetParam());
  {
    GcPause a;
    a.resumed([] {
      const GcPause b;
      EXPECT_FALSE(on());
    });
    EXPECT_FALSE(on());
  }
  EXPECT_EQ(on(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(CollectorOnOrOff, GcPauseTest, ::testing::Bool());

}  // namespace
}  // namespace quillet
