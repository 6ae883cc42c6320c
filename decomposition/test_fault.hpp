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
#include <array>
#include <string_view>

namespace processes {

// The points where the hook can make a process fail, every one that the
// program passes; the tests go through this list.
namespace fault_point {
inline constexpr std::string_view start = "start";                        // MPI started
inline constexpr std::string_view command_line = "command_line";          // options parsed
inline constexpr std::string_view files = "files";                        // scenario or checkpoint read
inline constexpr std::string_view print_scenario = "print_scenario";      // the scenario printed
inline constexpr std::string_view memory_check = "memory_check";          // the memory the run needs
inline constexpr std::string_view snapshot_open = "snapshot_open";        // the snapshot file opened
inline constexpr std::string_view restart_read = "restart_read";          // a checkpoint's fields read
inline constexpr std::string_view pass = "pass";                          // a pass's step and emission
inline constexpr std::string_view snapshot_write = "snapshot_write";      // a snapshot written
inline constexpr std::string_view checkpoint_write = "checkpoint_write";  // a checkpoint written
inline constexpr std::string_view end = "end";                            // the log closed at the end
// Within a checkpoint's write and a restart's read, each process's own block.
inline constexpr std::string_view checkpoint_write_block = "checkpoint_write_block";
inline constexpr std::string_view restart_read_block = "restart_read_block";
inline constexpr std::array all = {
    start,        command_line,       files, print_scenario, memory_check,     snapshot_open,
    restart_read, restart_read_block, pass,  snapshot_write, checkpoint_write, checkpoint_write_block,
    end};
}  // namespace fault_point

// Raises the failure the test hook asks for, if it names this point and this
// process; otherwise does nothing. `visit` counts this process's visits of
// the point (the caller keeps it, from 1), so that a point visited every pass
// can fail at a chosen visit.
void test_fault(std::string_view point, long long visit = 1);

}  // namespace processes
