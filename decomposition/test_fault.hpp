#pragma once
// Test hook: makes one chosen process of the run fail at one chosen point, so
// that the tests can show that any failure, of any kind, anywhere, ends every
// process of the run with a failing status and the files whole.
//
//   PLUME_TEST_FAULT=POINT:RANK:KIND[:N]
//
// makes the process of rank RANK fail the Nth time (default the first) it
// passes the point named POINT. KIND is the failure it raises there:
//   run_failure  a failure the run reports (as a full disk would);
//   other        an exception of a type the run does not expect;
//   bad_alloc    memory that could not be had.
// Unset, every point costs one getenv.
#include <string_view>

namespace processes {

// Raises the failure the test hook asks for, if it names this point and this
// process; otherwise does nothing. ``visit` counts this process's visits of
// the point (the caller keeps it, from 1), so that a point visited every pass
// can fail at a chosen visit.
void test_fault(std::string_view point, long long visit = 1);

}  // namespace processes
