#pragma once
// Termination requests (interrupt and terminate signals) received as events a
// thread waits for, so that a command-line program can end cleanly.

namespace signals {

// Holds back interrupt and terminate in the calling thread and in every thread
// it starts afterwards, so that they wait for WaitForTermination. Call before
// starting threads.
void BlockTermination();

// Waits up to timeoutMs (negative: forever) for an interrupt or terminate
// request; returns true when one arrived.
bool WaitForTermination(int timeoutMs);

// Sends this process a terminate request, as `kill -TERM` would: a thread
// in WaitForTermination receives it.
void RequestTermination();

}  // namespace signals
