#pragma once
// Splitting a pixel loop by rows over the machine's cores. The work is cut
// into a few more parts than there are cores, and the calling thread and
// helper threads (which live for the process and sleep between calls) take
// the parts one by one: when a helper does not get a core, the caller simply
// does more of them, so a busy machine costs no waiting. A call returns only
// when every part has finished, so nothing a part uses goes away while it
// runs. Each row is computed by the same code whichever part it falls in, so
// the result is the same as the single-threaded loop's.
#include <functional>

// Calls part(from, to) for consecutive ranges that together cover [0, count)
// exactly once, on up to all cores when the work is worth it; otherwise
// part(0, count) on the calling thread. costPerRow: a rough count of the
// bytes or operations one row takes (about a million are worth a part). A
// nested or concurrent call runs on its caller alone. An exception of a part
// reaches the caller after all parts have ended.
void ParallelRows(int count, double costPerRow, const std::function<void(int from, int to)>& part);

// While one lives, the calls made on its thread run on that thread alone, as
// on a one-core machine: for a picture drawn onto itself, whose rows must go
// in order, and for comparing results.
class SerialRows {
public:
    SerialRows();
    ~SerialRows();
    SerialRows(const SerialRows&) = delete;
    SerialRows& operator=(const SerialRows&) = delete;

private:
    bool m_Outer;
};
