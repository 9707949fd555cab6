// The threads of this process as the kernel counts them (Linux /proc): which tasks there are,
// how often one has been switched out and how much processor time it has used. A port's worker
// is found as the task its Open added.
#ifndef QUORVANE_TESTS_SUPPORT_TASK_STATS_H
#define QUORVANE_TESTS_SUPPORT_TASK_STATS_H

#include <dirent.h>
#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The task (thread) ids of this process, sorted.
inline std::vector<int> task_ids() {
    std::vector<int> ids;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (struct dirent* entry = readdir(dir))
            if (entry->d_name[0] != '.') ids.push_back(std::atoi(entry->d_name));
        closedir(dir);
    }
    std::sort(ids.begin(), ids.end());
    return ids;
}

// The one task in after that is not in before; -1 unless there is exactly one.
inline int new_task(const std::vector<int>& before, const std::vector<int>& after) {
    std::vector<int> added;
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(), std::back_inserter(added));
    return added.size() == 1 ? added[0] : -1;
}

inline bool task_exists(int tid) {
    std::vector<int> ids = task_ids();
    return std::binary_search(ids.begin(), ids.end(), tid);
}

// The task's scheduling state: 'R' running or ready, 'S' asleep in a wait, ...; 0 once it has gone.
inline char task_state(int tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::string::size_type name_end = text.rfind(')');  // the name may hold spaces and parentheses
    return name_end == std::string::npos || name_end + 2 >= text.size() ? 0 : text[name_end + 2];
}

// How many times the task has left the processor, of its own accord (a wait) or not; each one
// follows a wake-up or a preemption. -1 once the task has gone.
inline long context_switches(int tid) {
    std::ifstream status("/proc/self/task/" + std::to_string(tid) + "/status");
    std::string line;
    long total = 0;
    int found = 0;
    while (std::getline(status, line)) {
        for (const char* field : {"voluntary_ctxt_switches:", "nonvoluntary_ctxt_switches:"}) {
            if (line.rfind(field, 0) != 0) continue;
            total += std::atol(line.c_str() + std::string(field).size());
            ++found;
        }
    }
    return found == 2 ? total : -1;
}

// The task's processor time in seconds, from its own CPU clock: Linux names a thread's clock by
// its task id (the encoding pthread_getcpuclockid uses), which reaches threads the caller did
// not start.
inline double task_cpu_seconds(int tid) {
    const clockid_t clock = (clockid_t)((~(unsigned)tid << 3) | 6);  // per thread, scheduler time
    struct timespec used;
    if (clock_gettime(clock, &used) != 0) return -1;
    return used.tv_sec + used.tv_nsec / 1e9;
}

#endif
