// A servant in the benchmark's own process: the daemon's reports reach it
// through the ORB's colocation path, without a socket, so that a benchmark
// times the daemon's own work.
#pragma once

// Reports received so far.
extern long colocated_reports;
// Starts the ORB and the servant, and sets the daemon's orb and servant.
void colocated_servant_start(char *program);
// Releases them again.
void colocated_servant_stop(void);
