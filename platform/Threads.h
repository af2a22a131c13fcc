// What the core asks of the system's scheduler for its helper threads.
#pragma once

namespace zel {

// The calling thread gives way to every other thread that wants a processor, and runs when one is
// idle: for work nobody waits for, such as the deletion of finished work. Where the system refuses
// (the hardened unit filters the calls that change priorities), the thread runs as it did.
void LowerThreadPriority();

}  // namespace zel
