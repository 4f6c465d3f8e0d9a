// The instance rule: up to 20 updaters run side by side, each holding the
// named lock of its own number for as long as the process lives.  Both
// front ends share the same 20 numbers.
#pragma once

#include "platform/instance_lock.h"

#include <string>

inline constexpr int kMaxInstances = 20;

// Takes the first free number from 1 to kMaxInstances, each named by
// ApplicationTitle(n), and keeps its lock in `lock`.  0 when all are taken.
int ReserveInstanceNumber(platform::NamedLock& lock);

// "It is forbidden to launch more than 20 instance of this application."
std::string InstanceRefusalText();
