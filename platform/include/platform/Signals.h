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

// What a service waiting in WaitForRequest was asked to do.
enum class Request { None, Terminate, Save };

// Holds back the hang-up signal as well, in the calling thread and in every
// thread it starts afterwards: a service takes it as "save now", not as an
// end. Call before starting threads, with BlockTermination.
void BlockSaveRequest();

// Waits up to timeoutMs (negative: forever) for an interrupt or terminate
// request, or for a save request when those are held back (BlockSaveRequest).
Request WaitForRequest(int timeoutMs);

// Sends this process a terminate request, as `kill -TERM` would: a thread
// in WaitForTermination receives it.
void RequestTermination();

}  // namespace signals
