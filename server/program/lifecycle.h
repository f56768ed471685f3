// The server's start-up and shutdown steps, in the order main runs them: Startup, StartThreads,
// then after the control loop StopThreads.
#pragma once

namespace Ovrin {

// Queues unfinished messages again, then schedules the periodic tasks.
void Startup();
// Reads the periods of the three periodic tasks and schedules them on the timer thread.
void ScheduleDefaultActions();
// Starts the worker pools' threads, the POP3 listeners (the second for implicit TLS, where the
// server has a certificate) and the timer thread.
void StartThreads();
// Stops the timer, the listeners and the two pools, in that order, each without a time limit.
void StopThreads();

}  // namespace Ovrin
