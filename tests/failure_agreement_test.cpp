// How the processes of a run agree on a failure: every kind of exception is
// caught and reported with a message, none reads as no failure; the test
// hook raises each kind at its point and visit only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>

#include "decomposition/process_group.hpp"
#include "decomposition/test_fault.hpp"
#include "grid/failure.hpp"

namespace {

// The message that `together` reports for a body that throws `thrown`.
template <class Thrown>
std::string reported(Thrown thrown) {
  try {
    processes::together([&] { throw thrown; });
  } catch (const processes::reported_failure& e) {
    return e.what();
  }
  return "(no failure reported)";
}

TEST(Together, ReportsAFailureOfAnyKindWithAMessage) {
  EXPECT_EQ(reported(run_failure("cannot write out.dat: No space left on device")),
            "cannot write out.dat: No space left on device");
  EXPECT_EQ(reported(std::bad_alloc()), "cannot allocate memory");
  EXPECT_EQ(reported(std::logic_error("an unexpected state")), "an unexpected state");
  EXPECT_EQ(reported(42), "a failure of an unknown kind");
  // An empty message must not pass for no failure.
  EXPECT_EQ(reported(std::runtime_error("")), "a failure without a message");
  // A failure agreed on before keeps its message as reported.
  EXPECT_EQ(reported(processes::reported_failure("rank 3: cannot open out.dat")), "rank 3: cannot open out.dat");
  EXPECT_NO_THROW(processes::together([] {}));
}

struct fault_environment {
  explicit fault_environment(const char* value) { ::setenv("PLUME_TEST_FAULT", value, 1); }
  ~fault_environment() { ::unsetenv("PLUME_TEST_FAULT"); }
};

TEST(TestFault, RaisesTheKindAskedForAtItsPointAndVisitOnly) {
  namespace point = processes::fault_point;
  {
    const fault_environment hook("pass:0:run_failure:3");
    EXPECT_NO_THROW(processes::test_fault(point::pass, 2));
    EXPECT_NO_THROW(processes::test_fault(point::snapshot_write, 3));
    EXPECT_THROW(processes::test_fault(point::pass, 3), run_failure);
  }
  {
    const fault_environment hook("end:0:bad_alloc");
    EXPECT_THROW(processes::test_fault(point::end), std::bad_alloc);
  }
  {
    const fault_environment hook("start:0:other");
    try {
      processes::test_fault(point::start);
      ADD_FAILURE() << "no failure";
    } catch (const run_failure&) {
      ADD_FAILURE() << "a run_failure, not another kind";
    } catch (const std::exception& e) {
      EXPECT_STREQ(e.what(), "test fault at start");
    }
  }
  {
    // Another process's failure is not this one's.
    const fault_environment hook("start:1:run_failure");
    EXPECT_NO_THROW(processes::test_fault(point::start));
  }
  EXPECT_NO_THROW(processes::test_fault(point::start));
}

TEST(TestFault, PointsAreNamedOnce) {
  const auto& all = processes::fault_point::all;
  for (std::size_t a = 0; a < all.size(); ++a) {
    for (std::size_t b = a + 1; b < all.size(); ++b) EXPECT_NE(all[a], all[b]);
  }
}

}  // namespace
